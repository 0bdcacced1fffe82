# Read by cpack: the library package depends on what dpkg-shlibdeps reads off the library.
# CPack's own dpkg-shlibdeps run would also give the package maintainer scripts that call
# ldconfig, which the ldconfig trigger replaces. Needs ZUN_LIBRARY_FILE and ZUN_SHLIBDEPS_DIR.
find_program(ZUN_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(CPACK_GENERATOR STREQUAL "DEB" AND ZUN_DPKG_SHLIBDEPS)
    # dpkg-shlibdeps wants to run where debian/control is.
    file(WRITE "${ZUN_SHLIBDEPS_DIR}/debian/control" "")
    execute_process(COMMAND ${ZUN_DPKG_SHLIBDEPS} -O "${ZUN_LIBRARY_FILE}"
        WORKING_DIRECTORY "${ZUN_SHLIBDEPS_DIR}"
        OUTPUT_VARIABLE substvars RESULT_VARIABLE result ERROR_VARIABLE error)
    if(NOT result EQUAL 0 OR NOT substvars MATCHES "shlibs:Depends=([^\n]+)")
        message(FATAL_ERROR "dpkg-shlibdeps ${ZUN_LIBRARY_FILE}: ${error}")
    endif()
    set(CPACK_DEBIAN_LIBRARY_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
endif()
