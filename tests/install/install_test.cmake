# cmake -P script run by the install test; see CMakeLists.txt here.
cmake_minimum_required(VERSION 3.19)

foreach(var BUILD_DIR EXAMPLES_DIR WORK_DIR GENERATOR CXX LIBDIR BINDIR)
  if(NOT DEFINED ${var} OR "${${var}}" STREQUAL "")
    message(FATAL_ERROR "install test: ${var} not given")
  endif()
endforeach()

set(prefix ${WORK_DIR}/prefix)
set(libdir ${prefix}/${LIBDIR})
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})

# Runs a command; any failure ends the test with the command's output.
function(step what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "install test: ${what} failed (${result})\n${out}\n${err}")
  endif()
  message(STATUS "${what}: ok\n${out}")
  set(step_output "${out}" PARENT_SCOPE)
endfunction()

step("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

foreach(file
    include/pelk_network_utils_core.h include/pelk/log.h include/pelk/utils.h include/pelk/variant.h
    ${LIBDIR}/pkgconfig/pelk_network_utils_core.pc
    ${LIBDIR}/cmake/pelk_network_utils_core/pelk_network_utils_core-config.cmake)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "install test: ${file} was not installed")
  endif()
endforeach()

# The installed tool finds its libraries by itself (no LD_LIBRARY_PATH).
step("installed netlibctl" ${prefix}/${BINDIR}/netlibctl --help)

# 1. The CMake package.
step("configure examples" ${CMAKE_COMMAND} -S ${EXAMPLES_DIR} -B ${WORK_DIR}/examples -G ${GENERATOR}
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}"
  -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
step("build examples" ${CMAKE_COMMAND} --build ${WORK_DIR}/examples)
step("run minimal_host (CMake package)"
  ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${WORK_DIR}/examples/minimal_host)

# 2. pkg-config.
step("pkg-config" ${CMAKE_COMMAND} -E env PKG_CONFIG_PATH=${libdir}/pkgconfig
  pkg-config --cflags --libs pelk_network_utils_core)
string(STRIP "${step_output}" pc_flags)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
separate_arguments(extra_flags UNIX_COMMAND "${CXX_FLAGS}")
step("compile minimal_host (pkg-config)" ${CXX} -std=c++17 ${extra_flags} ${EXAMPLES_DIR}/minimal_host.cpp
  ${pc_flags} -o ${WORK_DIR}/minimal_host_pc)
step("run minimal_host (pkg-config)" ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${WORK_DIR}/minimal_host_pc)
