#!/usr/bin/env bash
# The main job: build the module and drive it with a real PKCS#11 client,
# pkcs11-tool, on a simulated token behind pcscd: a freshly formatted token,
# the user PIN set and a login, an RSA-2048 key pair generated on the token, a
# file signed with SHA256-RSA-PKCS and the signature verified by openssl from
# the exported public key, and a text encrypted by openssl and decrypted on
# the token. The simulator is stopped on exit.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

bash scripts/deps.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSVIK_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
module="$here/$build/libTessvik.so"

step() { printf '\n== %s\n' "$*"; }
p11() {
  printf '$ pkcs11-tool %s\n' "$*"
  pkcs11-tool --module "$module" "$@"
}

step "pkcs11-tool --show-info"
# pkcs11-tool exits 1 after --show-info when no slot holds a token.
p11 --show-info || [ $? -eq 1 ]
step "No token yet: four empty placeholder slots"
p11 --list-slots

step "Starting pcscd with the project's readers and a freshly formatted simulated token"
sudo_if_needed() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }
sudo_if_needed bash scripts/pcscd.sh start
work=$(mktemp -d)
sim=
stop_sim() {
  if [ -n "$sim" ]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap stop_sim EXIT
# The module hands its identifier "Tavrel01" to the device API's OEM filter:
# the simulated token carries it.
"$here/$build/cardsim" --oem Tavrel01 --image "$work/token.img" &
sim=$!
for _ in $(seq 50); do
  pkcs11-tool --module "$module" --list-token-slots >/dev/null 2>&1 && break
  sleep 0.2
done

step "List the slots and the token"
p11 --list-slots
p11 --list-token-slots

step "A fresh token has no user PIN: the SO (PIN \"pevot\") sets one"
p11 --login --login-type so --so-pin pevot --init-pin --new-pin 12345678

step "Log in as the user and list the objects"
p11 --login --pin 12345678 --list-objects

step "List the mechanisms"
p11 --login --pin 12345678 --list-mechanisms

step "Generate an RSA-2048 key pair on the token"
p11 --login --pin 12345678 --keypairgen --key-type rsa:2048 --id 01 --label demo-key

step "Sign a file with SHA256-RSA-PKCS on the token"
head -c 4096 /dev/urandom >"$work/document"
p11 --login --pin 12345678 --sign -m SHA256-RSA-PKCS --id 01 -i "$work/document" -o "$work/document.sig"

step "Export the public key and verify the signature with openssl"
p11 --read-object --type pubkey --id 01 -o "$work/demo-key.der"
show() { printf '$ %s\n' "$*"; "$@"; }
show openssl pkey -pubin -inform DER -in "$work/demo-key.der" -out "$work/demo-key.pem"
show openssl dgst -sha256 -verify "$work/demo-key.pem" -signature "$work/document.sig" "$work/document"

step "Encrypt with openssl, decrypt on the token (RSA-PKCS)"
printf 'a secret for the token' >"$work/secret"
show openssl pkeyutl -encrypt -pubin -inkey "$work/demo-key.pem" -pkeyopt rsa_padding_mode:pkcs1 \
  -in "$work/secret" -out "$work/secret.enc"
p11 --login --pin 12345678 --decrypt -m RSA-PKCS --id 01 -i "$work/secret.enc" -o "$work/secret.dec"
show cmp "$work/secret" "$work/secret.dec"
printf 'decrypted: %s\n' "$(cat "$work/secret.dec")"

step "Done: the simulated token is removed"
