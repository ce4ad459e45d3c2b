# Installation and packages. Companion programs install themselves next to
# the server with a plain `install(TARGETS <tool>)` in their own directory:
# the default destination is bin/, which every package below carries.
include(GNUInstallDirs)

install(TARGETS QuillmarshSrv)
if(WIN32)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
else()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

if(UNIX AND NOT APPLE)
  # The service runs the installed binary, so the unit names the path it is
  # installed to; the .deb is laid out under the same prefix (see below).
  configure_file(${CMAKE_CURRENT_LIST_DIR}/quillmarsh.service.in
                 ${PROJECT_BINARY_DIR}/packaging/quillmarsh.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/quillmarsh.service
          DESTINATION lib/systemd/system)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/quillmarsh.env.example
          DESTINATION ${CMAKE_INSTALL_DATADIR}/quillmarsh)
  # /etc with the /usr prefix. An absolute destination, so the .tar.gz,
  # which would install it into this machine's /etc, leaves it out (below).
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/quillmarsh.logrotate
          DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d RENAME quillmarsh
          COMPONENT logrotate)
  # dpkg keeps a local admin's edits to it on upgrade.
  file(WRITE ${PROJECT_BINARY_DIR}/packaging/conffiles
       "${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d/quillmarsh\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/packaging/conffiles)
endif()

set(CPACK_PACKAGE_NAME quillmarsh-server)
set(CPACK_PACKAGE_VENDOR "QuillmarshServer")
set(CPACK_PACKAGE_CONTACT "QuillmarshServer maintainers <maintainers@users.noreply.c-seed-4044117f.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Console server joining TCP clients into one switched network of text frames")
set(CPACK_PACKAGE_INSTALL_DIRECTORY QuillmarshServer)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR DEB TGZ)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
if(QM_HAVE_OPENSSL)
  # libcrypto.so.3, for the password hashes.
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libssl3")
endif()
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/packaging/cpack_options.cmake)
file(CONFIGURE OUTPUT ${CPACK_PROJECT_CONFIG_FILE} CONTENT [[
# The .deb installs under the prefix the unit file was made for.
if(CPACK_GENERATOR STREQUAL "DEB")
  set(CPACK_PACKAGING_INSTALL_PREFIX "@CMAKE_INSTALL_PREFIX@")
elseif(CPACK_GENERATOR STREQUAL "TGZ")
  set(CPACK_INSTALL_CMAKE_PROJECTS "@PROJECT_BINARY_DIR@;@PROJECT_NAME@;Unspecified;/")
endif()
]] @ONLY)

include(CPack)
