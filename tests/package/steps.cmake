# What the package test scripts share.

# Runs a command; a failure stops the test with the command's output. The
# output is left in step_output.
function(package_step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(rc)
    message(FATAL_ERROR "${what} failed (${rc}):\n${out}")
  endif()
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

# Runs a built program, shows what it printed, and, when EXPECT is set,
# checks that it printed a number matching EXPECT's group of at least MIN.
function(package_run program)
  package_step("${program}" "${program}")
  message("${program}:\n${step_output}")
  if(DEFINED EXPECT)
    if(NOT step_output MATCHES "${EXPECT}")
      message(FATAL_ERROR "the output of ${program} does not match '${EXPECT}'")
    endif()
    if(CMAKE_MATCH_1 LESS MIN)
      message(FATAL_ERROR "${program}: got ${CMAKE_MATCH_1}, want at least ${MIN}")
    endif()
  endif()
endfunction()
