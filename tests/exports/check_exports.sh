#!/usr/bin/env bash
# The shared object exports exactly the functions declared with NETLIB_API in
# the public header: every one of them, and nothing else.
set -euo pipefail
header=$1
library=$2
nm_tool=${3:-nm}

expected=$(grep -E '^NETLIB_API' "$header" | sed -E 's/\(.*//; s/.*[ *&]([A-Za-z_][A-Za-z0-9_]*)$/\1/' | sort -u)
# Defined dynamic symbols, demangled, reduced to the bare function name.
actual=$("$nm_tool" -D --defined-only --demangle "$library" | awk '{ $1=""; $2=""; sub(/^  /, ""); print }' |
  grep -vE '^(_init|_fini|__bss_start|_edata|_end)$' | sed -E 's/\[abi:[a-z0-9]+\]//g; s/\(.*//; s/^pelk::network:://' | sort -u)

status=0
missing=$(comm -23 <(echo "$expected") <(echo "$actual"))
extra=$(comm -13 <(echo "$expected") <(echo "$actual"))
if [ -n "$missing" ]; then
  echo "declared in the header but not exported:"; echo "$missing"; status=1
fi
if [ -n "$extra" ]; then
  echo "exported but not declared in the header:"; echo "$extra"; status=1
fi
[ $status -eq 0 ] && echo "exports match the header: $(echo "$expected" | wc -l) functions"
exit $status
