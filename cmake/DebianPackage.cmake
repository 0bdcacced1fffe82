# `cpack -G DEB` in the build folder packs what `cmake --install` installs, under /usr.
# dpkg-shlibdeps reads the dependencies off the binaries, so they name exactly the
# libraries the tool and the library were linked against.
set(CPACK_PACKAGE_NAME zunvidstreamtool)
set(CPACK_PACKAGE_VENDOR tarvel)
set(CPACK_PACKAGE_CONTACT "tarvel <zunstream@tarvel.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Video link tester and its streaming library (UDP, TCP, shared memory; raw or JPEG)")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The library in the package gets a shlibs file, so packages built against it depend on it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
include(CPack)
