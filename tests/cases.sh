# shellcheck shell=sh
# Sourced by the shell suites. `SUITE` lists the suite's cases (its functions
# named case_*); `SUITE NAME` runs one: exit 0 passed, 77 skipped, else failed.
: "${NETLIBCTL:=netlibctl}"  # the netlibctl under test: ctest sets it, else the one on PATH
export NETLIBCTL
fail() { echo "FAIL: $*" >&2; failed=1; }
expect() { [ "$2" = "$3" ] || fail "$1: got [$3], want [$2]"; }  # expect WHAT WANT GOT
skip() { echo "skipped: $*" >&2; exit 77; }
run_cases() {
    [ $# -gt 0 ] || { sed -n 's/^case_\([a-z0-9_]*\)().*/\1/p' "$0"; exit 0; }
    [ "${needs_root:-yes}" = no ] || [ "$(id -u)" = 0 ] || skip "needs root for private namespaces"
    failed=0
    "case_$1"
    exit $failed
}
