# Run by `cmake --install` and cpack (see TolvaneInstall.cmake): the steps
# that need the prefix being installed to.

# Installs <sources> into <prefix>/<dest> with every project include
# ("node/x.h") spelled as installed ("tolvane/node/x.h").
function(tolvane_install_rewritten_headers stage dest sources)
  file(REMOVE_RECURSE "${stage}")
  set(staged)
  foreach(source IN LISTS sources)
    get_filename_component(name "${source}" NAME)
    file(READ "${source}" text)
    string(REGEX REPLACE "#include \"([A-Za-z0-9_]+)/" "#include \"tolvane/\\1/" text "${text}")
    string(REPLACE "#include \"tolvane/tolvane/" "#include \"tolvane/" text "${text}")
    file(WRITE "${stage}/${name}" "${text}")
    list(APPEND staged "${stage}/${name}")
  endforeach()
  file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${dest}" TYPE FILE FILES ${staged})
endfunction()

# Installs a pkg-config file whose prefix is the one being installed to.
function(tolvane_install_pkgconfig template dest)
  get_filename_component(name "${template}" NAME_WLE)
  get_filename_component(dir "${template}" DIRECTORY)
  set(PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  configure_file("${template}" "${dir}/pc/${name}" @ONLY)
  file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/${dest}" TYPE FILE FILES "${dir}/pc/${name}")
endfunction()
