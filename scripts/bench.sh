#!/usr/bin/env bash
# Builds the optimised native targets and runs every benchmark; the figures
# go into BENCHMARKS.md.
#   scripts/bench.sh [--rounds N] [--quick] [--output FILE]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/build_steps.sh
. "$ROOT/scripts/build_steps.sh"
for tool in socat nc; do
  command -v "$tool" >/dev/null || { echo "$tool is missing (./zeptrix.sh deps)" >&2; exit 1; }
done
build_target release zeptrix-cli scramble_bench || exit 1
# The Wine part runs the Windows build the test tiers run.
if [[ " $* " != *" --quick "* ]]; then
  choose_windows_build
  windows_build_line
  build_target "$WIN_BUILD" Zeptrix wine_baseline_receiver || exit 1
fi
# Temporary files, Wine's server folder among them, stay below the build
# tree, as in the test command.
export TMPDIR="$BUILD/bench-tmp"
rm -rf "$TMPDIR" && mkdir -p "$TMPDIR" || exit 1
exec /usr/bin/python3 "$ROOT/scripts/bench.py" "$@"
