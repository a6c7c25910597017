#!/bin/sh
# The case_* functions are called by name (cases.sh).
# shellcheck disable=SC2317
# What a middleware developer gets: a public header that compiles alone,
# whose functions are exactly the exported symbols, and an installed tree
# that builds a host through the CMake package and through pkg-config. Needs NETLIB_BUILD_DIR, NETLIB_LIBRARY, CXX.
needs_root=no
. "$(dirname "$0")/cases.sh"
tree=$(cd "$(dirname "$0")/.." && pwd)

case_exports_match_the_header() {
    "$CXX" -std=c++17 -Wall -Wextra -pedantic -Werror -fsyntax-only -x c++ "$tree/include/pelk_network_utils_core.h" \
        -I"$tree/host/include" || fail "the public header does not compile alone without warnings"
    grep -E '^NETLIB_API' "$tree/include/pelk_network_utils_core.h" |
        sed -E 's/\(.*//; s/.*[ *&]([A-Za-z_][A-Za-z0-9_]*)$/\1/' | sort -u >/tmp/netlib-declared.$$
    ${NM:-nm} -D --defined-only --demangle "$NETLIB_LIBRARY" | cut -d' ' -f3- | sed -E 's/\[abi:[a-z0-9]+\]//g;
        s/@.*//; s/\(.*//; s/^pelk::network:://' | grep -vE '^(_init|_fini|__bss_start|_edata|_end|PELK_.*)$' | sort -u |
        diff /tmp/netlib-declared.$$ - || fail "exported symbols differ from the header (< declared, > exported)"
    rm -f /tmp/netlib-declared.$$
}

case_installed_tree_builds_a_host() {
    work=$(mktemp -d)
    cmake --install "$NETLIB_BUILD_DIR" --prefix "$work/prefix" >/dev/null || fail "install"
    lib=$(ls -d "$work"/prefix/lib*)
    "$work/prefix/bin/netlibctl" --help >/dev/null || fail "installed netlibctl does not find its libraries"
    # Any step failing fails the case (here and below).
    # shellcheck disable=SC2015
    cmake -S "$tree/examples" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$work/prefix" -DCMAKE_CXX_COMPILER="$CXX" \
        -DCMAKE_CXX_FLAGS="$NETLIB_CXXFLAGS" >/dev/null && cmake --build "$work/cmake" >/dev/null &&
        LD_LIBRARY_PATH=$lib "$work/cmake/minimal_host" || fail "host built through the CMake package"
    # shellcheck disable=SC2046,SC2086,SC2015
    "$CXX" -std=c++17 $NETLIB_CXXFLAGS "$tree/examples/minimal_host.cpp" -o "$work/pc_host" \
        $(PKG_CONFIG_PATH=$lib/pkgconfig pkg-config --cflags --libs pelk_network_utils_core pelk_host) &&
        LD_LIBRARY_PATH=$lib "$work/pc_host" || fail "host built through pkg-config"
    rm -rf "$work"
}

run_cases "$@"
