#!/usr/bin/env bash
# Installs what is missing, checks the layout against .clang-format, builds
# with AddressSanitizer and UBSan (warnings are errors), builds the module and
# the card simulator once more with clang, starts pcscd with the project's
# reader configuration and runs every test through CTest.
#
# The end-to-end tests start the pcscd lanes 1.. they take (scripts/pcscd.sh,
# tests/support/cardsim_harness.h); the lanes this run started are stopped
# when it ends, passed, failed or interrupted. Lane 0, the machine's pcscd
# with the project's readers that applications and scripts/demo.sh use, is
# left running, also when this run started it.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

lanes_before=
fuzz_pid=
lanes_known=0
finish() {
  local status=$? lane
  trap - EXIT INT TERM
  if [ -n "$fuzz_pid" ] && kill -0 "$fuzz_pid" 2>/dev/null; then
    kill -- "-$fuzz_pid" 2>/dev/null || true
    wait "$fuzz_pid" 2>/dev/null || true
  fi
  if ((lanes_known)); then
    for lane in $(bash scripts/pcscd.sh lanes 2>/dev/null); do
      grep -qx "$lane" <<<"$lanes_before" && continue
      # The lane's test lock first (the name cardsim_harness.cpp gives it): a
      # test of another build tree that holds the lane ends its turn before.
      flock -w 300 "/tmp/tessvik-pcscd-tests.lane-$lane.lock" bash scripts/pcscd.sh stop --lane "$lane" ||
        echo "test.sh: pcscd lane $lane could not be stopped" >&2
    done
  fi
  exit "$status"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

bash scripts/deps.sh

# A layout difference fails the run, but only at the end: the builds and the
# tests still run and report.
format_failed=0
bash scripts/format.sh --check || format_failed=1

launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi

build=${BUILD_DIR:-build-asan}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSVIK_SANITIZE=ON -DTESSVIK_TESTS=ON \
  -DTESSVIK_WERROR=ON "${launcher[@]}"
cmake --build "$build" -j"$(nproc)"

# clang finds other warnings than g++: the module and the simulator build
# warning-free with both.
clang_build=${CLANG_BUILD_DIR:-build-clang}
CC=clang CXX=clang++ cmake -S . -B "$clang_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSVIK_TESTS=OFF \
  -DTESSVIK_TRAY=OFF -DTESSVIK_WERROR=ON "${launcher[@]}" >/dev/null
cmake --build "$clang_build" -j"$(nproc)" --target Tessvik cardsim

if [ -f scripts/pcscd.sh ]; then
  bash scripts/pcscd.sh start
  lanes_before=$(bash scripts/pcscd.sh lanes)
  lanes_known=1
fi

# The libFuzzer targets, briefly (longer runs by hand: tests/fuzz/run.sh
# SECONDS), alongside the tests: most of the suite's time goes to tests that
# take turns with the simulated card, so the cores have room for it. clang
# comes with scripts/deps.sh; without it the run fails.
# A session of its own, so that an early end stops its compilers and targets
# together.
FUZZ_BUILD_DIR="$build/fuzz" setsid bash tests/fuzz/run.sh 20 >"$build/fuzz.log" 2>&1 &
fuzz_pid=$!

tests_failed=0
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 600 || tests_failed=1

if ! wait "$fuzz_pid"; then
  tail -40 "$build/fuzz.log"
  echo "fuzzing failed (log: $build/fuzz.log)"
  exit 1
fi
echo "fuzz targets ran clean (log: $build/fuzz.log)"
if ((tests_failed)); then
  echo "tests failed" >&2
  exit 1
fi

if ((format_failed)); then
  echo "the files listed above differ from .clang-format: scripts/format.sh --fix" >&2
  exit 1
fi
