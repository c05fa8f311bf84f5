# What `cmake --install` puts where, and the Debian package built from it
# with `cpack -G DEB`.  Included from the top level after every program
# target exists, so that quillon-view is installed when it is built.
include(GNUInstallDirs)

set(QUILLON_SYSTEMD_UNITDIR "lib/systemd/system" CACHE STRING
    "Directory of the systemd units, relative to the prefix unless absolute")

if(TARGET quillon-view)
  set(QUILLON_WITH_VIEW ON)
else()
  set(QUILLON_WITH_VIEW OFF)
endif()

install(TARGETS quillon RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
if(QUILLON_WITH_VIEW)
  install(TARGETS quillon-view RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Man pages: hand-written roff, filled with the version and the paths.
# The build renders them for the checks with this configuration's paths;
# the install renders them again with the prefix installed to (below).
set(QUILLON_CONFIG_FILE "${CMAKE_INSTALL_FULL_SYSCONFDIR}/quillon/quillon.conf")
foreach(page quillon.8 quillon.conf.5 quillon-view.1)
  configure_file(${PROJECT_SOURCE_DIR}/man/${page}.in ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
endforeach()

# Documentation: the licence in Debian's copyright format, the change log
# (also in Debian's format, which a native package must carry), README.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license_text)
string(REGEX REPLACE "\n$" "" license_text "${license_text}")
string(REGEX REPLACE "\n\n" "\n.\n" license_text "${license_text}")
string(REGEX REPLACE "\n" "\n " license_text "${license_text}")
file(WRITE ${PROJECT_BINARY_DIR}/doc/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: quillon\n"
  "Source: https://quillon.example.org/\n\n"
  "Files: *\n"
  "Copyright: 2026 the quillon developers\n"
  "License: Expat\n"
  " ${license_text}\n")
set(QUILLON_MAINTAINER "quillon developers <quillon@quillon.example.org>")
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${PROJECT_BINARY_DIR}/doc/changelog
  "quillon (${PROJECT_VERSION}) unstable; urgency=medium\n\n"
  "  * Release ${PROJECT_VERSION}; see CHANGELOG.md.gz.\n\n"
  " -- ${QUILLON_MAINTAINER}  ${changelog_date}\n")
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/doc/changelog.gz ${PROJECT_BINARY_DIR}/doc/CHANGELOG.md.gz
  COMMAND gzip -9nkf changelog
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/CHANGELOG.md CHANGELOG.md
  COMMAND gzip -9nf CHANGELOG.md
  DEPENDS ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${PROJECT_SOURCE_DIR}/LICENSE
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/doc VERBATIM)
add_custom_target(doc ALL DEPENDS ${PROJECT_BINARY_DIR}/doc/changelog.gz)
# README's relative links lead to what is installed beside it: the picture,
# the sample configuration and the benchmark results under the same names,
# the Prometheus files under prometheus/, where its links are rewritten to.
# (configure_file makes a change of README.md configure again.)
configure_file(${PROJECT_SOURCE_DIR}/README.md ${PROJECT_BINARY_DIR}/doc/README.md.source COPYONLY)
file(READ ${PROJECT_BINARY_DIR}/doc/README.md.source readme_text)
string(REPLACE "](contrib/prometheus/" "](prometheus/" readme_text "${readme_text}")
file(WRITE ${PROJECT_BINARY_DIR}/doc/README.md "${readme_text}")
install(FILES ${PROJECT_BINARY_DIR}/doc/copyright ${PROJECT_BINARY_DIR}/doc/changelog.gz
              ${PROJECT_BINARY_DIR}/doc/CHANGELOG.md.gz ${PROJECT_BINARY_DIR}/doc/README.md
              ${PROJECT_SOURCE_DIR}/quillon.conf.example
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/matrix.png DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
install(FILES ${PROJECT_SOURCE_DIR}/bench/RESULTS.md ${PROJECT_SOURCE_DIR}/bench/SYSTEM_RESULTS.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/bench)
# Scrape configuration and alerting rules for Prometheus, when present.
if(EXISTS ${PROJECT_SOURCE_DIR}/contrib/prometheus)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/contrib/prometheus DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

# The configuration file, the units and the man pages are placed at install time, so that
# the paths written into the units follow the prefix actually installed to
# (`cmake --install --prefix`, or /usr in the package).
install(CODE "
  set(QUILLON_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
  set(QUILLON_BINARY_DIR \"${PROJECT_BINARY_DIR}\")
  set(QUILLON_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
  set(QUILLON_BINDIR \"${CMAKE_INSTALL_BINDIR}\")
  set(QUILLON_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")
  set(QUILLON_SYSTEMD_UNITDIR \"${QUILLON_SYSTEMD_UNITDIR}\")
  set(QUILLON_MANDIR \"${CMAKE_INSTALL_MANDIR}\")
  set(PROJECT_VERSION \"${PROJECT_VERSION}\")
  set(QUILLON_WITH_VIEW ${QUILLON_WITH_VIEW})
  include(\"${PROJECT_SOURCE_DIR}/packaging/install-system-files.cmake\")
")

include(${PROJECT_SOURCE_DIR}/packaging/cpack.cmake)
