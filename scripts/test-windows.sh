#!/usr/bin/env bash
# Runs the Windows suites under Wine, each against a kavrel-sim (a Linux program) whose pseudo-terminal Wine
# maps to a COM port, then kavrel-line.exe end to end: the receiver's flash must equal the image and the
# record must be valid JSON. Needs scripts/build-windows.sh's output and the Linux kavrel-sim and
# kavrel-image (the plain build). Uses a temporary Wine prefix of its own.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
root=${KV_BUILD_ROOT:-$here/build}
win=$root/windows/bin
linux=${KV_LINUX_BIN:-$root/plain/bin}
for f in "$win/kavrel-line.exe" "$win/tz5_sfl.hex" "$linux/kavrel-sim" "$linux/kavrel-image"; do
  [ -e "$f" ] || { echo "test-windows: $f is missing (build first)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kavrel-wine.XXXXXX")
export WINEPREFIX=$work/prefix WINEDEBUG=-all
sims=()
cleanup() {
  for pid in "${sims[@]}"; do kill "$pid" 2>/dev/null || true; done
  wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

start=$(date +%s)
wine wineboot -i >/dev/null 2>&1
echo "Wine prefix ready in $(($(date +%s) - start)) s"

# One simulated receiver per COM port, without line pacing and with short flash and restart times.
declare -A ports
start_sim() { # name com [extra options...]
  local name=$1 com=$2
  shift 2
  "$linux/kavrel-sim" --raw --finish-delay 200 --reboot-ms 300 --erase-ms 20 "$@" >"$work/$name.out" \
    2>"$work/$name.err" &
  sims+=($!)
  local i
  for i in $(seq 100); do [ -s "$work/$name.out" ] && break; sleep 0.1; done
  local pty
  pty=$(head -n 1 "$work/$name.out")
  [ -c "$pty" ] || { echo "test-windows: kavrel-sim did not start: $(cat "$work/$name.err")" >&2; exit 1; }
  wine reg add 'HKLM\Software\Wine\Ports' /v "$com" /d "$pty" /f >/dev/null
  ports[$name]=$com
}
start_sim serial COM5
start_sim loader COM6
start_sim upload COM7
start_sim line COM8 --flash-out "$work/line.flash"
start_sim watch COM9
# Receivers that hang up during an upload: while programming, and when the completion mark is due.
start_sim hangup_program COM10 --hangup-at program
start_sim hangup_complete COM11 --hangup-at complete
# The mapping takes effect when Wine's server starts again.
wineserver -k
wineserver -w

status=0
summary=()
run_suite() { # exe [arguments...]
  local exe=$1
  shift
  local log=$work/$exe.log
  if (cd "$work" && timeout 600 wine "$win/$exe.exe" "$@" >"$log" 2>&1); then
    summary+=("$exe: $(grep -E '^\[  (PASSED  |SKIPPED )\] [0-9]' "$log" | tr '\n' ' ' || true)")
  else
    status=1
    cat "$log"
    summary+=("$exe: FAILED $(grep -E '^\[  (PASSED|FAILED)  \]' "$log" | tr '\n' ' ' || true)")
  fi
  grep -E 'took [0-9]+ ms|ended [0-9]+ ms|leads to' "$log" | sed "s/^/  $exe: /" || true
}
run_suite core_tests
run_suite image_tests
run_suite serial_tests --port "${ports[serial]}"
run_suite loader_tests --port "${ports[loader]}"
run_suite upload_tests --port "${ports[upload]}" --hangup "program=${ports[hangup_program]}" \
  --hangup "complete=${ports[hangup_complete]}"

# kavrel-line.exe end to end.
"$linux/kavrel-image" build union "$work/image.bin" --fw-version W801 --fw-size 0x17FFC >/dev/null
e2e_start=$(date +%s%N)
if (cd "$work" && timeout 300 wine "$win/kavrel-line.exe" -i image.bin --json records.jsonl "${ports[line]}" \
      >"$work/line.log" 2>&1); then
  line_ok=1
else
  line_ok=0
fi
e2e_ms=$((($(date +%s%N) - e2e_start) / 1000000))
cat "$work/line.log"
kill -TERM "${sims[3]}"
wait "${sims[3]}" || true
size=$(stat -c %s "$work/image.bin")
problems=()
[ "$line_ok" = 1 ] || problems+=("kavrel-line.exe did not end with 0")
cmp -s -n "$size" "$work/image.bin" "$work/line.flash" || problems+=("the flash does not hold the image")
if ! jq -e -s 'length == 1 and .[0].result == "passed" and .[0].exitCode == 0 and .[0].verified == true
               and .[0].port == "'"${ports[line]}"'" and .[0].firmwareAfter == "W801"' \
     "$work/records.jsonl" >/dev/null; then
  problems+=("the record is not the valid JSON of a passed unit: $(cat "$work/records.jsonl" 2>/dev/null)")
fi
if [ ${#problems[@]} -eq 0 ]; then
  summary+=("kavrel-line.exe: passed, flash equals the image, record valid (${e2e_ms} ms)")
else
  status=1
  summary+=("kavrel-line.exe: FAILED: ${problems[*]}")
fi

# Watch mode: the receiver on a port the glob matches is flashed once and left alone while it stays; Ctrl+C
# (Wine turns SIGINT into the console's Ctrl+C) ends the station with its summary.
(cd "$work" && exec wine "$win/kavrel-line.exe" -i image.bin --watch 'com[9]' --json watch.jsonl \
  >"$work/watch.log" 2>&1) &
watcher=$!
done_seen=0
for i in $(seq 1200); do
  grep -q 'done; waiting for the next receiver' "$work/watch.log" && { done_seen=1; break; }
  sleep 0.1
done
# The receiver stays connected: a few more looks at the port must not start it again.
sleep 3
kill -INT "$watcher" 2>/dev/null || true
watch_code=0
timeout 60 tail --pid="$watcher" -f /dev/null || { kill -KILL "$watcher" 2>/dev/null || true; watch_code=124; }
wait "$watcher" || watch_code=$?
if [ "$done_seen" = 1 ] && [ "$watch_code" = 0 ] && grep -q 'interrupted, ending the running units' "$work/watch.log" &&
   jq -e -s 'length == 1 and .[0].port == "COM9" and .[0].result == "passed"' "$work/watch.jsonl" >/dev/null; then
  summary+=("kavrel-line.exe --watch: flashed COM9 once, ended on Ctrl+C")
else
  status=1
  cat "$work/watch.log"
  summary+=("kavrel-line.exe --watch: FAILED (exit code $watch_code)")
fi

# The installer, when scripts/package-windows.sh made one: a silent install, the installed programs find
# their loader file, the Apps & features entry, then a silent uninstall that leaves nothing behind.
setup=$(ls "$root"/windows-package/kavrel-*-setup.exe 2>/dev/null | head -n 1 || true)
if [ -n "$setup" ]; then
  folder="$WINEPREFIX/drive_c/Program Files/Kavrel"
  key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Kavrel'
  problems=()
  timeout 120 wine "$setup" /S || problems+=("the installer failed")
  for f in kavrel-line.exe kavrel-image.exe tz5_sfl.hex README.txt GNSS.html uninstall.exe; do
    [ -f "$folder/$f" ] || problems+=("$f not installed")
  done
  wine "C:\\Program Files\\Kavrel\\kavrel-image.exe" loader 'C:\Program Files\Kavrel\tz5_sfl.hex' \
    >"$work/installed.log" 2>&1 || problems+=("the installed loader file does not open")
  wine reg query "$key" /v UninstallString >/dev/null 2>&1 || problems+=("no Apps & features entry")
  timeout 120 wine "$folder/uninstall.exe" /S || problems+=("the uninstaller failed")
  # The uninstaller finishes from a copy of itself in the temporary folder.
  for i in $(seq 100); do [ -e "$folder" ] || break; sleep 0.1; done
  [ ! -e "$folder" ] || problems+=("files left after uninstalling: $(ls "$folder")")
  ! wine reg query "$key" >/dev/null 2>&1 || problems+=("the Apps & features entry stays")
  if [ ${#problems[@]} -eq 0 ]; then
    summary+=("installer: installs, runs, uninstalls cleanly")
  else
    status=1
    summary+=("installer: FAILED: ${problems[*]}")
  fi
fi

printf '\n=== Windows suites under Wine ===\n'
printf '%s\n' "${summary[@]}"
echo "Wine tests took $(($(date +%s) - start)) s"
exit $status
