#!/usr/bin/env bash
# pkcs11-tool writes, lists, reads and deletes a certificate and a private key
# on a simulated token; they survive the end of each pkcs11-tool process and
# a removal and re-insertion of the card (its state image).
#   pkcs11_tool_objects_test.sh PKCS11_TOOL MODULE CARDSIM SOURCE_DIR SANITIZED(0/1)
# Needs pcscd with the project's readers (started here when none runs). Takes
# the machine-wide lock of the pcscd tests while the card is in the reader,
# and leaves the reader empty.
set -u
tool=$1 module=$2 cardsim=$3 src=$4 sanitized=$5

source "$(dirname "$0")/../support/token_script.sh"

# Test material.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -subj "/CN=p11 container test" \
  -days 30 -outform DER -out "$work/cert.der" >/dev/null 2>&1 || { echo "openssl failed"; exit 1; }
openssl pkcs8 -topk8 -nocrypt -in "$work/key.pem" -outform DER -out "$work/key.der" || exit 1

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

start_card --oem Tavrel01
run 0 --login --login-type so --so-pin pevot --init-pin --new-pin 11112222

run 0 --login --pin 11112222 --write-object "$work/cert.der" --type cert --id 01 --label mycert
run 0 --login --pin 11112222 --write-object "$work/key.der" --type privkey --id 01 --label mykey
run 0 --login --pin 11112222 --list-objects
check '^Certificate Object'
check '^Private Key Object; RSA'
check 'ID: +01$'
check 'subject: +DN: CN=p11 container test'

run 0 --read-object --type cert --id 01 --output-file "$work/back.der"
cmp -s "$work/cert.der" "$work/back.der" || { echo "FAIL: certificate read back differs"; fail=1; }

# Out and in again: the card keeps its state in the image.
stop_card
start_card --oem Tavrel01
run 0 --login --pin 11112222 --list-objects
check '^Certificate Object'
check '^Private Key Object; RSA'
check 'ID: +01$'
rm -f "$work/back.der"
run 0 --read-object --type cert --id 01 --output-file "$work/back.der"
cmp -s "$work/cert.der" "$work/back.der" || { echo "FAIL: certificate differs after re-insertion"; fail=1; }

run 0 --login --pin 11112222 --delete-object --type cert --id 01
run 0 --login --pin 11112222 --list-objects
check_not '^Certificate Object'
check '^Private Key Object; RSA'
run 0 --login --pin 11112222 --delete-object --type privkey --id 01
run 0 --login --pin 11112222 --list-objects
check_not '^Private Key Object'
check_not '^Public Key Object'

exit $fail
