# The Debian package: `cpack -G DEB` in the build directory.  Its runtime
# dependencies are derived from the installed programs by dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "the quillon developers")
set(CPACK_PACKAGE_CONTACT "${QUILLON_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "multicast beacon measuring multicast reception between sites")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"quillon is a small daemon that network operators run on hosts at many
sites to watch the health of IP multicast between them.  Every instance
sends probes to an any-source group and, optionally, to its own
source-specific channel, measures loss, one-way delay, jitter, reordering,
duplication and hop count of the probes of every other beacon, and shares
what it receives, so that each one learns the whole reception matrix.

The package runs the beacon as a hardened, unprivileged systemd service
once the beacon group and the contact are set in /etc/quillon/quillon.conf.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://quillon.example.org/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# Install with DESTDIR and the real prefix, so that the paths written into
# the units at install time are those of the installed system.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(QUILLON_UNITS quillon.service)
if(QUILLON_WITH_VIEW)
  string(APPEND QUILLON_UNITS " quillon-view.service")
endif()
foreach(script postinst prerm postrm)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/${script}.in
                 ${PROJECT_BINARY_DIR}/packaging/${script} @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
endforeach()
file(WRITE ${PROJECT_BINARY_DIR}/packaging/conffiles "/etc/quillon/quillon.conf\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/packaging/conffiles ${PROJECT_BINARY_DIR}/packaging/postinst
    ${PROJECT_BINARY_DIR}/packaging/prerm ${PROJECT_BINARY_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
