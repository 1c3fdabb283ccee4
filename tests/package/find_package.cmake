# Configures, builds and runs a project out of tree against the installed
# prefix with find_package(Tolvane).
# -DPROJECT=<source> -DWORK=<build dir> -DPREFIX=<prefix> -DCXX=<compiler>
# [-DGENERATOR=<CMake generator>] [-DARGS=<more configure arguments>]
# -DRUN=<programs to run, relative to WORK, separated by commas>
# [-DEXPECT=<regex with one number group> -DMIN=<least value>]: what the last
# program must print.
include(${CMAKE_CURRENT_LIST_DIR}/steps.cmake)
file(REMOVE_RECURSE "${WORK}")
if(GENERATOR)
  set(generator -G "${GENERATOR}")
endif()
package_step("configuring ${PROJECT} against ${PREFIX}"
  "${CMAKE_COMMAND}" -S "${PROJECT}" -B "${WORK}" ${generator}
  "-DCMAKE_PREFIX_PATH=${PREFIX}" "-DCMAKE_CXX_COMPILER=${CXX}" ${ARGS})
package_step("building ${PROJECT} against ${PREFIX}" "${CMAKE_COMMAND}" --build "${WORK}")
string(REPLACE "," ";" RUN "${RUN}")
list(POP_BACK RUN last)
foreach(program IN LISTS RUN)
  package_step("${program}" "${WORK}/${program}")
endforeach()
package_run("${WORK}/${last}")
