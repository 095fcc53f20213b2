#!/usr/bin/env bash
# Sends a 1 GiB file over loopback between two copies of the engine, then
# copies it with socat (same 8193-byte pieces) file to file; prints the
# medians of the runs and the ratio of the speeds.
#   scripts/bench_transfer.sh [runs]   (default 5)
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
RUNS="${1:-5}"
BUILD="$ROOT/build/release"
if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZPX_TESTS=OFF -DZPX_WERROR=ON >/dev/null
fi
ninja -C "$BUILD" -j "${ZPX_JOBS:-1}" transfer_bench >/dev/null
BENCH="$BUILD/bench/transfer_bench"
command -v socat >/dev/null || { echo "socat is missing (apt-get install socat)" >&2; exit 1; }

# tmpfs when it has room for the file and two copies, else the build tree.
BASE="$BUILD/bench-data"
if [ "$(df -k --output=avail /dev/shm 2>/dev/null | tail -1)" -gt $((3 * 1024 * 1024 + 262144)) ] 2>/dev/null; then
  BASE="/dev/shm/zeptrix-bench-$$"
fi
mkdir -p "$BASE/in" "$BASE/out"
trap 'rm -rf "$BASE"' EXIT
SRC="$BASE/in/payload.bin"
head -c $((1024 * 1024 * 1024)) /dev/urandom > "$SRC"
SIZE=$(stat -c %s "$SRC")
echo "file: $SIZE bytes in $BASE, $RUNS runs each"

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
now() { date +%s.%N; }
median() { sort -g | awk '{a[NR]=$1} END {m=int((NR+1)/2); if (NR%2) print a[m]; else printf "%.3f\n", (a[m]+a[m+1])/2}'; }

engine_run() {
  local port; port=$(free_port)
  rm -f "$BASE/out/payload.bin"
  "$BENCH" receive "$port" "$BASE/out" >/dev/null &
  local receiver=$!
  sleep 0.2
  local start end
  start=$(now)
  "$BENCH" send "$port" "$SRC" >/dev/null
  wait "$receiver"
  end=$(now)
  cmp -s "$SRC" "$BASE/out/payload.bin" || { echo "engine copy differs" >&2; exit 1; }
  echo "$end - $start" | bc -l
}

socat_run() {
  local port; port=$(free_port)
  rm -f "$BASE/out/payload.bin"
  socat -b 8193 -u TCP-LISTEN:"$port",bind=127.0.0.1,reuseaddr CREATE:"$BASE/out/payload.bin" &
  local receiver=$!
  sleep 0.2
  local start end
  start=$(now)
  socat -b 8193 -u OPEN:"$SRC",rdonly TCP:127.0.0.1:"$port"
  wait "$receiver"
  end=$(now)
  cmp -s "$SRC" "$BASE/out/payload.bin" || { echo "socat copy differs" >&2; exit 1; }
  echo "$end - $start" | bc -l
}

engine_times=(); socat_times=()
for ((i = 1; i <= RUNS; i++)); do
  engine_times+=("$(engine_run)")
  socat_times+=("$(socat_run)")
  echo "run $i: engine ${engine_times[-1]} s, socat ${socat_times[-1]} s"
done
e=$(printf '%s\n' "${engine_times[@]}" | median)
s=$(printf '%s\n' "${socat_times[@]}" | median)
mib=$((SIZE / 1048576))
printf 'median engine: %.3f s (%.0f MiB/s)\n' "$e" "$(echo "$mib / $e" | bc -l)"
printf 'median socat:  %.3f s (%.0f MiB/s)\n' "$s" "$(echo "$mib / $s" | bc -l)"
printf 'engine speed / socat speed: %.3f\n' "$(echo "$s / $e" | bc -l)"
