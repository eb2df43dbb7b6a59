#!/usr/bin/env bash
# Builds the Windows programs (kavrel-line.exe, kavrel-image.exe, the loader file tz5_sfl.hex) and the
# Windows test programs into build/windows with mingw-w64, statically linked: nothing to ship besides the
# system's own DLLs. Installs what it needs (mingw-w64, Wine for the build's own tool run, the GoogleTest
# sources, NSIS and zip for the installer). The dialog is not part of the Windows build.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${KV_BUILD_ROOT:-$here/build}/windows
jobs=$(nproc)

# jq reads the station's records in scripts/test-windows.sh.
packages=(cmake ninja-build g++-mingw-w64-x86-64-posix wine64 wine googletest nsis zip jq)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The build runs kavrel-image.exe once (the loader file) under Wine, in a prefix of its own.
export WINEDEBUG=-all
export WINEPREFIX=${KV_WINEPREFIX:-$out/wineprefix}
mkdir -p "$out"
[ -f "$WINEPREFIX/system.reg" ] || wine wineboot -i >/dev/null 2>&1

cmake -S "$here" -B "$out" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/cmake/toolchain-mingw-w64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DKV_BUILD_APP=OFF -DKV_WERROR=ON
cmake --build "$out" -j "$jobs"

# Statically linked: every DLL a program names must be one of Windows' own.
status=0
for exe in "$out"/bin/*.exe; do
  while read -r dll; do
    case "${dll,,}" in
      kernel32.dll | user32.dll | advapi32.dll | msvcrt.dll | setupapi.dll | ws2_32.dll) ;;
      *) echo "$exe needs $dll" >&2; status=1 ;;
    esac
  done < <(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
done
exit $status
