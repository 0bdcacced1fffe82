# Hidden visibility still leaves the C++ template pieces that inline code instantiates exported,
# some as unique globals that keep dlclose from unloading the library: the version script
# exports the C entry points alone.
if(UNIX AND NOT APPLE)
    set(ZUN_VERSION_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/zunVidStreamLib2.map)
    target_link_options(zunVidStreamLib2 PRIVATE "LINKER:--version-script=${ZUN_VERSION_SCRIPT}")
    set_property(TARGET zunVidStreamLib2 APPEND PROPERTY LINK_DEPENDS ${ZUN_VERSION_SCRIPT})
endif()
