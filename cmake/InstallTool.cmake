# The window and the link tester, the window's desktop entry and icon, to the GNU install folders.
install(TARGETS zunstream RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(ZUN_WITH_WINDOW)
    install(TARGETS zunVidStreamTool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(FILES ${PROJECT_SOURCE_DIR}/data/zunVidStreamTool.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${PROJECT_SOURCE_DIR}/data/zunVidStreamTool.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()
