#!/usr/bin/env bash
# Installs what is missing, builds, and runs netlibctl (default: status).
# Extra arguments go to netlibctl: ./run.sh show eth0, ./run.sh monitor --count 5
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps run
cmake --preset dev -DNETLIB_BUILD_TESTS=OFF >/dev/null
cmake --build --preset dev -j2 --target netlibctl
exec build/dev/bin/netlibctl "$@"
