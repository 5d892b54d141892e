# Installed like a system program: the window program, the service program
# its systemd unit runs (and the system user it runs as), a desktop entry, the
# icon and the AppStream metadata software centres show. `cpack -G DEB` in the
# build folder packages the same files as kiv-syslog_VERSION_ARCH.deb.
include(GNUInstallDirs)
set(KIV_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit goes, relative to the prefix")
set(KIV_SYSUSERS_DIR "lib/sysusers.d" CACHE STRING
    "Where the system user's sysusers.d entry goes, relative to the prefix")
set(KIV_STATE_DIR "/var/lib/kiv-syslog" CACHE PATH
    "The service's data directory (StateDirectory=kiv-syslog gives /var/lib/kiv-syslog)")

set(KIV_PACKAGE_CONTACT "KIV Syslog Server maintainers <maintainers@users.noreply.c-seed-230ac0c8.example>")
set(CPACK_PACKAGE_CONTACT "${KIV_PACKAGE_CONTACT}")
set(kiv_dist ${PROJECT_BINARY_DIR}/dist)
configure_file(dist/kiv-syslog.metainfo.xml ${kiv_dist}/kiv-syslog.metainfo.xml @ONLY)
configure_file(dist/debian/copyright ${kiv_dist}/copyright @ONLY)
configure_file(dist/debian/changelog ${kiv_dist}/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${kiv_dist}/changelog COMMAND_ERROR_IS_FATAL ANY)

install(TARGETS kiv-syslog kiv-syslogd RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The unit and the desktop entry name the programs by their full path, which
# is only known when installing: `cmake --install --prefix DIR` (or the
# package's /usr) decides it, not the prefix the build was configured with.
if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
  set(kiv_bin_dir "${CMAKE_INSTALL_BINDIR}")
else()
  set(kiv_bin_dir "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}")
endif()
install(CODE "
  set(KIV_BIN_DIR \"${kiv_bin_dir}\")
  set(KIV_STATE_DIR \"${KIV_STATE_DIR}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/dist/kiv-syslog.service.in\"
                 \"${kiv_dist}/installed/kiv-syslog.service\" @ONLY)
  configure_file(\"${PROJECT_SOURCE_DIR}/dist/kiv-syslog.desktop.in\"
                 \"${kiv_dist}/installed/kiv-syslog.desktop\" @ONLY)
")
install(FILES ${kiv_dist}/installed/kiv-syslog.service DESTINATION ${KIV_SYSTEMD_UNIT_DIR})
install(FILES dist/kiv-syslog.sysusers.conf DESTINATION ${KIV_SYSUSERS_DIR} RENAME kiv-syslog.conf)
install(FILES ${kiv_dist}/installed/kiv-syslog.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES dist/kiv-syslog.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${kiv_dist}/kiv-syslog.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${kiv_dist}/copyright ${kiv_dist}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kiv-syslog)

# The Debian package. The install runs with DESTDIR (CPACK_SET_DESTDIR) so
# that the install prefix it sees is the package's /usr, the path the unit
# must name.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kiv-syslog)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "KIV Syslog Server developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "syslog server with a window, storing into SQLite")
set(CPACK_PACKAGE_DESCRIPTION
"KIV Syslog Server receives syslog messages over UDP and TCP, stores them in
an SQLite database with a table for each day, shows them as they arrive,
searches and exports them and removes old days. It runs as a window of its
own or as the kiv-syslog system service (kiv-syslogd), whose windows attach
to it.")
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/dist/debian/postinst
    ${PROJECT_SOURCE_DIR}/dist/debian/prerm
    ${PROJECT_SOURCE_DIR}/dist/debian/postrm)
include(CPack)
