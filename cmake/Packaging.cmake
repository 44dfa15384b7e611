# What `cmake --install` puts in place, and the Debian package built from it with `cpack -G DEB`.
include(GNUInstallDirs)

add_executable(kova_assets tools/kova_assets.cpp)
target_link_libraries(kova_assets PRIVATE kova_common_cfg Qt6::Gui)

# Every program in bin has its manual page; the package's documentation is what Debian asks for.
set(KOVA_MANUAL_PAGES kova.1 kova-launcher.1 kova-web.1)
set(KOVA_SYSTEMD_UNITS kova.service kova-web.service)

set(KOVA_ASSETS ${PROJECT_BINARY_DIR}/assets)
# The manual pages and the changelog go in gzip-compressed, as Debian wants them.
set(compressed "")
set(compressed_sources "")
set(compress_commands "")
foreach(source IN LISTS KOVA_MANUAL_PAGES ITEMS changelog)
    list(APPEND compressed ${KOVA_ASSETS}/${source}.gz)
    list(APPEND compressed_sources ${PROJECT_SOURCE_DIR}/packaging/${source})
    list(APPEND compress_commands
         COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/${source} > ${KOVA_ASSETS}/${source}.gz)
endforeach()
add_custom_command(
    OUTPUT ${KOVA_ASSETS}/recv.wav ${KOVA_ASSETS}/heart16.png ${KOVA_ASSETS}/heart32.png ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${KOVA_ASSETS}
    COMMAND kova_assets ${KOVA_ASSETS} ${PROJECT_SOURCE_DIR}/src/ui/icons/heart16.xpm
            ${PROJECT_SOURCE_DIR}/src/ui/icons/heart32.xpm
    ${compress_commands}
    DEPENDS kova_assets ${PROJECT_SOURCE_DIR}/src/ui/icons/heart16.xpm ${PROJECT_SOURCE_DIR}/src/ui/icons/heart32.xpm
            ${compressed_sources}
    COMMENT "Making the default sound, the icon images, the manual pages and the changelog"
    VERBATIM)
add_custom_target(kova_package_assets ALL DEPENDS ${KOVA_ASSETS}/recv.wav ${compressed})

install(TARGETS kova kova-web RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS packaging/kova-launcher DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES packaging/kova.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/kova.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${KOVA_ASSETS}/heart16.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/16x16/apps RENAME kova.png)
install(FILES ${KOVA_ASSETS}/heart32.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps RENAME kova.png)
install(FILES ${KOVA_ASSETS}/recv.wav DESTINATION ${CMAKE_INSTALL_DATADIR}/kova)
foreach(page IN LISTS KOVA_MANUAL_PAGES)
    install(FILES ${KOVA_ASSETS}/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
install(FILES ${KOVA_ASSETS}/changelog.gz packaging/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The units name the program where this install puts it (the package: /usr/bin; systemd also reads
# /usr/local/lib/systemd/system).
foreach(unit IN LISTS KOVA_SYSTEMD_UNITS)
    install(CODE "
        set(KOVA_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
        configure_file(\"${PROJECT_SOURCE_DIR}/packaging/${unit}.in\" \"${KOVA_ASSETS}/${unit}\" @ONLY)
        file(INSTALL \"${KOVA_ASSETS}/${unit}\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")")
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kova)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "KOVA developers <dev@kova.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "chat server for a local network")
# Lines of the long description stay within 80 columns.
set(CPACK_PACKAGE_DESCRIPTION "Up to nine clients connect over TCP port 557, register nicknames, and every
line one of them sends is relayed to all of them under the speaker's name. The
operator watches a timestamped log and the participant list in a window, and
can chat too. Without a desktop it runs as a system service (kova.service, not
enabled) with its log in the journal. Code page 932 (Shift_JIS) on the wire.
kova-web (kova-web.service, not enabled) serves a chat page on TCP port 8557,
so that any browser on the network can join as one more client.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libstdc++6 (>= 12), libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6network6 (>= 6.4), \
libqt6widgets6 (>= 6.4), libqt6multimedia6 (>= 6.4), \
qt6-qpa-plugins, fonts-ipafont-gothic, libcap2-bin")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gstreamer1.0-plugins-base")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
