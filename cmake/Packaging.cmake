# What `cmake --install` puts in place, and the Debian package built from it with `cpack -G DEB`.
include(GNUInstallDirs)

add_executable(kova_assets tools/kova_assets.cpp)
target_link_libraries(kova_assets PRIVATE kova_common_cfg Qt6::Gui)

set(KOVA_ASSETS ${PROJECT_BINARY_DIR}/assets)
add_custom_command(
    OUTPUT ${KOVA_ASSETS}/recv.wav ${KOVA_ASSETS}/heart16.png ${KOVA_ASSETS}/heart32.png ${KOVA_ASSETS}/kova.1.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KOVA_ASSETS}
    COMMAND kova_assets ${KOVA_ASSETS} ${PROJECT_SOURCE_DIR}/src/ui/icons/heart16.xpm
            ${PROJECT_SOURCE_DIR}/src/ui/icons/heart32.xpm
    COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/kova.1 > ${KOVA_ASSETS}/kova.1.gz
    DEPENDS kova_assets ${PROJECT_SOURCE_DIR}/src/ui/icons/heart16.xpm ${PROJECT_SOURCE_DIR}/src/ui/icons/heart32.xpm
            ${PROJECT_SOURCE_DIR}/packaging/kova.1
    COMMENT "Making the default sound, the icon images and the manual page"
    VERBATIM)
add_custom_target(kova_package_assets ALL DEPENDS ${KOVA_ASSETS}/recv.wav ${KOVA_ASSETS}/kova.1.gz)

install(TARGETS kova RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS packaging/kova-launcher DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES packaging/kova.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${KOVA_ASSETS}/heart16.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/16x16/apps RENAME kova.png)
install(FILES ${KOVA_ASSETS}/heart32.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps RENAME kova.png)
install(FILES ${KOVA_ASSETS}/recv.wav DESTINATION ${CMAKE_INSTALL_DATADIR}/kova)
install(FILES ${KOVA_ASSETS}/kova.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kova)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "KOVA developers <dev@kova.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "chat server for a local network")
set(CPACK_PACKAGE_DESCRIPTION "A desktop chat server: up to nine clients connect over TCP port 557, register
nicknames, and every line is relayed to everybody under the speaker's name. The operator watches a
timestamped log and the participant list, and can chat too. Code page 932 (Shift_JIS) on the wire.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libstdc++6 (>= 12), libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6network6 (>= 6.4), \
libqt6widgets6 (>= 6.4), libqt6multimedia6 (>= 6.4), qt6-qpa-plugins, fonts-ipafont-gothic, libcap2-bin")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gstreamer1.0-plugins-base")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
