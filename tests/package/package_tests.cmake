# Package tests: the build installed into a scratch prefix, then used out of
# tree through find_package and pkg-config; and the library's exported
# symbols against the committed list.
set(_pkg ${CMAKE_CURRENT_SOURCE_DIR}/package)
set(_work ${PROJECT_BINARY_DIR}/package-test)
set(_prefix ${_work}/prefix)

# Rows the README's snippet must print: it loads the demo plant.
set(TOLVANE_README_MIN_ROWS 1)

add_test(NAME package_install
         COMMAND ${CMAKE_COMMAND} -DBINARY_DIR=${PROJECT_BINARY_DIR} -DPREFIX=${_prefix}
                 -P ${_pkg}/install.cmake)
set_tests_properties(package_install PROPERTIES FIXTURES_SETUP tolvane_installed)

set(_consumer -DPREFIX=${_prefix} -DCXX=${CMAKE_CXX_COMPILER} "-DGENERATOR=${CMAKE_GENERATOR}")
add_test(NAME package_example
         COMMAND ${CMAKE_COMMAND} ${_consumer} -DPROJECT=${PROJECT_SOURCE_DIR}/examples
                 -DWORK=${_work}/example -DRUN=tolvane_example
                 "-DEXPECT=fetch: OK, ([0-9]+) rows" -DMIN=1
                 -P ${_pkg}/find_package.cmake)
add_test(NAME package_consumer
         COMMAND ${CMAKE_COMMAND} ${_consumer} -DPROJECT=${_pkg}/consumer
                 -DWORK=${_work}/consumer -DRUN=library_only,readme_snippet
                 "-DARGS=-DREADME=${PROJECT_SOURCE_DIR}/README.md"
                 "-DEXPECT=([0-9]+) rows" -DMIN=${TOLVANE_README_MIN_ROWS}
                 -P ${_pkg}/find_package.cmake)
add_test(NAME package_pkg_config
         COMMAND ${CMAKE_COMMAND} -DPREFIX=${_prefix} -DLIBDIR=${CMAKE_INSTALL_LIBDIR}
                 -DMODULE=tolvane-node -DSOURCE=${PROJECT_SOURCE_DIR}/examples/example.cpp
                 -DWORK=${_work}/pkg-config -DCXX=${CMAKE_CXX_COMPILER}
                 "-DEXPECT=fetch: OK, ([0-9]+) rows" -DMIN=1
                 -P ${_pkg}/pkg_config.cmake)
set_tests_properties(package_example package_consumer package_pkg_config PROPERTIES
  FIXTURES_REQUIRED tolvane_installed TIMEOUT 300)

# The exported symbols, on purpose: after a deliberate change of the public
# surface, `cmake --build <build> --target tolvane_abi_update` rewrites the
# list; review its diff and commit it.
set(_abi_args -DNM=${CMAKE_NM} -DLIBRARY=$<TARGET_FILE:tolvane>
              -DLIST=${_pkg}/libtolvane.symbols)
add_test(NAME package_abi COMMAND ${CMAKE_COMMAND} ${_abi_args} -P ${_pkg}/abi.cmake)
add_custom_target(tolvane_abi_update
  COMMAND ${CMAKE_COMMAND} ${_abi_args} -DUPDATE=ON -P ${_pkg}/abi.cmake
  DEPENDS tolvane VERBATIM)
