#!/usr/bin/env bash
# Packs the Windows build (scripts/build-windows.sh, run first when its programs are missing) into an NSIS
# installer and a plain zip beside it: build/windows-package/kavrel-<version>-windows-x86_64-setup.exe and
# kavrel-<version>-windows-x86_64.zip. The zip holds the same files as the installed folder.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
root=${KV_BUILD_ROOT:-$here/build}
bin=$root/windows/bin
out=$root/windows-package

[ -x "$bin/kavrel-line.exe" ] && [ -f "$bin/tz5_sfl.hex" ] || "$here/scripts/build-windows.sh"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$root/windows/CMakeCache.txt")
name=kavrel-$version-windows-x86_64

rm -rf "$out"
stage=$out/$name
mkdir -p "$stage"
cp "$bin/kavrel-line.exe" "$bin/kavrel-image.exe" "$bin/tz5_sfl.hex" "$here/docs/GNSS.html" \
  "$here/docs/kavrel-programming.png" "$stage/"
# Windows editors want CR LF.
sed 's/$/\r/' "$here/README.md" >"$stage/README.txt"
x86_64-w64-mingw32-strip "$stage"/*.exe

size_kb=$(du -sk "$stage" | cut -f1)
makensis -V2 -DVERSION="$version" -DSTAGE="$stage" -DOUTFILE="$out/$name-setup.exe" -DSIZE_KB="$size_kb" \
  "$here/cmake/kavrel-windows.nsi"
(cd "$out" && zip -q -r "$name.zip" "$name")
ls -l "$out/$name-setup.exe" "$out/$name.zip"
