#!/usr/bin/env bash
# kavrel.exe (the dialog's Win32 face) under Wine with Xvfb against kavrel-sim: an unattended upload through
# COM5, which Wine maps onto the simulator's terminal, ends with 0 and the flash equal to the image; a bad
# image ends with 3 and a silent receiver with 4. Usage: scripts/test-windows-dialog.sh [WIN_BUILD] [LINUX_BUILD]
# (defaults build/windows and build/plain; the Linux build gives kavrel-sim and kavrel-image).
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
win=${1:-$here/build/windows}
linux=${2:-$here/build/plain}
exe=$win/bin/kavrel.exe
for f in "$exe" "$linux/bin/kavrel-sim" "$linux/bin/kavrel-image" "$linux/bin/tz5_sfl.hex"; do
  [ -e "$f" ] || { echo "missing $f (run scripts/build-windows.sh and build kavrel-sim, kavrel-image)" >&2; exit 2; }
done
work=$(mktemp -d)
export WINEDEBUG=-all WINEPREFIX=$work/prefix
display=:$((90 + RANDOM % 100))
Xvfb "$display" -screen 0 1024x768x24 >/dev/null 2>&1 &
xvfb=$!
sim=
cleanup() {
  [ -n "$sim" ] && kill "$sim" 2>/dev/null
  wineserver -k >/dev/null 2>&1
  kill "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
export DISPLAY=$display
wine wineboot -i >/dev/null 2>&1
cp "$exe" "$linux/bin/tz5_sfl.hex" "$work/"
"$linux/bin/kavrel-image" build union "$work/fw.bin" --fw-size 0x4000 >/dev/null
cp "$work/fw.bin" "$work/bad.bin"
printf 'Z' | dd of="$work/bad.bin" bs=1 seek=$((0x9000)) conv=notrunc status=none

status=0
# name, image, expected code, simulator options
run() {
  local name=$1 image=$2 expected=$3
  shift 3
  rm -f "$work/flash.bin" "$work/sim.out"
  "$linux/bin/kavrel-sim" --raw --erase-ms 20 --finish-delay 200 --reboot-ms 300 --flash-out "$work/flash.bin" \
    "$@" >"$work/sim.out" 2>/dev/null &
  sim=$!
  for _ in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
  # The port's device is read when Wine's server starts.
  wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$(head -1 "$work/sim.out")" /f >/dev/null 2>&1
  wineserver -k >/dev/null 2>&1
  local start=$SECONDS
  (cd "$work" && timeout 180 wine kavrel.exe -i "$image" -p COM5 -m -n -l run.log >"$work/out.txt" 2>&1)
  local code=$?
  kill "$sim" 2>/dev/null
  wait "$sim" 2>/dev/null
  sim=
  local verdict=ok
  [ "$code" -eq "$expected" ] || verdict="FAILED (exit $code)"
  if [ "$expected" -eq 0 ] && [ "$verdict" = ok ]; then
    cmp -s -n "$(stat -c %s "$work/$image")" "$work/flash.bin" "$work/$image" || verdict="FAILED (flash differs)"
  fi
  echo "$name: exit $code in $((SECONDS - start)) s: $verdict"
  if [ "$verdict" != ok ]; then
    tail -5 "$work/out.txt"
    status=1
  fi
}
run "upload" fw.bin 0
run "bad image" bad.bin 3
run "silent receiver" fw.bin 4 --fault silent
exit $status
