# Configures, builds and runs a project out of tree against the installed
# prefix with find_package(Tolvane), then checks what one program printed.
# -DPROJECT=<source> -DWORK=<build dir> -DPREFIX=<prefix> -DCXX=<compiler>
# -DGENERATOR=<CMake generator>
# -DRUN=<programs to run, relative to WORK, separated by commas> [-DARGS=<more configure arguments>]
# [-DEXPECT=<regex with one number group> -DMIN=<least value>]: what the last
# program must print.
file(REMOVE_RECURSE "${WORK}")
execute_process(COMMAND "${CMAKE_COMMAND}" -S "${PROJECT}" -B "${WORK}" -G "${GENERATOR}"
                        "-DCMAKE_PREFIX_PATH=${PREFIX}" "-DCMAKE_CXX_COMPILER=${CXX}" ${ARGS}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(rc)
  message(FATAL_ERROR "configuring ${PROJECT} against ${PREFIX} failed:\n${out}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${WORK}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(rc)
  message(FATAL_ERROR "building ${PROJECT} against ${PREFIX} failed:\n${out}")
endif()
string(REPLACE "," ";" RUN "${RUN}")
foreach(program IN LISTS RUN)
  execute_process(COMMAND "${WORK}/${program}" RESULT_VARIABLE rc OUTPUT_VARIABLE out
                  ERROR_VARIABLE out)
  message("${program}:\n${out}")
  if(rc)
    message(FATAL_ERROR "${program} failed: ${rc}")
  endif()
endforeach()
if(DEFINED EXPECT)
  if(NOT out MATCHES "${EXPECT}")
    message(FATAL_ERROR "the output does not match '${EXPECT}'")
  endif()
  if(CMAKE_MATCH_1 LESS MIN)
    message(FATAL_ERROR "got ${CMAKE_MATCH_1}, want at least ${MIN}")
  endif()
endif()
