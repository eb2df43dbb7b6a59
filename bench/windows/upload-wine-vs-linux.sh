#!/usr/bin/env bash
# The same upload by kavrel-line on Linux and by kavrel-line.exe under Wine, each against a fresh kavrel-sim:
# once on a paced line (the simulator holds every byte for its time at 115200 bit/s, as a real receiver's
# UART does) and once raw (no line time). Prints each run's time from the station's record, the Wine/Linux
# ratio, and the processor time the Windows program (and Wine's server) used during its upload.
# Needs build/plain and build/windows (scripts/build-windows.sh). Usage: upload-wine-vs-linux.sh [runs]
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
root=${KV_BUILD_ROOT:-$here/build}
linux=$root/plain/bin
win=$root/windows/bin
runs=${1:-3}
work=$(mktemp -d "${TMPDIR:-/tmp}/kavrel-bench.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all
sim=
cleanup() {
  [ -z "$sim" ] || kill "$sim" 2>/dev/null || true
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
wine wineboot -i >/dev/null 2>&1
"$linux/kavrel-image" build union "$work/image.bin" --fw-version B123 --fw-size 0x17FFC >/dev/null
ticks=$(getconf CLK_TCK)

start_sim() { # options...; sets sim (its process) and pty (its terminal)
  rm -f "$work/sim.out"
  "$linux/kavrel-sim" --finish-delay 200 --reboot-ms 300 --erase-ms 20 "$@" >"$work/sim.out" 2>/dev/null &
  sim=$!
  for i in $(seq 100); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
  pty=$(head -n 1 "$work/sim.out")
}
stop_sim() { kill "$sim"; wait "$sim" 2>/dev/null || true; sim=; }
record_ms() { # the unit's time from its record
  jq -r '((.endTime | sub("\\.[0-9]+Z$"; "Z") | fromdate) - (.startTime | sub("\\.[0-9]+Z$"; "Z") | fromdate)) * 1000
         + ((.endTime | capture("\\.(?<ms>[0-9]+)Z$").ms | tonumber) - (.startTime | capture("\\.(?<ms>[0-9]+)Z$").ms | tonumber))' "$1"
}
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }

for mode in paced raw; do
  extra=()
  [ "$mode" = raw ] && extra=(--raw)
  for run in $(seq "$runs"); do
    start_sim "${extra[@]}"
    rm -f "$work/linux.jsonl"
    "$linux/kavrel-line" -i "$work/image.bin" --json "$work/linux.jsonl" "$pty" >/dev/null
    stop_sim
    linux_ms=$(record_ms "$work/linux.jsonl")

    start_sim "${extra[@]}"
    wine reg add 'HKLM\Software\Wine\Ports' /v COM5 /d "$pty" /f >/dev/null
    wineserver -k
    # A persistent server of our own, so its processor time can be read around the upload.
    wineserver -p
    sleep 0.5
    server=$(pgrep -n wineserver)
    rm -f "$work/wine.jsonl"
    server_before=$(cpu_ticks "$server")
    # The program's own processor time, user and system (wine execs into the Windows process).
    (cd "$work" && exec /usr/bin/time -f "%U %S" -o "$work/time.txt" wine "$win/kavrel-line.exe" -i image.bin \
      --json wine.jsonl COM5 >/dev/null)
    program_ticks=$(awk -v t="$ticks" '{printf "%d", ($1 + $2) * t}' "$work/time.txt")
    server_ticks=$(($(cpu_ticks "$server") - server_before))
    stop_sim
    wine_ms=$(record_ms "$work/wine.jsonl")
    awk -v m="$mode" -v l="$linux_ms" -v w="$wine_ms" -v p="$program_ticks" -v s="$server_ticks" -v t="$ticks" \
      'BEGIN { printf "%-5s linux %6d ms  wine %6d ms  ratio %.3f  kavrel-line.exe CPU %.2f s (%.1f%% of a core)  wineserver %.2f s (%.1f%%)\n",
               m, l, w, w / l, p / t, 100 * p / t / (w / 1000), s / t, 100 * s / t / (w / 1000) }'
    echo "      phases (ms): linux $(jq -c .phaseMs "$work/linux.jsonl")  wine $(jq -c .phaseMs "$work/wine.jsonl")"
  done
done
