# Run by cpack (through the CPACK_PROJECT_CONFIG_FILE that packaging.cmake
# generates): sets each package's Depends from its binaries, the way
# dpkg-shlibdeps would from Debian's symbols files, but for any architecture:
# every NEEDED library maps to its package, and the newest symbol version
# taken from it (readelf's version needs) to the package version that
# brought that version. A library no package is known for stops cpack.
#
# Inputs: NETLIB_DEB_READELF, NETLIB_DEB_CXX_MAJOR, NETLIB_DEB_OWN
# ("soname=package" for our own libraries), NETLIB_DEB_VERSION,
# NETLIB_DEB_COMPONENTS, NETLIB_DEB_BINARIES_<COMPONENT> and
# NETLIB_DEB_PACKAGES_<COMPONENT> (our packages it needs without linking).

cmake_policy(VERSION 3.16)

# libstdc++6's version nodes and the GCC releases that brought them, as
# Debian's symbols file for libstdc++6 gives them (GCC 12). Newer nodes
# count as the compiler's own release.
set(netlib_libstdcxx_nodes
  GLIBCXX_3.4=4.1.1 GLIBCXX_3.4.1=4.1.1 GLIBCXX_3.4.2=4.1.1 GLIBCXX_3.4.3=4.1.1 GLIBCXX_3.4.4=4.1.1
  GLIBCXX_3.4.5=4.1.1 GLIBCXX_3.4.6=4.1.1 GLIBCXX_3.4.7=4.1.1 GLIBCXX_3.4.8=4.1.1 GLIBCXX_3.4.9=4.2.1
  GLIBCXX_3.4.10=4.3 GLIBCXX_3.4.11=4.4 GLIBCXX_3.4.12=4.4 GLIBCXX_3.4.13=4.4.2 GLIBCXX_3.4.14=4.5
  GLIBCXX_3.4.15=4.6 GLIBCXX_3.4.16=4.6 GLIBCXX_3.4.17=4.7 GLIBCXX_3.4.18=4.8 GLIBCXX_3.4.19=4.8
  GLIBCXX_3.4.20=4.9 GLIBCXX_3.4.21=5.2 GLIBCXX_3.4.22=6 GLIBCXX_3.4.23=10.2 GLIBCXX_3.4.24=7
  GLIBCXX_3.4.25=8 GLIBCXX_3.4.26=9 GLIBCXX_3.4.27=9.1 GLIBCXX_3.4.28=10.2 GLIBCXX_3.4.29=11
  GLIBCXX_3.4.30=12
  CXXABI_1.3=4.1.1 CXXABI_1.3.1=4.1.1 CXXABI_1.3.2=4.3 CXXABI_1.3.3=4.3 CXXABI_1.3.4=4.3 CXXABI_1.3.5=4.3
  CXXABI_1.3.6=4.3 CXXABI_1.3.7=4.3 CXXABI_1.3.8=4.3 CXXABI_1.3.9=5 CXXABI_1.3.10=6 CXXABI_1.3.11=10.2
  CXXABI_1.3.12=9 CXXABI_1.3.13=11 CXXABI_ARM_1.3.3=4.4 CXXABI_TM_1=4.7)

# The package version that provides version node NODE of SONAME, or "" when
# the node says nothing about it.
function(netlib_deb_node_version soname node out)
  set(v "")
  if(soname MATCHES "^(libc|libm|libpthread|libdl|librt|libresolv|libanl|libutil)\\.so\\.|^ld-linux")
    # GLIBC_PRIVATE would tie the package to one exact C library build.
    if(node MATCHES "^GLIBC_([0-9.]+)$")
      set(v ${CMAKE_MATCH_1})
    else()
      message(FATAL_ERROR "Debian packages: unknown C library version ${node} needed from ${soname}")
    endif()
  elseif(soname STREQUAL "libgcc_s.so.1")
    if(node MATCHES "^GCC_([0-9.]+)$")
      set(v ${CMAKE_MATCH_1})
    endif()
  elseif(soname STREQUAL "libstdc++.so.6")
    foreach(entry IN LISTS netlib_libstdcxx_nodes)
      if(entry MATCHES "^(.*)=(.*)$" AND CMAKE_MATCH_1 STREQUAL node)
        set(v ${CMAKE_MATCH_2})
      endif()
    endforeach()
    if(NOT v AND node MATCHES "^(GLIBCXX|CXXABI)")
      set(v ${NETLIB_DEB_CXX_MAJOR})
    endif()
  endif()
  set(${out} "${v}" PARENT_SCOPE)
endfunction()

# The Debian package that ships SONAME.
function(netlib_deb_package_of soname out)
  foreach(entry IN LISTS NETLIB_DEB_OWN)
    if(entry MATCHES "^(.*)=(.*)$" AND CMAKE_MATCH_1 STREQUAL soname)
      set(${out} "${CMAKE_MATCH_2}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
  if(soname MATCHES "^(libc|libm|libpthread|libdl|librt|libresolv|libanl|libutil)\\.so\\.|^ld-linux")
    set(${out} libc6 PARENT_SCOPE)
  elseif(soname STREQUAL "libgcc_s.so.1")
    set(${out} libgcc-s1 PARENT_SCOPE)
  elseif(soname STREQUAL "libstdc++.so.6")
    set(${out} libstdc++6 PARENT_SCOPE)
  else()
    message(FATAL_ERROR "Debian packages: no package known for ${soname} (cmake/deb-depends.cmake)")
  endif()
endfunction()

function(netlib_deb_depends component out)
  # Our own packages come from one build: exactly this version.
  foreach(entry IN LISTS NETLIB_DEB_OWN)
    if(entry MATCHES "=(.*)$")
      set(min_${CMAKE_MATCH_1} "= ${NETLIB_DEB_VERSION}")
    endif()
  endforeach()
  set(packages ${NETLIB_DEB_PACKAGES_${component}})
  foreach(binary IN LISTS NETLIB_DEB_BINARIES_${component})
    execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C ${NETLIB_DEB_READELF} -d -V -W ${binary}
      OUTPUT_VARIABLE dump RESULT_VARIABLE rc ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "Debian packages: ${NETLIB_DEB_READELF} ${binary} failed: ${err}")
    endif()
    string(REPLACE "\n" ";" lines "${dump}")
    set(file "")
    foreach(line IN LISTS lines)
      if(line MATCHES "\\(NEEDED\\).*\\[(.+)\\]")
        set(soname ${CMAKE_MATCH_1})
        netlib_deb_package_of(${soname} p)
        if(NOT p IN_LIST packages)
          list(APPEND packages ${p})
        endif()
      elseif(line MATCHES "File: ([^ ]+)")
        set(file ${CMAKE_MATCH_1})
      elseif(file AND line MATCHES "Name: ([^ ]+)")
        netlib_deb_node_version(${file} ${CMAKE_MATCH_1} v)
        if(v)
          netlib_deb_package_of(${file} p)
          if(NOT DEFINED min_${p} OR v VERSION_GREATER min_${p})
            set(min_${p} ${v})
          endif()
        endif()
      endif()
    endforeach()
  endforeach()
  list(SORT packages)
  set(depends "")
  foreach(p IN LISTS packages)
    if(DEFINED min_${p} AND min_${p} MATCHES "^=")
      list(APPEND depends "${p} (${min_${p}})")
    elseif(DEFINED min_${p})
      list(APPEND depends "${p} (>= ${min_${p}})")
    else()
      list(APPEND depends "${p}")
    endif()
  endforeach()
  list(JOIN depends ", " depends)
  set(${out} "${depends}" PARENT_SCOPE)
endfunction()

if(CPACK_GENERATOR STREQUAL "DEB")
  foreach(component IN LISTS NETLIB_DEB_COMPONENTS)
    string(TOUPPER ${component} c)
    netlib_deb_depends(${c} depends)
    set(CPACK_DEBIAN_${c}_PACKAGE_DEPENDS "${depends}")
  endforeach()
endif()
