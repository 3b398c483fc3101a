#!/usr/bin/env bash
# Keeps the C++ sources in the layout of .clang-format.
#   scripts/format.sh --check   lists the files whose layout differs and exits 1 when any does
#   scripts/format.sh --fix     rewrites those files in place
# Covers every tracked *.cpp and *.h under the source and test folders.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

mode=${1:-}
case "$mode" in
  --check | --fix) ;;
  *)
    echo "usage: $0 --check | --fix" >&2
    exit 2
    ;;
esac

formatter=${CLANG_FORMAT:-clang-format}
if ! command -v "$formatter" >/dev/null 2>&1; then
  echo "format: $formatter not found (scripts/deps.sh installs it)" >&2
  exit 2
fi

mapfile -d '' files < <(git ls-files -z -- \
  'middleware/*.cpp' 'middleware/*.h' 'platform/*.cpp' 'platform/*.h' \
  'tools/*.cpp' 'tools/*.h' 'tray/*.cpp' 'tray/*.h' \
  'tests/*.cpp' 'tests/*.h' 'bench/*.cpp' 'bench/*.h')

if [ "$mode" = --fix ]; then
  if ((${#files[@]})); then
    printf '%s\0' "${files[@]}" | xargs -0 -n 50 -P "$(nproc)" "$formatter" -i --style=file
  fi
  exit 0
fi

differing=0
for f in "${files[@]}"; do
  [ -f "$f" ] || continue  # deleted in the working tree, not yet in the index
  if ! "$formatter" --style=file "$f" | cmp -s - "$f"; then
    echo "$f"
    differing=$((differing + 1))
  fi
done
if ((differing)); then
  echo "format: $differing of ${#files[@]} files differ from $formatter's layout (scripts/format.sh --fix rewrites them)" >&2
  exit 1
fi
echo "format: ${#files[@]} files follow .clang-format"
