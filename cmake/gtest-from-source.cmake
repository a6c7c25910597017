# GoogleTest for the test suites. A native build uses the installed package;
# a cross build (or a machine without the package) compiles the sources that
# Debian's googletest package puts in /usr/src/googletest, since no binary of
# it exists for the target. Either way the suites link GTest::gtest,
# GTest::gtest_main and GTest::gmock.
set(NETLIB_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources used when no binary package fits")

if(NOT CMAKE_CROSSCOMPILING)
  find_package(GTest QUIET)
endif()

if(NOT TARGET GTest::gtest OR NOT TARGET GTest::gtest_main)
  if(NOT EXISTS ${NETLIB_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest not found: install libgtest-dev, or googletest for its sources "
                        "in ${NETLIB_GTEST_SOURCE_DIR} (set NETLIB_GTEST_SOURCE_DIR to use others)")
  endif()
  message(STATUS "GoogleTest: building from ${NETLIB_GTEST_SOURCE_DIR}")

  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)

  set(netlib_saved_shared ${BUILD_SHARED_LIBS})
  set(BUILD_SHARED_LIBS OFF)
  add_subdirectory(${NETLIB_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL)
  set(BUILD_SHARED_LIBS ${netlib_saved_shared})

  foreach(lib gtest gtest_main gmock gmock_main)
    if(TARGET ${lib} AND NOT TARGET GTest::${lib})
      add_library(GTest::${lib} ALIAS ${lib})
    endif()
  endforeach()
endif()
