#!/usr/bin/env bash
# Applications nobody here wrote, on a simulated token in the first reader:
#   clients_test.sh MODULE CARDSIM PKCS11_TOOL SANITIZED(0/1)
# pkcs11-tool --test-fork (a child initialises the module afresh); NSS
# certutil stores a CA certificate on the token (module added with modutil)
# and finds it again as TOKEN:NAME; GnuTLS p11tool writes a certificate with
# a label (no key of its id on the token) and exports it by object=NAME.
# Takes the machine-wide lock of the pcscd tests and leaves the reader empty.
set -u
module=$1 cardsim=$2 tool=$3 sanitized=$4
pin=58204716  # default user PIN of the simulator's format template

source "$(dirname "$0")/../support/token_script.sh"

fail=0
out=
run() {
  local want=$1
  shift
  out=$("${preload[@]}" "$@" 2>&1)
  local rc=$?
  printf '$ %s\n%s\n(exit %s)\n' "$*" "$out" "$rc"
  [ "$rc" = "$want" ] || { echo "FAIL: exit $rc, expected $want"; fail=1; }
}
check() { grep -qE "$1" <<<"$out" || { echo "FAIL: missing: $1"; fail=1; }; }

start_card --oem Tavrel01
run 0 "$tool" --module "$module" --login --login-type so --so-pin pevot --init-pin --new-pin "$pin"
label=$("${preload[@]}" "$tool" --module "$module" --list-token-slots 2>/dev/null |
        sed -n 's/^ *token label *: *//p' | head -1)
[ -n "$label" ] || { echo "FAIL: no token label"; exit 1; }

# A child process that initialises the module after fork.
run 0 timeout 60 "$tool" --module "$module" --test-fork

# NSS: the CA certificate stored on the token is found again by TOKEN:NAME.
# (FRIENDLY tells NSS that the token's certificates are public, so that
# certutil -L looks them up without asking for the PIN on a terminal.)
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/ca.key" -out "$work/ca.pem" \
  -subj "/CN=Tessvik client test CA" -days 30 2>/dev/null || { echo "FAIL: openssl"; exit 1; }
mkdir "$work/nss"
echo "$pin" >"$work/pw"
run 0 certutil -N -d "sql:$work/nss" --empty-password
run 0 modutil -dbdir "sql:$work/nss" -add tessvik -libfile "$module" -mechanisms FRIENDLY -force
run 0 certutil -A -d "sql:$work/nss" -n "Client CA" -t "CT,C,C" -i "$work/ca.pem" -h "$label" -f "$work/pw"
run 0 certutil -L -d "sql:$work/nss" -n "$label:Client CA"
check 'Tessvik client test CA'
run 0 "$tool" --module "$module" --list-objects --type cert
check 'label: +Client CA'

# GnuTLS: written with a label, exported by object=label.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/g.key" -out "$work/g.pem" \
  -subj "/CN=Tessvik client test GnuTLS" -days 30 2>/dev/null || { echo "FAIL: openssl"; exit 1; }
run 0 env GNUTLS_PIN="$pin" p11tool --provider "$module" --login --write --label gnutls-cert \
  --load-certificate "$work/g.pem" "pkcs11:token=$label"
run 0 p11tool --provider "$module" --export "pkcs11:token=$label;object=gnutls-cert"
printf '%s\n' "$out" >"$work/exported.pem"
openssl x509 -in "$work/exported.pem" -noout -subject 2>&1 | grep -q 'Tessvik client test GnuTLS' ||
  { echo "FAIL: exported certificate is not the one written"; fail=1; }

[ "$fail" = 0 ] && echo "PASS" || echo "FAILED"
exit "$fail"
