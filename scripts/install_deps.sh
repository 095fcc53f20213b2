#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test Zeptrix.
# Idempotent: it asks dpkg for each package first and returns quickly when
# all is there. Two steps: the packages every build and test tier needs (a
# failure there fails the command), then the 32-bit Wine loader, only where
# 32-bit code runs (a failure there is reported and the Windows tiers fall
# back to the 64-bit build under wine64). It never pins, downgrades or
# switches releases: a half-synced mirror is retried, then used as it is.
#   ZPX_LOADER32    the 32-bit loader whose --version tells whether 32-bit
#                   code runs (default /lib/ld-linux.so.2)
#   ZPX_APT_TRIES   tries of apt-get update (default 3)
#   ZPX_APT_PAUSE   seconds between them (default 20)
set -uo pipefail

LOADER32="${ZPX_LOADER32:-/lib/ld-linux.so.2}"
TRIES="${ZPX_APT_TRIES:-3}"
PAUSE="${ZPX_APT_PAUSE:-20}"

have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
need_pkgs() { local p; for p in "$@"; do have_pkg "$p" || echo "$p"; done; }

CORE=(
  cmake ninja-build g++ clang valgrind
  libclang-rt-14-dev                # libFuzzer's runtime for the fuzz targets
  libgtest-dev libbenchmark-dev libgcrypt20-dev
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686 g++-mingw-w64-x86-64-posix libgcrypt-mingw-w64-dev
  xvfb xauth xdotool x11-utils imagemagick python3-xlib
  socat netcat-openbsd zip strace
  python3-dissononce python3-argon2 # independent peers for the secure format's known answers
  wine64
  libc6-i386                        # the 32-bit loader, whose start tells whether 32-bit code runs
)
mapfile -t core < <(need_pkgs "${CORE[@]}")

loader=()
if "$LOADER32" --version >/dev/null 2>&1; then
  have_pkg wine32:i386 || loader=(wine wine32:i386)
fi

[ ${#core[@]} -eq 0 ] && [ ${#loader[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive

if [ ${#loader[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  if ! $SUDO dpkg --add-architecture i386; then
    echo "32-bit code runs here but wine32 could not be installed: dpkg --add-architecture i386 failed" >&2
    loader=()
  fi
fi

# A mirror in the middle of a sync fails one index for an hour or more;
# the lists that did arrive still serve every package that doesn't need it.
updated=0
for ((try = 1; try <= TRIES; try++)); do
  if $SUDO apt-get update -qq; then updated=1; break; fi
  [ "$try" -lt "$TRIES" ] && sleep "$PAUSE"
done
[ "$updated" = 1 ] ||
  echo "apt-get update failed $TRIES times; installing from the package lists that arrived" >&2

if [ ${#core[@]} -gt 0 ]; then
  echo "installing: ${core[*]}" >&2
  if ! $SUDO apt-get install -y -qq --no-install-recommends "${core[@]}" >/dev/null; then
    echo "could not install: ${core[*]}" >&2
    exit 1
  fi
fi

if [ ${#loader[@]} -gt 0 ]; then
  echo "installing: ${loader[*]}" >&2
  $SUDO apt-get install -y -qq --no-install-recommends "${loader[@]}" >/dev/null ||
    echo "32-bit code runs here but wine32 could not be installed (apt-get install ${loader[*]} failed);" \
         "the Windows tiers run build/windows64 under wine64" >&2
fi
exit 0
