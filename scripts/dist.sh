#!/usr/bin/env bash
# Packs the 32-bit Windows release into build/dist/zeptrix-1.0-win32.zip:
# Zeptrix.exe, zeptrix-cli.exe, a commented Zeptrix.cfg and README.txt,
# all text with Windows line ends.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build/windows"
OUT="$ROOT/build/dist"
NAME="zeptrix-1.0-win32"
command -v zip >/dev/null || { echo "zip is missing (./zeptrix.sh deps)" >&2; exit 1; }
if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DZPX_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
ninja -C "$BUILD" -j "${ZPX_JOBS:-1}" Zeptrix zeptrix-cli >/dev/null

# Only system DLLs: the executables must run on a bare Windows.
for exe in "$BUILD/app/Zeptrix.exe" "$BUILD/cli/zeptrix-cli.exe"; do
  i686-w64-mingw32-objdump -p "$exe" | awk '/DLL Name/ {print tolower($3)}' | while read -r dll; do
    case "$dll" in
      kernel32.dll|user32.dll|gdi32.dll|shell32.dll|comctl32.dll|wsock32.dll|msvcrt.dll|advapi32.dll) ;;
      *) echo "$exe needs $dll" >&2; exit 1 ;;
    esac
  done
done

stage="$OUT/$NAME"
rm -rf "$stage" "$OUT/$NAME.zip"
mkdir -p "$stage"
cp "$BUILD/app/Zeptrix.exe" "$BUILD/cli/zeptrix-cli.exe" "$stage/"
i686-w64-mingw32-strip "$stage/Zeptrix.exe" "$stage/zeptrix-cli.exe"
sed 's/\r*$/\r/' "$ROOT/Zeptrix.sample.cfg" > "$stage/Zeptrix.cfg"
sed 's/\r*$/\r/' "$ROOT/packaging/README.txt" > "$stage/README.txt"
(cd "$OUT" && zip -q -X -r "$NAME.zip" "$NAME")
echo "$OUT/$NAME.zip"
unzip -l "$OUT/$NAME.zip"
