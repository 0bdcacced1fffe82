# The library, its header, a pkg-config file and a CMake package, to the GNU install folders.
# Components: "library" is what programs need at run time (the .so.1 and the file it names),
# "development" what building against it needs.
include(CMakePackageConfigHelpers)

set(ZUN_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zunVidStreamLib2)

# What is installed binds every symbol at start and then makes its relocations read-only, as
# Debian's hardened builds do.
function(zun_bind_now target)
    if(UNIX AND NOT APPLE)
        target_link_options(${target} PRIVATE "LINKER:-z,relro,-z,now")
    endif()
endfunction()
zun_bind_now(zunVidStreamLib2)

install(TARGETS zunVidStreamLib2 EXPORT zunVidStreamLib2Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT development
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)

install(EXPORT zunVidStreamLib2Targets
    NAMESPACE zunVidStreamLib2::
    DESTINATION ${ZUN_CMAKE_PACKAGE_DIR}
    COMPONENT development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/zunVidStreamLib2Config.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/zunVidStreamLib2Config.cmake
    INSTALL_DESTINATION ${ZUN_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/zunVidStreamLib2ConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
install(FILES
    ${CMAKE_CURRENT_BINARY_DIR}/zunVidStreamLib2Config.cmake
    ${CMAKE_CURRENT_BINARY_DIR}/zunVidStreamLib2ConfigVersion.cmake
    DESTINATION ${ZUN_CMAKE_PACKAGE_DIR}
    COMPONENT development)

# The .pc file finds its prefix from where it lies, so a tree installed with --prefix, DESTDIR
# or unpacked from the .deb anywhere still points at its own header and library.
file(RELATIVE_PATH ZUN_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" ZUN_PC_TO_PREFIX "${ZUN_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/zunVidStreamLib2.pc.in
    ${CMAKE_CURRENT_BINARY_DIR}/zunVidStreamLib2.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zunVidStreamLib2.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT development)
