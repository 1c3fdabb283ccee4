# Installs the build into a scratch prefix for the package tests.
# -DBINARY_DIR=<build> -DPREFIX=<prefix>
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BINARY_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(rc)
  message(FATAL_ERROR "cmake --install into ${PREFIX} failed: ${rc}")
endif()
