#!/usr/bin/env bash
# Zeptrix: the one entry point for building, testing and running.
set -uo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
cd "$ROOT"

usage() {
  cat <<'TEXT'
usage: ./zeptrix.sh VERB

  run     start Zeptrix.exe under Wine (a virtual display when there is none)
  test    install what is missing, build everything, run every test tier
  build   build the native and the Windows targets
  bench   run the benchmarks, figures into BENCHMARKS.md
  dist    pack the 32-bit Windows release into build/dist/zeptrix-1.0-win32.zip
  fuzz [SECONDS]  run each fuzz target that long (default 600), report in build/fuzz
  deps    install what a fresh Debian 12 machine lacks
  help    this text
TEXT
}

# shellcheck source=scripts/build_steps.sh
. "$ROOT/scripts/build_steps.sh"

# Every target, each with -Werror: both Windows builds on every machine, so
# a compile fault of either shows wherever the command runs. The first
# failure stops the build.
ALL_TARGETS="native tsan release windows windows64 fuzz"
build_all() {
  local target
  for target in $ALL_TARGETS; do
    if [ "$target" = fuzz ]; then
      build_target fuzz fuzzers || return 1
    else
      build_target "$target" || return 1
    fi
  done
  check_static_exes
}

# Release executables and test programs must need no MinGW runtime DLLs.
check_static_exes() {
  # shellcheck disable=SC2046
  check_system_dlls $(find "$BUILD/windows" "$BUILD/windows64" -name '*.exe' -not -path '*/CMakeFiles/*' 2>/dev/null)
}

wine_prefix_ready() {  # prefix dir, loader
  local prefix="$1" loader="$2"
  [ -f "$prefix/system.reg" ] && return 0
  echo "== creating wine prefix $prefix (once)"
  WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" "$loader" wineboot -i >/dev/null 2>&1
  local server=/usr/lib/wine/wineserver64
  [ "$loader" = /usr/lib/wine/wine ] && server=/usr/lib/wine/wineserver32
  WINEPREFIX="$prefix" "$server" -w 2>/dev/null || true
}

# A virtual 1024 x 768 display on the given display name, stopped when
# this script ends. Clients reach it through its abstract socket alone, so
# that no /tmp/.X11-unix is left behind.
start_xvfb() {
  Xvfb "$1" -screen 0 1024x768x24 -nolisten tcp -nolisten unix >/dev/null 2>&1 &
  XVFB_PID=$!
  trap 'kill $XVFB_PID 2>/dev/null' EXIT
  sleep 1
}

start_display() {
  if [ -z "${ZPX_TEST_DISPLAY:-}" ]; then
    export ZPX_TEST_DISPLAY=":$(( 90 + RANDOM % 50 ))"
    start_xvfb "$ZPX_TEST_DISPLAY"
  fi
  export DISPLAY="$ZPX_TEST_DISPLAY"
}

run_ctest() {  # label, build dir, extra ctest args...
  local label="$1" dir="$2"; shift 2
  echo "== tests: $label"
  rm -rf "$BUILD/$dir/test-results"; mkdir -p "$BUILD/$dir/test-results"
  (cd "$BUILD/$dir" && ctest --output-on-failure --timeout 900 "$@") || FAILED_TIERS="$FAILED_TIERS $label"
}

# The real Zeptrix.exe under Wine on virtual displays of its own, with the
# console peer as the other end.
run_e2e() {
  echo "== tests: end to end (Zeptrix.exe under wine, console peer)"
  rm -rf "$BUILD/e2e"; mkdir -p "$BUILD/e2e/test-results"
  /usr/bin/python3 "$ROOT/tests/e2e/run_e2e.py" "$BUILD/e2e/test-results/e2e.xml" ||
    FAILED_TIERS="$FAILED_TIERS end-to-end"
}

# zeptrix-cli from the outside, and its Windows build under Wine.
run_cli() {
  echo "== tests: console peer (zeptrix-cli)"
  rm -rf "$BUILD/cli-tests"; mkdir -p "$BUILD/cli-tests/test-results"
  /usr/bin/python3 "$ROOT/tests/cli/run_cli_tests.py" "$BUILD/cli-tests/test-results/cli.xml" ||
    FAILED_TIERS="$FAILED_TIERS console-peer"
}

run_fuzz() {  # seconds per target
  echo "== tests: fuzzing (${1} s per target)"
  rm -rf "$BUILD/fuzz/test-results"; mkdir -p "$BUILD/fuzz/test-results"
  /usr/bin/python3 "$ROOT/tests/fuzz/run_fuzz.py" "$BUILD/fuzz" "$1" "$BUILD/fuzz/test-results/fuzz.xml" ||
    FAILED_TIERS="$FAILED_TIERS fuzzing"
}

# Hostile peers against the console peer and Zeptrix.exe, then resource
# leak checks over 1,000 transfers.
run_hostile() {
  echo "== tests: hostile peers (console peer, Zeptrix.exe under wine)"
  rm -rf "$BUILD/hostile"; mkdir -p "$BUILD/hostile/test-results"
  /usr/bin/python3 "$ROOT/tests/hostile/run_hostile.py" "$BUILD/hostile/test-results/hostile.xml" test_hostile test_secure_hostile ||
    FAILED_TIERS="$FAILED_TIERS hostile"
  echo "== tests: leaks (descriptors, memory, handles after 1,000 transfers)"
  rm -rf "$BUILD/leak"; mkdir -p "$BUILD/leak/test-results"
  /usr/bin/python3 "$ROOT/tests/hostile/run_hostile.py" "$BUILD/leak/test-results/leak.xml" test_leaks ||
    FAILED_TIERS="$FAILED_TIERS leaks"
}

cmd_fuzz() {
  "$ROOT/scripts/install_deps.sh" || exit 1
  build_target fuzz fuzzers || exit 1
  FAILED_TIERS=""
  run_fuzz "${1:-600}"
  [ -z "$FAILED_TIERS" ]
}

# Sums the GoogleTest XML reports of every tier.
print_totals() {
  local tests=0 failures=0 skipped=0 f t fl sk
  for f in "$BUILD"/*/test-results/*.xml; do
    [ -f "$f" ] || continue
    t=$(grep -m1 -o '<testsuites tests="[0-9]*"' "$f" | grep -o '[0-9]*')
    fl=$(grep -m1 -o '<testsuites [^>]*failures="[0-9]*"' "$f" | grep -o 'failures="[0-9]*"' | grep -o '[0-9]*')
    sk=$(grep -m1 -o '<testsuites [^>]*disabled="[0-9]*"' "$f" | grep -o 'disabled="[0-9]*"' | grep -o '[0-9]*')
    tests=$((tests + ${t:-0})); failures=$((failures + ${fl:-0})); skipped=$((skipped + ${sk:-0}))
  done
  echo
  for f in "$BUILD"/*/test-results; do
    [ -d "$f" ] && printf '  %-10s %s reports\n' "$(basename "$(dirname "$f")")" "$(ls "$f" | wc -l)"
  done
  [ -n "$FAILED_TIERS" ] && echo "failed tiers:$FAILED_TIERS"
  echo "totals: $((tests - failures)) passed, $failures failed"
}

cmd_test() {
  "$ROOT/scripts/install_deps.sh" || exit 1
  FAILED_TIERS=""
  run_script_tests
  build_all || exit 1
  choose_windows_build
  echo "== $(windows_build_line)"
  [ "$WIN_BUILD" = windows64 ] && echo "   (build/windows, the shipped program, was built with -Werror all the same)"
  # Every tier's temporary files go below the build tree, Wine's server
  # folder among them, so that a run leaves nothing in /tmp; the folder
  # starts empty on each run and keeps what the last run left, for a look
  # after a failure.
  export TMPDIR="$BUILD/test-tmp"
  rm -rf "$TMPDIR" && mkdir -p "$TMPDIR" || exit 1
  local prefix="$BUILD/wineprefix64"
  [ "$WIN_BUILD" = windows ] && prefix="$BUILD/wineprefix32"
  wine_prefix_ready "$prefix" "$WIN_LOADER"
  export WINEPREFIX="$prefix"
  start_display
  run_ctest "native (address, undefined)" native
  run_ctest "native (thread)" tsan -L concurrent
  run_ctest "windows ($WIN_BUILD, wine)" "$WIN_BUILD"
  run_cli
  run_e2e
  run_fuzz 30
  run_hostile
  print_totals
  windows_build_line
  [ -z "$FAILED_TIERS" ]
}

# The build steps of this script against stand-in cmake and ninja that
# fail for a chosen target.
run_script_tests() {
  [ -n "${ZPX_STAND_IN_TOOLS:-}" ] && return 0  # the tests run this script themselves
  echo "== tests: build steps (a target made to fail stops every verb)"
  rm -rf "$BUILD/script-tests"; mkdir -p "$BUILD/script-tests/test-results"
  /usr/bin/python3 "$ROOT/tests/script/run_script_tests.py" "$BUILD/script-tests/test-results/script.xml" ||
    FAILED_TIERS="$FAILED_TIERS build-steps"
}

# Starts Zeptrix.exe under Wine from build/run, with its settings beside it.
cmd_run() {
  "$ROOT/scripts/install_deps.sh" || exit 1
  choose_windows_build
  echo "$(windows_build_line)"
  build_target release zeptrix-cli || exit 1
  build_target "$WIN_BUILD" Zeptrix || exit 1
  local loader="$WIN_LOADER" prefix="$BUILD/wineprefix64" win="$WIN_BUILD"
  [ "$win" = windows ] && prefix="$BUILD/wineprefix32"
  wine_prefix_ready "$prefix" "$loader"
  local here="$BUILD/run"
  mkdir -p "$here/received"
  cp "$BUILD/$win/app/Zeptrix.exe" "$here/Zeptrix.exe"
  if [ ! -f "$here/Zeptrix.cfg" ]; then
    local received="Z:${here//\//\\}\\received"
    sed -e '/^dir /d' "$ROOT/Zeptrix.sample.cfg" > "$here/Zeptrix.cfg"
    printf '\n; where ./zeptrix.sh run stores arriving files\ndir %s\n' "$received" >> "$here/Zeptrix.cfg"
  fi
  if [ -z "${DISPLAY:-}" ]; then
    export DISPLAY=":$(( 60 + RANDOM % 30 ))"
    start_xvfb "$DISPLAY"
    echo "no display: Zeptrix runs on the virtual display $DISPLAY"
    echo "  (look at it with: DISPLAY=$DISPLAY import -window root shot.png)"
  fi
  local port; port=$(awk 'tolower($1)=="port" {p=$2} END {print p ? p : 60907}' "$here/Zeptrix.cfg")
  echo "Zeptrix listens on port $port; received files land in $here/received"
  echo "settings: $here/Zeptrix.cfg (sendto lines add destinations; see Zeptrix.sample.cfg)"
  echo "send it a file: $BUILD/release/cli/zeptrix-cli send 127.0.0.1:$port FILE"
  echo "stop: the strip's right-click menu, exit; or Ctrl-C here"
  cd "$here" && WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    "$loader" Zeptrix.exe
}

case "${1:-help}" in
  test) cmd_test ;;
  build) "$ROOT/scripts/install_deps.sh" && build_all ;;
  deps) "$ROOT/scripts/install_deps.sh" && choose_windows_build && windows_build_line ;;
  bench) shift; "$ROOT/scripts/bench.sh" "$@" ;;
  dist) "$ROOT/scripts/install_deps.sh" && "$ROOT/scripts/dist.sh" ;;
  fuzz) shift; cmd_fuzz "$@" ;;
  run) cmd_run ;;
  help|-h|--help) usage ;;
  *) usage >&2; exit 2 ;;
esac
