#!/usr/bin/env bash
# Builds the optimised native targets and runs every benchmark; the figures
# go into BENCHMARKS.md.
#   scripts/bench.sh [--runs N] [--quick] [--output FILE]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build/release"
for tool in socat nc; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (./zeptrix.sh deps)" >&2; exit 1; }
done
if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZPX_TESTS=OFF -DZPX_WERROR=ON >/dev/null
fi
ninja -C "$BUILD" -j "${ZPX_JOBS:-1}" zeptrix-cli scramble_bench >/dev/null
exec /usr/bin/python3 "$ROOT/scripts/bench.py" "$@"
