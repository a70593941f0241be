# Installing and packaging: the program into bin/, its desktop entry, icon and AppStream metadata
# into share/, and a Debian package of it all made by CPack (`make package`).
include(GNUInstallDirs)

set(TARLOWEN_APP_ID org.tarlowen.Tarlowen)

install(TARGETS tarlowen RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES data/${TARLOWEN_APP_ID}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES data/${TARLOWEN_APP_ID}.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES data/${TARLOWEN_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# What Debian's policy wants in every package: the copyright file, a compressed changelog (named as
# a native package's is) and a manual page.
set(changelog ${CMAKE_BINARY_DIR}/changelog)
file(WRITE ${changelog}
  "tarlowen (${PROJECT_VERSION}) stable; urgency=medium\n\n"
  "  * Package built from the project's sources.\n\n"
  " -- Tarlowen developers <maintainers@tarlowen.org>  Fri, 11 Dec 2026 12:00:00 +0000\n")
add_custom_command(OUTPUT ${changelog}.gz
  COMMAND gzip -n -9 -c ${changelog} > ${changelog}.gz
  DEPENDS ${changelog}
  VERBATIM)
add_custom_target(tarlowen_changelog ALL DEPENDS ${changelog}.gz)
install(FILES ${changelog}.gz data/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tarlowen)
set(manual ${CMAKE_BINARY_DIR}/tarlowen.1.gz)
add_custom_command(OUTPUT ${manual}
  COMMAND gzip -n -9 -c ${PROJECT_SOURCE_DIR}/data/tarlowen.1 > ${manual}
  DEPENDS ${PROJECT_SOURCE_DIR}/data/tarlowen.1
  VERBATIM)
add_custom_target(tarlowen_manual ALL DEPENDS ${manual})
install(FILES ${manual} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarlowen)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Tarlowen developers <maintainers@tarlowen.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "saves the songs of share links copied to the clipboard")
set(CPACK_PACKAGE_DESCRIPTION
  "Tarlowen watches the clipboard while monitoring is on. When a song's share\n"
  "link is copied, it fetches the share page, saves the song as\n"
  "\"singer - song.m4a\" and empties the clipboard for the next link.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the program links come from dpkg-shlibdeps; the toolkit's X11 platform plugin is
# loaded at run time, so its package is named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "qt6-wayland")
include(CPack)
