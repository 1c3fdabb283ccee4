# The Debian package: `cpack -G DEB` in a build directory. One package holds
# the library, its headers and CMake/pkg-config files, the embedded node and
# the program; dpkg-shlibdeps declares what they need at run time. Must be
# included after every tolvane_install_component().
set(CPACK_PACKAGE_NAME tolvane)
set(CPACK_PACKAGE_VENDOR "Tolvane")
set(CPACK_PACKAGE_CONTACT "Tolvane developers <tolvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Alarm summary for process-control operator displays")
set(CPACK_PACKAGE_DESCRIPTION
  "A C++20 shared library that gives operator displays their view of the alarm summary, \
the embedded node that stands in for a control-system node, and the tolvane program.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# What the components' CMake and pkg-config files need at a display's build.
get_property(_deb_depends GLOBAL PROPERTY TOLVANE_DEB_DEPENDS)
list(REMOVE_DUPLICATES _deb_depends)
list(JOIN _deb_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
# The services' user and directories, made on install (packaging/debian/).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${PROJECT_SOURCE_DIR}/packaging/debian/postinst;${PROJECT_SOURCE_DIR}/packaging/debian/prerm;${PROJECT_SOURCE_DIR}/packaging/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
