# Compiles a program with `pkg-config --cflags --libs <module>` against the
# installed prefix and runs it.
# -DPREFIX=<prefix> -DLIBDIR=<lib dir under it> -DMODULE=<module>
# -DSOURCE=<file.cpp> -DWORK=<dir> -DCXX=<compiler>
# [-DEXPECT=<regex with one number group> -DMIN=<least value>]
include(${CMAKE_CURRENT_LIST_DIR}/steps.cmake)
find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} "${PREFIX}/${LIBDIR}/pkgconfig")
package_step("pkg-config ${MODULE}" "${PKG_CONFIG}" --cflags --libs "${MODULE}")
string(STRIP "${step_output}" flags)
message("pkg-config --cflags --libs ${MODULE}: ${flags}")
separate_arguments(flags UNIX_COMMAND "${flags}")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
package_step("compiling ${SOURCE}" "${CXX}" -std=c++20 "${SOURCE}" ${flags} -o "${WORK}/program")
set(ENV{LD_LIBRARY_PATH} "${PREFIX}/${LIBDIR}")
package_run("${WORK}/program")
