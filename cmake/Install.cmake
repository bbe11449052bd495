# Install rules and the Debian package (scripts/package). Everything is named by the application id.
include(GNUInstallDirs)

set(WS_APP_ID com.wellspire.Agent)

configure_file(resources/${WS_APP_ID}.metainfo.xml ${CMAKE_BINARY_DIR}/${WS_APP_ID}.metainfo.xml @ONLY)
configure_file(resources/wellspire-agent.1 ${CMAKE_BINARY_DIR}/wellspire-agent.1 @ONLY)
# Debian ships man pages compressed, without a time stamp in the header (-n) so builds repeat.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/wellspire-agent.1.gz
    COMMAND gzip -9n -c ${CMAKE_BINARY_DIR}/wellspire-agent.1 > ${CMAKE_BINARY_DIR}/wellspire-agent.1.gz
    DEPENDS ${CMAKE_BINARY_DIR}/wellspire-agent.1 VERBATIM)
add_custom_target(wellspire_manpage DEPENDS ${CMAKE_BINARY_DIR}/wellspire-agent.1.gz)
add_dependencies(wellspire-agent wellspire_manpage)

install(TARGETS wellspire-agent RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES resources/${WS_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
# KWin grants its screenshot interface to a program only through a desktop entry whose Exec is
# exactly the program's absolute path, without arguments; the main entry keeps "%u" for links.
install(CODE "
    set(WS_AGENT_PATH \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/wellspire-agent\")
    configure_file(\"${CMAKE_SOURCE_DIR}/resources/${WS_APP_ID}.Capture.desktop.in\"
                   \"${CMAKE_BINARY_DIR}/${WS_APP_ID}.Capture.desktop\" @ONLY)")
install(FILES ${CMAKE_BINARY_DIR}/${WS_APP_ID}.Capture.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_BINARY_DIR}/${WS_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(DIRECTORY resources/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
install(FILES ${CMAKE_BINARY_DIR}/wellspire-agent.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# Installing or packaging needs only the agent, not every test and benchmark of the tree.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME wellspire-agent)
set(CPACK_PACKAGE_VENDOR Wellspire)
set(CPACK_PACKAGE_CONTACT "Wellspire <support@wellspire.health>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "gentle check-ins when what you write or see weighs heavy")
set(CPACK_PACKAGE_DESCRIPTION
    "With the user's consent, the agent reads the text of the focused input field and the text on
screen, asks the Wellspire service for a judgment, and shows a gentle or a crisis check-in panel
(the crisis one points to the 988 crisis line). It lives in the status area of the desktop.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${WS_PRIMARY_HOSTED_URL}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Recognition needs the English model; reading fields needs the accessibility bus.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "tesseract-ocr-eng, at-spi2-core")
# The Secret Service, the check-in sound, and a status area on GNOME.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnome-keyring, sound-theme-freedesktop, gnome-shell-extension-appindicator")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# No maintainer scripts: the desktop database, MIME cache, icon cache and man index are refreshed by
# the file triggers of desktop-file-utils, shared-mime-info, the icon theme and man-db.
include(CPack)
