#!/usr/bin/env bash
# Packs the 32-bit Windows release into build/dist/zeptrix-1.0-win32.zip:
# Zeptrix.exe, zeptrix-cli.exe, a commented Zeptrix.cfg and README.txt,
# all text with Windows line ends.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/build_steps.sh
. "$ROOT/scripts/build_steps.sh"
OUT="$BUILD/dist"
NAME="zeptrix-1.0-win32"
command -v zip >/dev/null || { echo "zip is missing (./zeptrix.sh deps)" >&2; exit 1; }
build_target windows Zeptrix zeptrix-cli || exit 1
WIN="$BUILD/windows"
# Only system DLLs: the executables must run on a bare Windows.
check_system_dlls "$WIN/app/Zeptrix.exe" "$WIN/cli/zeptrix-cli.exe" || exit 1

stage="$OUT/$NAME"
rm -rf "$stage" "$OUT/$NAME.zip"
mkdir -p "$stage"
cp "$WIN/app/Zeptrix.exe" "$WIN/cli/zeptrix-cli.exe" "$stage/"
i686-w64-mingw32-strip "$stage/Zeptrix.exe" "$stage/zeptrix-cli.exe"
sed 's/\r*$/\r/' "$ROOT/Zeptrix.sample.cfg" > "$stage/Zeptrix.cfg"
sed 's/\r*$/\r/' "$ROOT/packaging/README.txt" > "$stage/README.txt"
(cd "$OUT" && zip -q -X -r "$NAME.zip" "$NAME")
echo "$OUT/$NAME.zip"
unzip -l "$OUT/$NAME.zip"
