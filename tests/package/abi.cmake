# The names of the dynamic symbols libtolvane exports, demangled and sorted,
# against the committed list (the kind letter is left out: it differs
# between compilers for the same promise). -DNM=<nm> -DLIBRARY=<libtolvane.so> -DLIST=<list file>
# [-DUPDATE=ON: rewrite the list instead].
execute_process(COMMAND "${NM}" -D --defined-only --demangle "${LIBRARY}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(rc)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}: ${err}")
endif()
string(REPLACE ";" "\\;" out "${out}")
string(REPLACE "\n" ";" lines "${out}")
set(symbols)
foreach(line IN LISTS lines)
  # "<address> <type> <name>"
  if(line MATCHES "^[0-9a-f]+ ([A-Za-z]) (.+)$")
    set(type "${CMAKE_MATCH_1}")
    set(name "${CMAKE_MATCH_2}")
    # Weak copies of the standard library's templates and inline code come
    # and go with the compiler and the optimisation level; they are not
    # ours to promise.
    if(type MATCHES "^[WVu]$" AND name MATCHES "(^| )std::")
      continue()
    endif()
    list(APPEND symbols "${name}")
  endif()
endforeach()
list(SORT symbols)
list(REMOVE_DUPLICATES symbols)
list(JOIN symbols "\n" actual)
set(actual "${actual}\n")

if(UPDATE)
  file(WRITE "${LIST}" "${actual}")
  list(LENGTH symbols count)
  message("wrote ${count} symbols to ${LIST}")
  return()
endif()

file(READ "${LIST}" expected)
if(NOT actual STREQUAL expected)
  # In the test's working directory, never beside the committed list.
  set(actual_file "${CMAKE_CURRENT_BINARY_DIR}/libtolvane.symbols.actual")
  file(WRITE "${actual_file}" "${actual}")
  message("libtolvane exports other symbols than ${LIST}:")
  execute_process(COMMAND diff -u "${LIST}" "${actual_file}")
  message(FATAL_ERROR "If the change is on purpose: "
    "cmake --build <build> --target tolvane_abi_update, then commit the list")
endif()
