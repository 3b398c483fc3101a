#!/usr/bin/env bash
# RSA through pkcs11-tool on a simulated token in the first reader, checked
# with openssl:
#   pkcs11_tool_rsa_test.sh PKCS11_TOOL MODULE CARDSIM SOURCE_DIR SANITIZED(0/1)
# Key-pair generation (rsa:2048), SHA256-RSA-PKCS signatures verified by
# pkcs11-tool and by openssl from the exported public key, RSA-PKCS
# encryption by openssl decrypted on the token, and pkcs11-tool --test.
# Takes the machine-wide lock of the pcscd tests and leaves the reader empty.
set -u
tool=$1 module=$2 cardsim=$3 src=$4 sanitized=$5
pin=58204716  # default user PIN of the simulator's format template

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
sh_ok() { echo "\$ $*"; "$@" || { echo "FAIL: $*"; fail=1; }; }

start_card --oem Tavrel01

# A fresh token has no user PIN: the SO sets it.
run 0 --login --login-type so --so-pin pevot --init-pin --new-pin "$pin"
run 0 --login --pin "$pin" --keypairgen --key-type rsa:2048 --id 0a0b --label rsakey
check 'Public Key Object; RSA 2048 bits'
check 'Private Key Object; RSA'

head -c 5000 /dev/urandom >"$work/data"
head -c 100 /dev/urandom >"$work/secret0"
run 0 --login --pin "$pin" --sign -m SHA256-RSA-PKCS --id 0a0b -i "$work/data" -o "$work/sig"
[ "$(stat -c %s "$work/sig")" = 256 ] || { echo "FAIL: signature length"; fail=1; }
run 0 --login --pin "$pin" --verify -m SHA256-RSA-PKCS --id 0a0b -i "$work/data" --signature-file "$work/sig"
check 'Signature is valid'
run 0 --read-object --type pubkey --id 0a0b -o "$work/pub.der"
sh_ok openssl pkey -pubin -inform DER -in "$work/pub.der" -out "$work/pub.pem"
sh_ok openssl dgst -sha256 -verify "$work/pub.pem" -signature "$work/sig" "$work/data"
# A tampered signature does not verify.
cp "$work/sig" "$work/bad"
printf '\x01' | dd of="$work/bad" bs=1 seek=100 conv=notrunc 2>/dev/null
# (pkcs11-tool reports it and still exits 0.)
run 0 --login --pin "$pin" --verify -m SHA256-RSA-PKCS --id 0a0b -i "$work/data" --signature-file "$work/bad"
check 'Invalid signature'
run 0 --login --pin "$pin" --sign -m RSA-PKCS --id 0a0b -i "$work/secret0" -o "$work/sig2"
sh_ok openssl pkeyutl -verifyrecover -pubin -inkey "$work/pub.pem" -in "$work/sig2" -out "$work/recovered"
cmp -s "$work/secret0" "$work/recovered" || { echo "FAIL: RSA-PKCS signature does not recover the data"; fail=1; }

# openssl encrypts, the token decrypts.
head -c 100 /dev/urandom >"$work/secret"
sh_ok openssl pkeyutl -encrypt -pubin -inkey "$work/pub.pem" -pkeyopt rsa_padding_mode:pkcs1 \
  -in "$work/secret" -out "$work/secret.enc"
run 0 --login --pin "$pin" --decrypt -m RSA-PKCS --id 0a0b -i "$work/secret.enc" -o "$work/secret.dec"
cmp -s "$work/secret" "$work/secret.dec" || { echo "FAIL: decrypted text differs"; fail=1; }

# pkcs11-tool's own self test over the token's mechanisms and the generated key.
run 0 --test --login --pin "$pin"
check 'No errors'

[ "$fail" = 0 ] && echo "PASS" || echo "FAILED"
exit "$fail"
