#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UBSan, starts
# pcscd with the project's reader configuration and runs every test through CTest.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

bash scripts/deps.sh

build=${BUILD_DIR:-build-asan}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSVIK_SANITIZE=ON -DTESSVIK_TESTS=ON
cmake --build "$build" -j"$(nproc)"

if [ -f scripts/pcscd.sh ]; then
  bash scripts/pcscd.sh start
fi

# The libFuzzer targets, briefly (longer runs by hand: tests/fuzz/run.sh
# SECONDS). clang comes with scripts/deps.sh; without it the run fails.
FUZZ_BUILD_DIR="$build/fuzz" bash tests/fuzz/run.sh 20 >"$build/fuzz.log" 2>&1 ||
  { tail -40 "$build/fuzz.log"; echo "fuzzing failed (log: $build/fuzz.log)"; exit 1; }
echo "fuzz targets ran clean (log: $build/fuzz.log)"

ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 600
