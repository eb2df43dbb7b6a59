#!/usr/bin/env bash
# The main job: an unattended upload of a sample union image to the built-in receiver simulator.
# Installs what it needs, builds, starts kavrel-sim on a pseudo-terminal, runs
#   kavrel -i <sample image> -p <simulator port> -m -n -l <log>
# and reports the outcome, the exit code and whether the simulated flash now equals the image.
set -uo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=${KV_BUILD_ROOT:-$here/build}
"$here/scripts/install-deps.sh" || exit 1
cmake -S "$here" -B "$out/plain" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKV_WERROR=ON || exit 1
cmake --build "$out/plain" -j "$(nproc)" --target kavrel kavrel-sim kavrel-image kv_sfl_file || exit 1

bin=$out/plain/bin
work=$(mktemp -d /tmp/kavrel-main-job.XXXXXX)
"$bin/kavrel-image" build union "$work/sample.bin" > /dev/null || exit 1
echo "Sample image: $work/sample.bin"
"$bin/kavrel-image" info "$work/sample.bin" | sed 's/^/  /'

# The simulated receiver answers with the sample image's family letter, so no type warning appears.
"$bin/kavrel-sim" --once --version A102 --flash-out "$work/flash.bin" --link "$work/port" \
  --stats "$work/sim-stats.txt" > "$work/sim.out" 2> "$work/sim.err" &
sim=$!
for _ in $(seq 1 100); do [ -e "$work/port" ] && break; sleep 0.1; done
[ -e "$work/port" ] || { echo "kavrel-sim did not start"; cat "$work/sim.err"; exit 1; }
echo "Receiver simulator on $(readlink "$work/port")"

env -u DISPLAY -u WAYLAND_DISPLAY "$bin/kavrel" -i "$work/sample.bin" -p "$work/port" -m -n -l "$work/run.log"
code=$?
wait "$sim"

echo
echo "kavrel exit code: $code"
echo "Log file: $work/run.log ($(wc -l < "$work/run.log") lines)"
[ -s "$work/sim-stats.txt" ] && { echo "Simulator statistics:"; sed 's/^/  /' "$work/sim-stats.txt"; }
if cmp -s -n "$(stat -c%s "$work/sample.bin")" "$work/flash.bin" "$work/sample.bin"; then
  echo "Outcome: the simulator's flash equals the image"
else
  echo "Outcome: the simulator's flash differs from the image"
  [ "$code" -eq 0 ] && code=1
fi
exit "$code"
