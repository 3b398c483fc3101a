#!/usr/bin/env bash
# Card ciphers and digests through pkcs11-tool on a simulated token in the
# first reader, checked with openssl:
#   pkcs11_tool_sym_test.sh PKCS11_TOOL MODULE CARDSIM SOURCE_DIR SANITIZED(0/1)
# AES-256 and triple-DES key generation on the card's random generator, and
# the card digests (-h) against openssl dgst.
# Takes the machine-wide lock of the pcscd tests and leaves the reader empty.
set -u
tool=$1 module=$2 cardsim=$3 src=$4 sanitized=$5
pin=58204716  # user PIN set below

source "$(dirname "$0")/../support/token_script.sh"

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

start_card --oem Tavrel01

run 0 --login --login-type so --so-pin pevot --init-pin --new-pin "$pin"
run 0 --login --pin "$pin" --keygen --key-type AES:32 --id 01 --label aeskey
check 'Secret Key Object; AES length 32'
check 'local'
run 0 --login --pin "$pin" --keygen --key-type DES3:24 --id 02 --label des3key
check 'Secret Key Object; DES3 length 24'

# Empty, short and multi-chunk data (the card takes 1792 bytes per command).
: >"$work/empty"
printf 'abc' >"$work/abc"
head -c 5000 /dev/urandom >"$work/data"
for pair in SHA256:sha256 SHA-1:sha1 SHA384:sha384 SHA512:sha512 MD5:md5; do
  mech=${pair%%:*} alg=${pair##*:}
  for input in empty abc data; do
    run 0 -h -m "$mech" -i "$work/$input" -o "$work/hash"
    openssl dgst "-$alg" -binary "$work/$input" >"$work/expected"
    cmp -s "$work/hash" "$work/expected" || { echo "FAIL: $mech of $input differs from openssl"; fail=1; }
  done
done

[ "$fail" = 0 ] && echo "all checks passed"
exit "$fail"
