#!/usr/bin/env bash
# The main job: build the module and drive it with a real PKCS#11 client.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

bash scripts/deps.sh

build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSVIK_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" >/dev/null
module="$here/$build/libTessvik.so"

step() { printf '\n== %s\n' "$*"; }

step "pkcs11-tool --show-info"
# pkcs11-tool exits 1 after --show-info when no slot holds a token.
pkcs11-tool --module "$module" --show-info || [ $? -eq 1 ]
step "pkcs11-tool --list-slots"
pkcs11-tool --module "$module" --list-slots
