# The part of the cross toolchain files (toolchain-armhf.cmake,
# toolchain-arm64.cmake) that Debian's cross compilers share; those set
# CMAKE_SYSTEM_PROCESSOR and NETLIB_CROSS_TRIPLE first.
set(CMAKE_SYSTEM_NAME Linux)
set(NETLIB_CROSS_ROOT /usr/${NETLIB_CROSS_TRIPLE})

set(CMAKE_C_COMPILER ${NETLIB_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${NETLIB_CROSS_TRIPLE}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${NETLIB_CROSS_TRIPLE})

# GCC notes that the ARM passing of some aggregates changed (GCC 7.1 on
# 32-bit ARM, 9.1 on 64-bit); it matters only when linking with objects built
# by older compilers.
set(CMAKE_CXX_FLAGS_INIT "-Wno-psabi")

# Libraries and headers come from the cross root only, so nothing built for
# the build machine can slip into a link. Programs (strip, python) are the
# build machine's.
set(CMAKE_FIND_ROOT_PATH ${NETLIB_CROSS_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CLI11 and nlohmann-json are header-only and architecture-neutral: their
# package files live outside the cross root, their headers in /usr/include,
# which the Debian cross compiler already searches last.
if(NOT DEFINED CLI11_DIR AND EXISTS /usr/share/cmake/CLI11/CLI11Config.cmake)
  set(CLI11_DIR /usr/share/cmake/CLI11 CACHE PATH "CLI11 package (header-only)")
endif()
if(NOT DEFINED nlohmann_json_DIR AND EXISTS /usr/share/cmake/nlohmann_json/nlohmann_jsonConfig.cmake)
  set(nlohmann_json_DIR /usr/share/cmake/nlohmann_json CACHE PATH "nlohmann-json package (header-only)")
endif()

# The device is a Debian system: installed under /usr with the libraries in
# the multiarch directory, as the Debian packages (debian/) lay them out.
# GNUInstallDirs picks that directory only for native builds.
if(NOT DEFINED CMAKE_INSTALL_PREFIX)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Install prefix on the device")
endif()
if(NOT DEFINED CMAKE_INSTALL_LIBDIR)
  set(CMAKE_INSTALL_LIBDIR lib/${NETLIB_CROSS_TRIPLE} CACHE PATH "Library directory (Debian multiarch)")
endif()
