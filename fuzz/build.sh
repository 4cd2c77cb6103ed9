#!/usr/bin/env bash
# Builds the libFuzzer target: fuzz/build.sh [build-dir]
#   build-dir   default build/fuzz (or $FUZZ_BUILD_DIR); rebuilds incrementally
#   $CXX        clang++ to use (default: clang++-14, else clang++)
#   $CMAKE      cmake to use (default: the first on PATH)
# Prints the path of the built binary on its last line.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
build_dir="${1:-${FUZZ_BUILD_DIR:-$here/../build/fuzz}}"
cxx="${CXX:-}"
if [ -z "$cxx" ] || ! "$cxx" --version 2>/dev/null | grep -qi clang; then
  cxx="$(command -v clang++-14 || command -v clang++ || true)"
fi
if [ -z "$cxx" ]; then
  echo "fuzz/build.sh: clang++ not found (on Debian: apt-get install clang libclang-rt-14-dev)" >&2
  exit 1
fi
cmake="${CMAKE:-cmake}"
generator=()
if command -v ninja >/dev/null 2>&1; then generator=(-G Ninja); fi

mkdir -p "$build_dir"
if [ ! -f "$build_dir/CMakeCache.txt" ]; then
  "$cmake" -S "$here" -B "$build_dir" "${generator[@]}" -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
fi
"$cmake" --build "$build_dir" --parallel "${CMAKE_BUILD_PARALLEL_LEVEL:-2}" >&2
echo "$(cd "$build_dir" && pwd)/fuzz_index"
