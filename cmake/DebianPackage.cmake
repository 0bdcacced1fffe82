# `cpack -G DEB` in the build folder makes one package per component, split as Debian splits a
# library and its programs:
#   libzunvidstreamlib2-1    the library, named after its SONAME (component "library")
#   libzunvidstreamlib2-dev  header, .so link, pkg-config file, CMake package ("development")
#   zunstream                the link tester, Qt Core and Network only ("zunstream")
#   zunvidstreamtool         the window ("window")
# dpkg-shlibdeps reads the dependencies on other packages off the binaries.
include(${CMAKE_CURRENT_LIST_DIR}/Gzip.cmake)

set(CPACK_PACKAGE_NAME zunvidstreamtool)
set(CPACK_PACKAGE_VENDOR tarvel)
set(CPACK_PACKAGE_CONTACT "tarvel <zunstream@tarvel.com>")
# The install runs with the prefix /usr into DESTDIR, so that the programs' install rules see
# the prefix the packages install to.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL library development zunstream)
if(ZUN_WITH_WINDOW)
    list(APPEND CPACK_COMPONENTS_ALL window)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SOURCE zunvidstreamtool)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs need the library, which is not installed here: dpkg-shlibdeps finds it in the
# build tree, and the dependency on its package is named below, as its shlibs file would.
get_target_property(ZUN_LIBRARY_BINARY_DIR zunVidStreamLib2 BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${ZUN_LIBRARY_BINARY_DIR})

set(ZUN_DEBIAN_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
set(ZUN_LIBRARY_PACKAGE libzunvidstreamlib2-${PROJECT_VERSION_MAJOR})
# Programs built against 1.x keep working with any later 1.y, as the SONAME promises.
set(ZUN_LIBRARY_DEPENDENCY
    "${ZUN_LIBRARY_PACKAGE} (>= ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.0)")

set(ZUN_LIBRARY_ABOUT [=[
zunVidStreamLib2 sends and receives video frames between processes and
machines, raw or JPEG compressed: over UDP, unicast or multicast, with
parity that rebuilds lost datagrams and pacing that spreads a frame over
time; over TCP; or through shared memory on the same host. Its C interface
hands out integer handles and may be called from any thread.]=])

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME ${ZUN_LIBRARY_PACKAGE})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION
"library to stream video frames over UDP, TCP or shared memory
${ZUN_LIBRARY_ABOUT}

This package holds the shared library.")
# cmake/debian/LibraryDepends.cmake names its dependencies instead.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SHLIBDEPS OFF)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/debian/shlibs CONTENT
    "libzunVidStreamLib2 ${PROJECT_VERSION_MAJOR} ${ZUN_LIBRARY_DEPENDENCY}\n")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/debian/shlibs ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/debian/CPackProjectConfig.cmake CONTENT
"set(ZUN_LIBRARY_FILE \"$<TARGET_FILE:zunVidStreamLib2>\")
set(ZUN_SHLIBDEPS_DIR \"${CMAKE_BINARY_DIR}/debian/shlibdeps\")
include(\"${CMAKE_CURRENT_LIST_DIR}/debian/LibraryDepends.cmake\")
")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/debian/CPackProjectConfig.cmake)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libzunvidstreamlib2-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${ZUN_LIBRARY_PACKAGE} (= ${ZUN_DEBIAN_VERSION})")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
"development files for the zunVidStreamLib2 video streaming library
${ZUN_LIBRARY_ABOUT}

This package holds the C header, the pkg-config file (zunVidStreamLib2) and
the CMake package (find_package(zunVidStreamLib2)) to build programs with.")

set(CPACK_DEBIAN_ZUNSTREAM_PACKAGE_NAME zunstream)
set(CPACK_DEBIAN_ZUNSTREAM_PACKAGE_SECTION net)
set(CPACK_DEBIAN_ZUNSTREAM_PACKAGE_DEPENDS "${ZUN_LIBRARY_DEPENDENCY}")
set(CPACK_DEBIAN_ZUNSTREAM_DESCRIPTION
"video link tester for the command line: send, receive, measure, pass or fail
zunstream tells whether a link carries a given video, and how well, with
numbers and an exit code, without a window: on a server, in a script, in CI.
It sends a test picture at a chosen size, depth, frame rate and JPEG level
over UDP (unicast or multicast), TCP or shared memory, receives and verifies
it, and reports frame rates, loss, latency, jitter and byte rates, as text
or JSON, against thresholds given for a pass.

It needs Qt Core and Qt Network only, no desktop libraries. The systemd unit
zunstream-serve.service, installed but not enabled, runs zunstream serve.")

set(CPACK_DEBIAN_WINDOW_PACKAGE_NAME zunvidstreamtool)
set(CPACK_DEBIAN_WINDOW_PACKAGE_SECTION video)
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "${ZUN_LIBRARY_DEPENDENCY}")
set(CPACK_DEBIAN_WINDOW_DESCRIPTION
"desktop tool to send a test picture as video and show what arrives
zunVidStreamTool tests a video link in one window: its sender streams a test
picture at a chosen size, depth, frame rate and JPEG level over UDP (unicast
or multicast), TCP or shared memory on the same host, and its receiver shows
the frames that arrive with their size, depth, frame rate and byte rates.")

# Each package carries its copyright and Debian changelog; other installs need neither.
# scripts/package.sh checks that the changelog's newest entry is the packages' version.
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog
    ${CMAKE_BINARY_DIR}/debian/changelog.Debian COPYONLY)
zun_gzip(${CMAKE_BINARY_DIR}/debian/changelog.Debian ZUN_DEBIAN_CHANGELOG)
foreach(component IN LISTS CPACK_COMPONENTS_ALL)
    string(TOUPPER ${component} upper)
    install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${ZUN_DEBIAN_CHANGELOG}
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}
        COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
include(CPack)
