# Installation: the library, its public header, the host interface headers,
# the standalone host, a CMake package and two pkg-config files. Components,
# as the Debian packages split them (debian/*.install): "library" (the shared
# object), "host" (libpelk_host.so), "dev" (headers, the unversioned .so
# links, the CMake package and the pkg-config files) and "netlibctl" (the
# tool, its manual page and, below, the DHCP hook).
include(CMakePackageConfigHelpers)

# Imported by users as pelk::network_utils_core and pelk::host, the names
# the build tree uses.
set_target_properties(pelk_network_utils_core PROPERTIES EXPORT_NAME network_utils_core)
set_target_properties(pelk_host PROPERTIES EXPORT_NAME host)

install(TARGETS pelk_network_utils_core
  EXPORT pelk_network_utils_core-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS pelk_host
  EXPORT pelk_network_utils_core-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT host NAMELINK_COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/pelk_network_utils_core.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(FILES host/include/pelk/log.h host/include/pelk/utils.h host/include/pelk/variant.h
  host/include/pelk/host.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/pelk COMPONENT dev)

set(NETLIB_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/pelk_network_utils_core)
install(EXPORT pelk_network_utils_core-targets NAMESPACE pelk:: DESTINATION ${NETLIB_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/pelk_network_utils_core-config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/pelk_network_utils_core-config.cmake
  INSTALL_DESTINATION ${NETLIB_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/pelk_network_utils_core-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/pelk_network_utils_core-config.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/pelk_network_utils_core-config-version.cmake
  DESTINATION ${NETLIB_CMAKE_DIR} COMPONENT dev)

# The prefix is found from the .pc file's own place, so that the tree may be
# installed with --prefix or DESTDIR and moved.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(NETLIB_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH NETLIB_PC_UP "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" NETLIB_PC_UP "${NETLIB_PC_UP}")
  set(NETLIB_PC_PREFIX "\${pcfiledir}/${NETLIB_PC_UP}")
endif()
# One file per library: a middleware that brings its own host links the
# library alone; a program on our host asks for both
# (pkg-config --libs pelk_network_utils_core pelk_host).
foreach(pc pelk_network_utils_core pelk_host)
  configure_file(cmake/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endforeach()

# The DHCP hook the library starts udhcpc with (examples/udhcpc_cb.sh), with
# netlibctl, which it calls, when the build puts it under the install prefix
# (the Debian packages: /usr/libexec/netlibctl/udhcpc_cb.sh). A device that
# keeps it elsewhere, such as the default /bin/udhcpc_cb.sh, places it itself.
string(FIND "${NETLIB_DHCP_HOOK}" "${CMAKE_INSTALL_PREFIX}/" netlib_hook_at)
if(TARGET netlibctl AND netlib_hook_at EQUAL 0)
  file(RELATIVE_PATH netlib_hook ${CMAKE_INSTALL_PREFIX} ${NETLIB_DHCP_HOOK})
  get_filename_component(netlib_hook_dir ${netlib_hook} DIRECTORY)
  get_filename_component(netlib_hook_name ${netlib_hook} NAME)
  install(PROGRAMS examples/udhcpc_cb.sh DESTINATION ${netlib_hook_dir} RENAME ${netlib_hook_name}
    COMPONENT netlibctl)
endif()
