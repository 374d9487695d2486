# Packages from the normal build: `cpack -G DEB` makes
# nicchooser_<version>_<arch>.deb in the build folder (dependencies from the
# binary through dpkg-shlibdeps, stripped executable), `cpack -G TGZ` a
# relocatable tree (bin/, share/) for other distributions.

set(NC_MAINTAINER "nicChooser developers <nicchooser@example.org>"
    CACHE STRING "Maintainer named in the Debian package")
# The day of the build (SOURCE_DATE_EPOCH when set), so that a reconfigure
# the same day changes nothing.
string(TIMESTAMP nc_build_date "%a, %d %b %Y 00:00:00 +0000" UTC)

# Debian's own files: the copyright in its machine-readable form, with the
# licence text from LICENSE, and a changelog for this native package.
set(nc_doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/nicchooser)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE nc_license)
string(REGEX REPLACE "\n+$" "" nc_license "${nc_license}")
string(REPLACE "\n\n" "\n.\n" nc_license "${nc_license}")
string(REPLACE "\n" "\n " nc_license "${nc_license}")
file(WRITE ${CMAKE_BINARY_DIR}/debian/copyright.new
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: nicChooser
Comment: The licence is the file LICENSE at the top of the source tree.

Files: *
Copyright: 2026 The nicChooser developers
License: Expat
 ${nc_license}
")
file(WRITE ${CMAKE_BINARY_DIR}/debian/changelog.new
"nicchooser (${PROJECT_VERSION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}: see README.md.

 -- ${NC_MAINTAINER}  ${nc_build_date}
")
# Copied only when changed, so that nothing is rebuilt for nothing.
configure_file(${CMAKE_BINARY_DIR}/debian/copyright.new ${CMAKE_BINARY_DIR}/debian/copyright COPYONLY)
configure_file(${CMAKE_BINARY_DIR}/debian/changelog.new ${CMAKE_BINARY_DIR}/debian/changelog COPYONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.gz
  COMMAND gzip -9 -n -c changelog > changelog.gz
  WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/debian
  DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog)
add_custom_target(nicChooserChangelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.gz)
install(FILES ${CMAKE_BINARY_DIR}/debian/copyright ${CMAKE_BINARY_DIR}/debian/changelog.gz DESTINATION ${nc_doc})

set(CPACK_PACKAGE_NAME nicchooser)
set(CPACK_PACKAGE_VENDOR "The nicChooser developers")
set(CPACK_PACKAGE_CONTACT "${NC_MAINTAINER}")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "choose the network adaptor of an installation's xDS transport")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${NC_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The extended description; CPack puts the summary above it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "One dialog lists the IPv4 addresses of the interfaces that are up, running
and able to multicast, and stores the chosen address and interface as
bindAddress and Adaptor in the installation's local_settings.ini; with /ospl
it also writes the address into the DDS middleware's ospl.xml. Runs
unattended (/silent, /select=RULE) and lists the rows without a display
(/list). Files are replaced atomically; nothing is half-written.")

include(CPack)
