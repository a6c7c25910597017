#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors, and runs every
# test suite: unit, host, kernel (private network namespaces), system
# (throw-away device roots), command line and install. Kernel and system
# tests need root; without it they report themselves skipped.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps test
cmake --preset dev -DNETLIB_BUILD_TESTS=ON >/dev/null
cmake --build --preset dev -j2
ctest --preset dev
