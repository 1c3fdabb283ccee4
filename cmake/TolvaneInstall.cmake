# Installing Tolvane: the library (Tolvane::tolvane) and its components
# (Tolvane::<name>, found with find_package(Tolvane COMPONENTS <name>)), each
# with its headers under include/tolvane/, its CMake files and a pkg-config
# file. See docs/packaging.md.
#
# In the tree, headers are spelled from the source root ("node/x.h",
# "services/x.h"); installed, they live under include/tolvane/<dir>/ where
# nothing of another package can clash. Two things keep both spellings
# working:
#   - the build tree holds forwarding headers at the installed spelling
#     (<build>/include/tolvane/<dir>/x.h), so code written against the
#     installed package, like examples/, builds in the tree too;
#   - the installed copies get their project includes rewritten to the
#     installed spelling when they are installed.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TOLVANE_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tolvane)
set(TOLVANE_PKGCONFIG_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(_tolvane_install_time ${CMAKE_CURRENT_LIST_DIR}/TolvaneInstallTime.cmake)
set(_tolvane_cmake_dir ${CMAKE_CURRENT_LIST_DIR})

# tolvane_public_headers(<target> <dir> COMPONENT <c> HEADERS <files...>)
# Installs <files> as include/tolvane/<dir>/ and gives <target> the build
# tree's forwarding headers.
function(tolvane_public_headers target dir)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "COMPONENT" "HEADERS")
  set(forward_root ${PROJECT_BINARY_DIR}/include)
  set(sources)
  foreach(header IN LISTS arg_HEADERS)
    get_filename_component(abs ${header} ABSOLUTE)
    get_filename_component(name ${header} NAME)
    # Absolute, so that no other "<dir>/<name>" on the include path is taken.
    file(CONFIGURE OUTPUT ${forward_root}/tolvane/${dir}/${name}
         CONTENT "// Generated: ${dir}/${name} under its installed name.\n#pragma once\n#include \"${abs}\"\n")
    list(APPEND sources ${abs})
  endforeach()
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${forward_root}>)
  install(CODE "include(\"${_tolvane_install_time}\")
tolvane_install_rewritten_headers(\"${PROJECT_BINARY_DIR}/install-staging/${dir}\"
  \"${CMAKE_INSTALL_INCLUDEDIR}/tolvane/${dir}\" \"${sources}\")"
          COMPONENT ${arg_COMPONENT})
endfunction()

# tolvane_pkgconfig(<module> DESCRIPTION <text> COMPONENT <c>
#                   [REQUIRES <modules...>] [LIBS <flags...>])
# Writes <module>.pc at install time, when the prefix is known, so that a
# package installed with `cmake --install --prefix` or by dpkg points at
# where it really is.
function(tolvane_pkgconfig module)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "DESCRIPTION;COMPONENT" "REQUIRES;LIBS")
  set(PC_NAME ${module})
  set(PC_DESCRIPTION "${arg_DESCRIPTION}")
  set(PC_VERSION ${PROJECT_VERSION})
  list(JOIN arg_REQUIRES ", " PC_REQUIRES)
  list(JOIN arg_LIBS " " PC_LIBS)
  set(PC_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
  set(PC_LIBDIR ${CMAKE_INSTALL_LIBDIR})
  # The prefix stays a placeholder until install time.
  set(PC_PREFIX "@PC_PREFIX@")
  set(template ${PROJECT_BINARY_DIR}/install-staging/${module}.pc.in)
  configure_file(${_tolvane_cmake_dir}/tolvane.pc.in ${template} @ONLY)
  install(CODE "include(\"${_tolvane_install_time}\")
tolvane_install_pkgconfig(\"${template}\" \"${TOLVANE_PKGCONFIG_INSTALL_DIR}\")"
          COMPONENT ${arg_COMPONENT})
endfunction()

# tolvane_install_component(<name> TARGET <target> HEADER_DIR <dir>
#     HEADERS <files...> DESCRIPTION <text>
#     [COMPONENTS <other Tolvane components it needs...>]
#     [FIND_DEPENDENCIES <find_dependency() arguments, one string each...>]
#     [PC_REQUIRES <pkg-config modules...>] [PC_LIBS <flags...>]
#     [DEB_DEPENDS <Debian packages a display's build needs for it...>])
# Installs <target> as Tolvane::<name>, its headers under
# include/tolvane/<dir>/, Tolvane-<name>.cmake for find_package and
# tolvane-<name>.pc for pkg-config. The library is always required: the
# component's pkg-config file requires tolvane. DEB_DEPENDS go into the
# Debian package's Depends (run-time libraries are found by themselves).
function(tolvane_install_component name)
  cmake_parse_arguments(PARSE_ARGV 1 arg ""
    "TARGET;HEADER_DIR;DESCRIPTION" "HEADERS;COMPONENTS;FIND_DEPENDENCIES;PC_REQUIRES;PC_LIBS;DEB_DEPENDS")
  set_target_properties(${arg_TARGET} PROPERTIES EXPORT_NAME ${name} OUTPUT_NAME tolvane-${name})
  target_include_directories(${arg_TARGET} INTERFACE
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  tolvane_public_headers(${arg_TARGET} ${arg_HEADER_DIR} COMPONENT ${name} HEADERS ${arg_HEADERS})
  install(TARGETS ${arg_TARGET} EXPORT Tolvane-${name}-targets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${name}
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ${name}
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${name})
  install(EXPORT Tolvane-${name}-targets NAMESPACE Tolvane::
    DESTINATION ${TOLVANE_CMAKE_INSTALL_DIR} COMPONENT ${name})

  # Tolvane-<name>.cmake: what the component needs, then its targets.
  set(text "# Tolvane::${name}: ${arg_DESCRIPTION}\ninclude(CMakeFindDependencyMacro)\n")
  foreach(other IN LISTS arg_COMPONENTS)
    string(APPEND text "if(NOT TARGET Tolvane::${other})\n"
                       "  include(\"\${CMAKE_CURRENT_LIST_DIR}/Tolvane-${other}.cmake\")\n"
                       "endif()\n")
  endforeach()
  foreach(dep IN LISTS arg_FIND_DEPENDENCIES)
    string(APPEND text "find_dependency(${dep})\n")
  endforeach()
  string(APPEND text "if(NOT TARGET Tolvane::${name})\n"
                     "  include(\"\${CMAKE_CURRENT_LIST_DIR}/Tolvane-${name}-targets.cmake\")\n"
                     "endif()\n")
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/install-staging/Tolvane-${name}.cmake
       CONTENT "${text}" @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/install-staging/Tolvane-${name}.cmake
          DESTINATION ${TOLVANE_CMAKE_INSTALL_DIR} COMPONENT ${name})

  set_property(GLOBAL APPEND PROPERTY TOLVANE_DEB_DEPENDS ${arg_DEB_DEPENDS})

  set(requires tolvane)
  foreach(other IN LISTS arg_COMPONENTS)
    list(APPEND requires tolvane-${other})
  endforeach()
  tolvane_pkgconfig(tolvane-${name} DESCRIPTION "${arg_DESCRIPTION}" COMPONENT ${name}
    REQUIRES ${requires} ${arg_PC_REQUIRES}
    LIBS -ltolvane-${name} ${arg_PC_LIBS})
endfunction()
