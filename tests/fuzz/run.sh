#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (-fsanitize=fuzzer,address) and runs
# each over its seed corpus for a fixed time.
#   tests/fuzz/run.sh [SECONDS] [TARGET...]      default: 20 seconds, every target
# Targets are the *_fuzz.cpp files here; each has its corpus in corpus/NAME/.
# New inputs found go to a scratch directory, not into the repository.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
seconds=${1:-20}
shift || true
out=${FUZZ_BUILD_DIR:-$root/build-fuzz}
mkdir -p "$out"

cxx=${CLANGXX:-clang++}
# Not finding the compiler is a failure, not a pass: a run that fuzzed
# nothing must not look like one that found nothing (scripts/deps.sh installs
# clang).
command -v "$cxx" >/dev/null || { echo "fuzz: $cxx not found (install clang: scripts/deps.sh)" >&2; exit 2; }

p11=$root/middleware/PKCS11/pkcs11
dev=$root/middleware/PKCS11/device
includes=()
for d in "$p11"/*/ "$dev"/*/ "$root/platform/"; do includes+=(-I"${d%/}"); done
flags=(-std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined "${includes[@]}")

# Sources each target needs besides its own file.
declare -A sources=(
  [attribute_stream]="$p11/objects/pkcs11_attribute.cpp $p11/api/abi_boundary.cpp $p11/objects/pkcs11_object.cpp $p11/objects/pkcs11_template_verifier.cpp"
  [sm2_cipher_der]="$p11/crypto/sm2_codec.cpp $p11/crypto/sm3.cpp"
  [data_object_file]="$p11/storage/pkcs11_data_objects.cpp $p11/objects/pkcs11_attribute.cpp $p11/api/abi_boundary.cpp $p11/objects/pkcs11_object.cpp $p11/objects/pkcs11_template_verifier.cpp"
  [card_replies]="$(echo "$dev"/*/*.cpp "$root"/platform/*.cpp)"
  [cert_parser]="$p11/x509/cert_parser.cpp $p11/x509/cert_reader.cpp $p11/x509/key_parser.cpp $p11/x509/oid_table.cpp $p11/objects/pkcs11_attribute.cpp $p11/api/abi_boundary.cpp $p11/objects/pkcs11_object.cpp $p11/objects/pkcs11_template_verifier.cpp $dev/util/byte_order.cpp"
)
# Libraries each target links besides the sanitizer runtime.
declare -A libs=(
  [cert_parser]="-lmbedcrypto"
  [card_replies]="$(pkg-config --cflags --libs libpcsclite) -lmbedcrypto -lpthread"
)

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in "$here"/*_fuzz.cpp; do targets+=("$(basename "$f" _fuzz.cpp)"); done
fi

# Builds and runs target $1; its output goes to $out/$1.log.
fuzz_one() {
  local t=$1 scratch status=0
  # shellcheck disable=SC2086
  "$cxx" "${flags[@]}" "$here/${t}_fuzz.cpp" ${sources[$t]:-} ${libs[$t]:-} -o "$out/${t}_fuzz" || return 1
  scratch=$(mktemp -d)
  echo "fuzz: $t for ${seconds}s"
  "$out/${t}_fuzz" -max_total_time="$seconds" -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="$out/${t}_" "$scratch" "$here/corpus/$t" || status=$?
  rm -rf "$scratch"
  return $status
}

# The targets side by side (each is one process on one core), their logs
# printed in order afterwards.
declare -A jobs=()
for t in "${targets[@]}"; do
  fuzz_one "$t" >"$out/$t.log" 2>&1 &
  jobs[$t]=$!
done
failed=()
for t in "${targets[@]}"; do
  wait "${jobs[$t]}" || failed+=("$t")
  cat "$out/$t.log"
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
