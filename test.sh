#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs every
# suite (the dev workflow preset). Kernel, system and failure suites need
# root for their private namespaces; without it they report themselves skipped.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps test
cmake --workflow --preset dev
