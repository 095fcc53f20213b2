# Configuring and building the named targets, shared by zeptrix.sh, dist.sh
# and bench.sh (sourced, not run). Every step that fails prints a line
# naming its target and returns non-zero, so the caller stops at once.
#   ROOT   the source tree
#   BUILD  the build tree (ZPX_BUILD_DIR, default ROOT/build)
BUILD="${ZPX_BUILD_DIR:-$ROOT/build}"

build_jobs() { echo "${ZPX_JOBS:-$(nproc)}"; }

# The CMake arguments of each target.
target_arguments() {  # target
  case "$1" in
    native)    echo "-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZPX_SANITIZE=address" ;;
    tsan)      echo "-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZPX_SANITIZE=thread" ;;
    release)   echo "-DCMAKE_BUILD_TYPE=Release -DZPX_TESTS=OFF" ;;
    windows)   echo "-DCMAKE_TOOLCHAIN_FILE=$ROOT/cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release" ;;
    windows64) echo "-DCMAKE_TOOLCHAIN_FILE=$ROOT/cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release" ;;
    fuzz)      echo "-DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DZPX_FUZZ=ON -DZPX_TESTS=OFF" ;;
    *) return 1 ;;
  esac
}

# Configures a target's directory once (later builds re-run CMake through
# ninja when a CMake file changes). CMake's output is kept in a log and
# shown when it fails.
configure_target() {  # target
  local target="$1" dir="$BUILD/$1" args
  [ -f "$dir/build.ninja" ] && return 0
  args="$(target_arguments "$target")" || { echo "unknown target $target" >&2; return 1; }
  mkdir -p "$dir"
  # shellcheck disable=SC2086  # the arguments are words without blanks
  if ! cmake -S "$ROOT" -B "$dir" -G Ninja -DZPX_WERROR=ON $args >"$dir/configure.log" 2>&1; then
    tail -n 40 "$dir/configure.log" >&2
    echo "configure of $target failed (see $dir/configure.log)" >&2
    return 1
  fi
}

# Configures and builds a target (all of it unless ninja targets are
# named). Ninja's progress lines are left out; its status is the
# pipeline's, since pipefail is on and the filter never fails.
build_target() {  # target [ninja targets...]
  local target="$1"; shift
  configure_target "$target" || return 1
  echo "== build $target"
  if ! ninja -C "$BUILD/$target" -j "$(build_jobs)" "$@" 2>&1 | { grep -v '^\[' || true; }; then
    echo "build of $target failed" >&2
    return 1
  fi
}

# Executables built for Windows must need no DLLs but the system's.
check_system_dlls() {  # exe...
  local bad=0 exe dll
  for exe in "$@"; do
    for dll in $(x86_64-w64-mingw32-objdump -p "$exe" 2>/dev/null | awk '/DLL Name/ {print tolower($3)}'); do
      case "$dll" in
        kernel32.dll|user32.dll|gdi32.dll|shell32.dll|comctl32.dll|wsock32.dll|msvcrt.dll|advapi32.dll|ws2_32.dll|version.dll|api-ms-win-*) ;;
        *) echo "$exe needs $dll" >&2; bad=1 ;;
      esac
    done
  done
  return $bad
}

# The Windows build the test tiers, run and bench use: the shipped 32-bit
# one under wine32 where 32-bit code runs and its loader is installed, else
# the 64-bit build of the same sources under wine64. Sets WIN_BUILD,
# WIN_LOADER and WIN_REASON, and exports ZPX_WINDOWS_BUILD for the Python
# tiers.
choose_windows_build() {
  if ! "${ZPX_LOADER32:-/lib/ld-linux.so.2}" --version >/dev/null 2>&1; then
    WIN_BUILD=windows64; WIN_REASON="32-bit code does not run here"
  elif ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
    WIN_BUILD=windows64; WIN_REASON="32-bit code runs here but wine32 could not be installed"
  else
    WIN_BUILD=windows; WIN_REASON="32-bit code runs here and wine32 is installed"
  fi
  if [ "$WIN_BUILD" = windows ]; then WIN_LOADER=/usr/lib/wine/wine; else WIN_LOADER=/usr/lib/wine/wine64; fi
  export ZPX_WINDOWS_BUILD="$WIN_BUILD"
}

# One line naming the Windows build and why.
windows_build_line() {
  local wine=wine64
  [ "$WIN_BUILD" = windows ] && wine=wine32
  echo "Windows tiers run build/$WIN_BUILD under $wine: $WIN_REASON"
}
