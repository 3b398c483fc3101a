#!/usr/bin/env bash
# pkcs11-tool against the module with no token present:
#   pkcs11_tool_test.sh PKCS11_TOOL MODULE SANITIZED(0/1)
set -u
tool=$1 module=$2 sanitized=$3
src=$(cd "$(dirname "$0")/../.." && pwd)
# The slots are looked at in this test's pcscd lane, whose readers no other
# test uses meanwhile.
source "$src/tests/support/pcscd_lane.sh"
if [ "$sanitized" = 1 ]; then
  # The sanitized module needs the ASan runtime loaded first into the client.
  export LD_PRELOAD=$(gcc -print-file-name=libasan.so)
  export ASAN_OPTIONS=detect_leaks=0
fi
fail=0
check() { grep -qE "$2" <<<"$1" || { echo "missing: $2"; fail=1; }; }

# --show-info exits 1 when no slot holds a token; its text is what counts.
info=$("$tool" --module "$module" --show-info 2>&1)
echo "$info"
check "$info" '^Cryptoki version 2\.20$'
check "$info" '^Manufacturer +Tavrel Technology$'
check "$info" '^Library +Tavrel PKCS11 Module V1 \(ver 2\.0\)$'

slots=$("$tool" --module "$module" --list-slots 2>&1) || { echo "--list-slots failed"; fail=1; }
echo "$slots"
for id in 0 1 2 3; do
  check "$slots" "^Slot $id \\(0x$id\\): Tavrel Token PKCS11 Module V1 $id\$"
done
[ "$(grep -c '(empty)' <<<"$slots")" = 4 ] || { echo "expected four empty slots"; fail=1; }
exit $fail
