# The GNU install folders. Debian keeps libraries in a folder per architecture
# (lib/x86_64-linux-gnu), so that packages of several architectures install side by side and a
# cross build finds the pkg-config file of its own; GNUInstallDirs picks that folder only for
# the prefix /usr, and the packages are made from an install under any prefix.
if(NOT DEFINED CMAKE_INSTALL_LIBDIR AND CMAKE_LIBRARY_ARCHITECTURE AND EXISTS /etc/debian_version)
    set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH
        "Object code libraries (lib/<multiarch triplet> on Debian)")
endif()
include(GNUInstallDirs)
