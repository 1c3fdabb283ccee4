# Installs the built library into a scratch prefix and builds a consumer that
# finds it with find_package(Tolvane), then runs it.
set(prefix "${BINARY_DIR}/package-test/prefix")
set(consumer "${BINARY_DIR}/package-test/consumer")
file(REMOVE_RECURSE "${BINARY_DIR}/package-test")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BINARY_DIR}" --prefix "${prefix}"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(rc)
  message(FATAL_ERROR "install failed: ${rc}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}/tests/package/consumer" -B "${consumer}"
                        "-DCMAKE_PREFIX_PATH=${prefix}" -DCMAKE_CXX_COMPILER=${CXX}
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(rc)
  message(FATAL_ERROR "configuring the consumer failed: ${rc}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${consumer}" RESULT_VARIABLE rc OUTPUT_QUIET)
if(rc)
  message(FATAL_ERROR "building the consumer failed: ${rc}")
endif()
execute_process(COMMAND "${consumer}/consumer" RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "the consumer failed: ${rc}")
endif()
