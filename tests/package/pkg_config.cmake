# Compiles a program with `pkg-config --cflags --libs <module>` against the
# installed prefix and runs it.
# -DPREFIX=<prefix> -DLIBDIR=<lib dir under it> -DMODULE=<module>
# -DSOURCE=<file.cpp> -DWORK=<dir> -DCXX=<compiler>
find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} "${PREFIX}/${LIBDIR}/pkgconfig")
execute_process(COMMAND "${PKG_CONFIG}" --cflags --libs "${MODULE}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE flags ERROR_VARIABLE err
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(rc)
  message(FATAL_ERROR "pkg-config ${MODULE} failed: ${err}")
endif()
message("pkg-config --cflags --libs ${MODULE}: ${flags}")
separate_arguments(flags UNIX_COMMAND "${flags}")
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
execute_process(COMMAND "${CXX}" -std=c++20 "${SOURCE}" ${flags} -o "${WORK}/program"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(rc)
  message(FATAL_ERROR "compiling ${SOURCE} failed:\n${out}")
endif()
set(ENV{LD_LIBRARY_PATH} "${PREFIX}/${LIBDIR}")
execute_process(COMMAND "${WORK}/program" RESULT_VARIABLE rc OUTPUT_VARIABLE out
                ERROR_VARIABLE out)
message("${out}")
if(rc)
  message(FATAL_ERROR "the program failed: ${rc}")
endif()
