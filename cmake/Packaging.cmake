# Installation extras and the Debian package: `cpack -G DEB` in a build
# directory builds quorvexia_<version>_<arch>.deb from the install rules.

if(QUORVEXIA_BUILD_SETUP)
  # korvcfg edits korv.cfg in its working directory; from the menu that is
  # the home folder, where korv started through PATH looks too.
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/korvcfg.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
endif()

# systemd user units that run korv every 10 minutes in the home directory;
# installed disabled (systemctl --user enable --now korv.timer turns them on).
# The service names korv by the prefix of the installation, which is known
# only when it runs (cmake --install --prefix, cpack), so it is made then; a
# name of its own for each run, as installations may run side by side.
set(user_unit_dir lib/systemd/user)
install(CODE "
  string(RANDOM LENGTH 12 run)
  set(unit \"${PROJECT_BINARY_DIR}/packaging/korv.service.\${run}\")
  set(KORV_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/korv\")
  configure_file(\"${PROJECT_SOURCE_DIR}/packaging/systemd/korv.service.in\" \"\${unit}\" @ONLY)
  file(INSTALL \"\${unit}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${user_unit_dir}\" RENAME korv.service)
  file(REMOVE \"\${unit}\")
")
install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/korv.timer DESTINATION ${user_unit_dir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvexia)
set(CPACK_PACKAGE_VENDOR "Quorvexia developers")
set(CPACK_PACKAGE_CONTACT "Quorvexia developers <quorvexia@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mail transfer for one user: queued mail out by SMTP, mail in by POP3")
set(CPACK_PACKAGE_DESCRIPTION
  "korv submits the messages a mail reader has queued in an outbound directory\n\
to an SMTP server and stores the messages of a POP3 mailbox in an inbound\n\
directory, optionally over a dial-up connection. korvcfg (graphical) and\n\
korvconf (command line) edit its configuration file, korv.cfg.")
# What Debian asks of every package: its copyright and, being native, its
# changelog, compressed as the system's own are.
string(TIMESTAMP changelog_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  COMMAND gzip -9n -c ${PROJECT_BINARY_DIR}/packaging/changelog > ${PROJECT_BINARY_DIR}/packaging/changelog.gz
  DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog
  VERBATIM)
add_custom_target(package_changelog ALL DEPENDS ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quorvexia)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The dependencies are those of the built programs, found by dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The dial-up provider drives NetworkManager's command-line client.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "network-manager")
set(CPACK_DEBIAN_COMPRESSION_TYPE gzip)
set(CPACK_STRIP_FILES ON)
include(CPack)
