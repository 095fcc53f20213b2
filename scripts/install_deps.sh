#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test Zeptrix.
# Idempotent: it checks for each tool first and returns quickly when all is there.
set -euo pipefail

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

have_cmd cmake || need+=(cmake)
have_cmd ninja || need+=(ninja-build)
have_cmd g++ || need+=(g++)
have_cmd clang++ || need+=(clang)
# libFuzzer's runtime for the fuzz targets.
have_pkg libclang-rt-14-dev || need+=(libclang-rt-14-dev)
have_cmd valgrind || need+=(valgrind)
have_pkg libgtest-dev || need+=(libgtest-dev)
have_pkg libbenchmark-dev || need+=(libbenchmark-dev)
have_cmd i686-w64-mingw32-g++-posix || need+=(g++-mingw-w64-i686-posix)
have_cmd i686-w64-mingw32-windres || need+=(binutils-mingw-w64-i686)
have_cmd Xvfb || need+=(xvfb)
have_cmd xauth || need+=(xauth)
have_cmd xdotool || need+=(xdotool)
have_cmd xprop || need+=(x11-utils)
have_pkg imagemagick || need+=(imagemagick)
have_cmd socat || need+=(socat)
have_cmd nc || need+=(netcat-openbsd)
have_cmd zip || need+=(zip)
have_pkg python3-xlib || need+=(python3-xlib)
have_cmd x86_64-w64-mingw32-g++-posix || need+=(g++-mingw-w64-x86-64-posix)
have_pkg libgcrypt20-dev || need+=(libgcrypt20-dev)
have_pkg libgcrypt-mingw-w64-dev || need+=(libgcrypt-mingw-w64-dev)
# Independent implementations that the secure format's known answers come from.
have_pkg python3-dissononce || need+=(python3-dissononce)
have_pkg python3-argon2 || need+=(python3-argon2)
have_pkg wine64 || need+=(wine64)
have_pkg wine32:i386 || need+=(wine wine32:i386)

if [ ${#need[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
echo "installing: ${need[*]}" >&2
if [[ " ${need[*]} " == *" wine32:i386 "* ]] && ! dpkg --print-foreign-architectures | grep -q i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
