# Debian packages (cpack, or the "package" target) of this build:
#   libpelk-network-utils-core1     the library (component "library")
#   libpelk-host1                   the standalone host (component "host")
#   libpelk-network-utils-core-dev  headers, .so links, CMake package, pkg-config files ("dev")
#   netlibctl                       the command-line host (netlibctl's install rule)
# for the architecture being built (amd64 natively, armhf with the cross
# toolchain), written to <build dir>/packages. Dependencies on libc6,
# libstdc++6 and libgcc-s1 are worked out when cpack runs, from the symbol
# versions the binaries need (cmake/deb-depends.cmake): dpkg-shlibdeps cannot
# look up the armhf C library on a build machine that has only the cross one.
# Meant for a build with CMAKE_INSTALL_PREFIX=/usr (Debian's multiarch
# library directory; the armhf toolchain file defaults to it).

set(NETLIB_DEB_RELEASE 1 CACHE STRING "Debian revision of the packages (the part after the version)")
set(NETLIB_DEB_MAINTAINER "libpelk_network_utils_core developers <netlib@localhost>"
  CACHE STRING "Maintainer field of the Debian packages")

# Debian's name for the architecture from the multiarch triple; dpkg's own
# table, so armhf for arm-linux-gnueabihf, amd64 for x86_64-linux-gnu.
if(NOT NETLIB_DEB_ARCHITECTURE)
  set(netlib_deb_arch "")
  find_program(NETLIB_DPKG_ARCHITECTURE dpkg-architecture)
  if(CMAKE_LIBRARY_ARCHITECTURE AND NETLIB_DPKG_ARCHITECTURE)
    execute_process(COMMAND ${NETLIB_DPKG_ARCHITECTURE} -t${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
      OUTPUT_VARIABLE netlib_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(NOT netlib_deb_arch)
    message(WARNING "Debian packages: no architecture known for '${CMAKE_LIBRARY_ARCHITECTURE}' "
                    "(set NETLIB_DEB_ARCHITECTURE); cpack will use dpkg's, which is this machine's")
  endif()
  set(NETLIB_DEB_ARCHITECTURE "${netlib_deb_arch}" CACHE STRING "Debian architecture of the packages")
endif()

if(CMAKE_LIBRARY_ARCHITECTURE AND NOT CMAKE_INSTALL_LIBDIR STREQUAL "lib/${CMAKE_LIBRARY_ARCHITECTURE}")
  message(STATUS "Debian packages: libraries go to /usr/${CMAKE_INSTALL_LIBDIR}, not Debian's "
                 "/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE} (configure with -DCMAKE_INSTALL_PREFIX=/usr for that)")
endif()

set(NETLIB_DEB_VERSION "${PROJECT_VERSION}-${NETLIB_DEB_RELEASE}")
set(netlib_deb_library libpelk-network-utils-core${PROJECT_VERSION_MAJOR})
set(netlib_deb_host libpelk-host${PROJECT_VERSION_MAJOR})

# netlibctl's install rule (tools/netlibctl) names no component.
get_cmake_property(netlib_components COMPONENTS)
set(netlib_tool_component "")
if(TARGET netlibctl)
  if(netlibctl IN_LIST netlib_components)
    set(netlib_tool_component netlibctl)
  elseif(Unspecified IN_LIST netlib_components)
    set(netlib_tool_component Unspecified)
  endif()
endif()
set(netlib_package_components library host dev ${netlib_tool_component})
foreach(c IN LISTS netlib_components)
  if(NOT c IN_LIST netlib_package_components)
    message(WARNING "Debian packages: install component '${c}' is in no package")
  endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pelk-network-utils-core)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PACKAGE_CONTACT "${NETLIB_DEB_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_COMPONENTS_ALL ${netlib_package_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${NETLIB_DEB_RELEASE})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SOURCE pelk-network-utils-core)
if(NETLIB_DEB_ARCHITECTURE)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${NETLIB_DEB_ARCHITECTURE})
endif()
# A shlibs file for the two libraries (what dpkg-shlibdeps of a package built
# against them reads) and ldconfig in their maintainer scripts.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME ${netlib_deb_library})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "network management library for embedded Linux devices
Queries and changes network interfaces through socket ioctls, receives kernel
link and address notifications over routing netlink, and configures IPv4
networking (addresses, routes, resolver file, DHCP client, static fallback).
The host interface (logging, program execution, validation, Variant) is left
to the program that loads the library: libpelk-host${PROJECT_VERSION_MAJOR} or its own.")
# Loadable only with a host interface: ours, or the middleware's own.
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SUGGESTS "${netlib_deb_host}")

set(CPACK_DEBIAN_HOST_PACKAGE_NAME ${netlib_deb_host})
set(CPACK_DEBIAN_HOST_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_HOST_DESCRIPTION "standalone host for libpelk-network-utils-core
Logging (stderr or syslog), /proc writer, process runner and daemon start,
address validators, File and the Variant value: the host interface the
network library calls, for devices without their own middleware.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libpelk-network-utils-core-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_DESCRIPTION "development files for libpelk-network-utils-core
The public header, the host interface headers (pelk/log.h, pelk/utils.h,
pelk/variant.h, pelk/host.h), the CMake package pelk_network_utils_core
(pelk::network_utils_core, pelk::host) and the pkg-config files
pelk_network_utils_core and pelk_host.")

if(netlib_tool_component)
  string(TOUPPER ${netlib_tool_component} netlib_tool_upper)
  set(CPACK_DEBIAN_${netlib_tool_upper}_PACKAGE_NAME netlibctl)
  set(CPACK_DEBIAN_${netlib_tool_upper}_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_${netlib_tool_upper}_DESCRIPTION "command-line host of libpelk-network-utils-core
Shows interfaces, follows link and address events, and applies addresses,
routes, resolver settings, DHCP and static configurations through the
library, on its standalone host.")
endif()

# Read by cpack before packaging: the binaries of each package, whose needs
# become its Depends, and the dependencies between our own packages.
set(netlib_deb_depends_file ${CMAKE_BINARY_DIR}/CPackDebDepends.cmake)
set(netlib_readelf "${CMAKE_READELF}")
if(NOT netlib_readelf)
  # Any readelf reads any ELF file's dynamic section and version needs.
  find_program(NETLIB_READELF readelf)
  set(netlib_readelf "${NETLIB_READELF}")
endif()
string(REGEX MATCH "^[0-9]+" netlib_cxx_major "${CMAKE_CXX_COMPILER_VERSION}")
set(netlib_deb_content "# Generated by cmake/packaging.cmake\n")
string(APPEND netlib_deb_content
  "set(NETLIB_DEB_READELF \"${netlib_readelf}\")\n"
  "set(NETLIB_DEB_CXX_MAJOR \"${netlib_cxx_major}\")\n"
  "set(NETLIB_DEB_OWN \"libpelk_network_utils_core.so.${PROJECT_VERSION_MAJOR}=${netlib_deb_library}\" "
  "\"libpelk_host.so.${PROJECT_VERSION_MAJOR}=${netlib_deb_host}\")\n"
  "set(NETLIB_DEB_VERSION \"${NETLIB_DEB_VERSION}\")\n"
  "set(NETLIB_DEB_BINARIES_LIBRARY \"$<TARGET_FILE:pelk_network_utils_core>\")\n"
  "set(NETLIB_DEB_BINARIES_HOST \"$<TARGET_FILE:pelk_host>\")\n"
  "set(NETLIB_DEB_PACKAGES_DEV \"${netlib_deb_library}\" \"${netlib_deb_host}\")\n")
if(netlib_tool_component)
  string(APPEND netlib_deb_content "set(NETLIB_DEB_BINARIES_${netlib_tool_upper} \"$<TARGET_FILE:netlibctl>\")\n")
endif()
string(APPEND netlib_deb_content
  "set(NETLIB_DEB_COMPONENTS ${netlib_package_components})\n"
  "include(\"${CMAKE_CURRENT_LIST_DIR}/deb-depends.cmake\")\n")
file(GENERATE OUTPUT ${netlib_deb_depends_file} CONTENT "${netlib_deb_content}")
set(CPACK_PROJECT_CONFIG_FILE ${netlib_deb_depends_file})

include(CPack)
