# Installation, the .tar.gz and the Windows .zip. The .deb is built the
# Debian way, from debian/ with debhelper, on top of these same install
# rules. Companion programs install themselves next to the server with a
# plain `install(TARGETS <tool>)` in their own directory: the default
# destination is bin/, which every package carries.
include(GNUInstallDirs)

install(TARGETS QuillmarshSrv)
set(QM_DOCS ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE)
file(GLOB QM_DOC_PAGES ${PROJECT_SOURCE_DIR}/docs/*.md)
if(WIN32)
  install(FILES ${QM_DOCS} DESTINATION .)
  install(FILES ${QM_DOC_PAGES} DESTINATION docs)
else()
  install(FILES ${QM_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${QM_DOC_PAGES} DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
  # Written in groff itself, so a man page needs no tool to build.
  install(FILES ${PROJECT_SOURCE_DIR}/man/QuillmarshSrv.1 ${PROJECT_SOURCE_DIR}/man/qmclient.1
                ${PROJECT_SOURCE_DIR}/man/qmpasswd.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/man/quillmarsh-users.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
endif()

if(UNIX AND NOT APPLE)
  # The service runs the installed binary, so the unit names the path it is
  # installed to; the .deb is laid out under the same prefix (see below).
  # A server that cannot tell systemd it is ready must not be waited for:
  # without libsystemd the unit is a simple one, without a watchdog.
  if(QM_HAVE_SYSTEMD)
    set(QM_SERVICE_TYPE notify)
    set(QM_SERVICE_WATCHDOG "WatchdogSec=30s")
  else()
    set(QM_SERVICE_TYPE simple)
    set(QM_SERVICE_WATCHDOG "# No watchdog: this build cannot notify systemd.")
  endif()
  set(QM_CONFIG_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/quillmarsh/quillmarsh.toml)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/quillmarsh.service.in
                 ${PROJECT_BINARY_DIR}/packaging/quillmarsh.service @ONLY)
  # Debian 12 keeps units in /lib/systemd/system, where its package tools
  # look for them; the .tar.gz keeps the unit under its own prefix.
  set(QM_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING "Where the systemd unit is installed")
  install(FILES ${PROJECT_BINARY_DIR}/packaging/quillmarsh.service
          DESTINATION ${QM_SYSTEMD_UNIT_DIR})
  # /etc with the /usr prefix. Absolute destinations, so the .tar.gz, which
  # would install them into this machine's /etc, leaves them out (below).
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/quillmarsh.logrotate
          DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d RENAME quillmarsh
          COMPONENT system_configuration)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/quillmarsh.toml
          DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/quillmarsh COMPONENT system_configuration)
endif()

set(CPACK_PACKAGE_NAME quillmarsh-server)
set(CPACK_PACKAGE_VENDOR "QuillmarshServer")
set(CPACK_PACKAGE_CONTACT "QuillmarshServer maintainers <maintainers@quillmarsh.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Console server joining TCP clients into one switched network of text frames")
set(CPACK_PACKAGE_INSTALL_DIRECTORY QuillmarshServer)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR TGZ)
  # The .tar.gz leaves out what would land in this machine's /etc.
  set(CPACK_INSTALL_CMAKE_PROJECTS "${PROJECT_BINARY_DIR};${PROJECT_NAME};Unspecified;/")
endif()

include(CPack)
