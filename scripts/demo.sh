#!/usr/bin/env bash
# The main job: build the module and drive it with a real PKCS#11 client,
# pkcs11-tool, on a simulated token behind pcscd.
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

step "Done: the simulated token is removed"
