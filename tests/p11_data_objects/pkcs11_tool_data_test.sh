#!/usr/bin/env bash
# pkcs11-tool writes public and private data objects to a simulated token and
# reads them back byte for byte, from other processes and after the card was
# taken out and put back (its state image); a private object stays out of
# sight until the user logs in; deleting one leaves the other.
#   pkcs11_tool_data_test.sh PKCS11_TOOL MODULE CARDSIM SOURCE_DIR SANITIZED(0/1)
# Needs pcscd with the project's readers (started here when none runs). Takes
# the machine-wide lock of the pcscd tests while the card is in the reader,
# and leaves the reader empty.
set -u
tool=$1 module=$2 cardsim=$3 src=$4 sanitized=$5

source "$(dirname "$0")/../support/token_script.sh"

# Test material: binary values with NUL and high bytes, one longer than a
# command's data field, and an empty one.
head -c 700 /dev/urandom >"$work/public.bin"
head -c 3000 /dev/urandom >"$work/private.bin"
printf 'x\0y\377' >"$work/small.bin"
: >"$work/empty.bin"


fail=0
out=
run() {
  local want=$1
  shift
  out=$("${preload[@]}" "$tool" --module "$module" "$@" 2>&1)
  local rc=$?
  printf '$ pkcs11-tool %s\n%s\n(exit %s)\n' "$*" "$out" "$rc"
  [ "$rc" = "$want" ] || { echo "FAIL: exit $rc, expected $want"; fail=1; }
}
check() { grep -qE "$1" <<<"$out" || { echo "FAIL: missing: $1"; fail=1; }; }
check_not() { if grep -qE "$1" <<<"$out"; then echo "FAIL: unexpected: $1"; fail=1; fi; }
same() { cmp -s "$1" "$2" || { echo "FAIL: $3: $2 differs from $1"; fail=1; }; }

start_card --oem Tavrel01
run 0 --login --login-type so --so-pin pevot --init-pin --new-pin 11112222

run 0 --login --pin 11112222 --write-object "$work/public.bin" --type data --label pubdata \
  --application-label myapp
run 0 --login --pin 11112222 --write-object "$work/private.bin" --type data --label privdata --private
run 0 --login --pin 11112222 --write-object "$work/small.bin" --type data --label small
run 0 --login --pin 11112222 --write-object "$work/empty.bin" --type data --label empty

# Without login: the public objects only.
run 0 --list-objects --type data
check "label: +'pubdata'"
check "application: +'myapp'"
check "label: +'small'"
check_not "privdata"
run 0 --read-object --type data --label pubdata --output-file "$work/back1.bin"
same "$work/public.bin" "$work/back1.bin" "public value"
run 0 --read-object --type data --label small --output-file "$work/back2.bin"
same "$work/small.bin" "$work/back2.bin" "small value"
run 1 --read-object --type data --label privdata --output-file "$work/back3.bin"

# Logged in: the private one too.
run 0 --login --pin 11112222 --list-objects --type data
check "label: +'privdata'"
check "flags: .*private"
run 0 --login --pin 11112222 --read-object --type data --label privdata --output-file "$work/back4.bin"
same "$work/private.bin" "$work/back4.bin" "private value"

# Out and in again: the card keeps its state in the image.
stop_card
start_card --oem Tavrel01
rm -f "$work"/back*.bin
run 0 --read-object --type data --label pubdata --output-file "$work/back1.bin"
same "$work/public.bin" "$work/back1.bin" "public value after re-insertion"
run 0 --login --pin 11112222 --read-object --type data --label privdata --output-file "$work/back4.bin"
same "$work/private.bin" "$work/back4.bin" "private value after re-insertion"
run 0 --read-object --type data --label empty --output-file "$work/back5.bin"
same "$work/empty.bin" "$work/back5.bin" "empty value after re-insertion"

run 0 --login --pin 11112222 --delete-object --type data --label pubdata
run 0 --login --pin 11112222 --list-objects --type data
check_not "label: +'pubdata'"
check "label: +'privdata'"
check "label: +'small'"

exit $fail
