#!/usr/bin/env bash
# Runs a Windows executable under Wine with the project's prefix.
# 64-bit executables go to the wine64 loader directly: Debian's `wine`
# launcher prefers the 32-bit loader, which cannot start where the kernel
# has 32-bit emulation switched off.
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
exe="$1"
if [ -z "${WINEPREFIX:-}" ]; then
  if od -An -tx1 -j$(( $(od -An -tu4 -j60 -N4 "$exe") + 24 )) -N2 "$exe" 2>/dev/null | grep -q '0b 02'; then
    export WINEPREFIX="$here/build/wineprefix64"
  else
    export WINEPREFIX="$here/build/wineprefix32"
  fi
fi
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
if od -An -tx1 -j$(( $(od -An -tu4 -j60 -N4 "$exe") + 24 )) -N2 "$exe" 2>/dev/null | grep -q '0b 02'; then
  exec /usr/lib/wine/wine64 "$@"
fi
exec /usr/lib/wine/wine "$@"
