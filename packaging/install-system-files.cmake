# Runs at install time (from cmake_install.cmake): the sample configuration,
# kept when the file exists, and the systemd units and man pages with this
# prefix's paths.
set(prefix "${CMAKE_INSTALL_PREFIX}")

function(full_path out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()

# The configuration lives in /etc for the system prefixes, as GNUInstallDirs
# has it, and under the prefix otherwise.
if(IS_ABSOLUTE "${QUILLON_SYSCONFDIR}")
  set(sysconfdir "${QUILLON_SYSCONFDIR}")
elseif(prefix STREQUAL "/usr" OR prefix STREQUAL "/")
  set(sysconfdir "/etc")
else()
  set(sysconfdir "${prefix}/${QUILLON_SYSCONFDIR}")
endif()
full_path(QUILLON_SBINDIR "${QUILLON_SBINDIR}")
full_path(QUILLON_BINDIR "${QUILLON_BINDIR}")
full_path(unitdir "${QUILLON_SYSTEMD_UNITDIR}")
set(QUILLON_CONFIG_FILE "${sysconfdir}/quillon/quillon.conf")

if(EXISTS "$ENV{DESTDIR}${QUILLON_CONFIG_FILE}")
  message(STATUS "Kept: $ENV{DESTDIR}${QUILLON_CONFIG_FILE}")
else()
  file(INSTALL "${QUILLON_SOURCE_DIR}/quillon.conf.example" DESTINATION "${sysconfdir}/quillon"
       RENAME quillon.conf PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()

set(units quillon.service)
if(QUILLON_WITH_VIEW)
  list(APPEND units quillon-view.service)
endif()
foreach(unit ${units})
  configure_file("${QUILLON_SOURCE_DIR}/systemd/${unit}.in" "${QUILLON_BINARY_DIR}/systemd/${unit}" @ONLY)
  file(INSTALL "${QUILLON_BINARY_DIR}/systemd/${unit}" DESTINATION "${unitdir}"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()

# Man pages, compressed the way Debian wants them (no name, no time stamp).
full_path(mandir "${QUILLON_MANDIR}")
set(pages quillon.8 quillon.conf.5)
if(QUILLON_WITH_VIEW)
  list(APPEND pages quillon-view.1)
endif()
foreach(page ${pages})
  set(rendered "${QUILLON_BINARY_DIR}/man-install/${page}")
  configure_file("${QUILLON_SOURCE_DIR}/man/${page}.in" "${rendered}" @ONLY)
  execute_process(COMMAND gzip -9nf "${rendered}" RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${rendered} failed")
  endif()
  string(REGEX MATCH "[0-9]$" section "${page}")
  file(INSTALL "${rendered}.gz" DESTINATION "${mandir}/man${section}"
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()
