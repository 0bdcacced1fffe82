# The programs, each in a component of its own so that a server gets no desktop libraries:
# zunstream with its man page and service unit, the window with its man page, desktop entry and
# icon.
include(${CMAKE_CURRENT_LIST_DIR}/Gzip.cmake)

# Under a prefix the loader does not search, a program finds the library by a RUNPATH relative
# to itself. Under /usr, where the packages install, the loader finds it and Debian wants none.
file(RELATIVE_PATH ZUN_BIN_TO_LIB /p/${CMAKE_INSTALL_BINDIR} /p/${CMAKE_INSTALL_LIBDIR})
function(zun_install_program target component)
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/${ZUN_BIN_TO_LIB}")
    zun_bind_now(${target})
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
    install(CODE "
        if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
            file(RPATH_REMOVE FILE \"\$ENV{DESTDIR}/usr/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:${target}>\")
        endif()"
        COMPONENT ${component})
endfunction()

zun_install_program(zunstream zunstream)
if(TARGET zunstream-man)
    get_target_property(ZUN_CLI_BINARY_DIR zunstream BINARY_DIR)
    zun_gzip(${ZUN_CLI_BINARY_DIR}/zunstream.1 ZUN_ZUNSTREAM_MAN DEPENDS zunstream-man)
    install(FILES ${ZUN_ZUNSTREAM_MAN} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT zunstream)
endif()
# Packages only: the unit names /usr/bin, and systemd reads no unit under another prefix.
install(FILES ${PROJECT_SOURCE_DIR}/data/zunstream-serve.service
    DESTINATION lib/systemd/system COMPONENT zunstream EXCLUDE_FROM_ALL)

if(ZUN_WITH_WINDOW)
    zun_install_program(zunVidStreamTool window)
    zun_gzip(${PROJECT_SOURCE_DIR}/data/zunVidStreamTool.1 ZUN_WINDOW_MAN)
    install(FILES ${ZUN_WINDOW_MAN} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT window)
    install(FILES ${PROJECT_SOURCE_DIR}/data/zunVidStreamTool.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT window)
    install(FILES ${PROJECT_SOURCE_DIR}/data/zunVidStreamTool.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT window)
endif()
