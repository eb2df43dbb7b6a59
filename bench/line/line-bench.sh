#!/usr/bin/env bash
# Station benchmark against simulated receivers paced at 115200 bit/s (kavrel-sim's default timings).
#   bench/line/line-bench.sh BIN_DIR [RUNS]
# 1. Scaling: one batch of 1, 8 and 32 receivers; wall time against the single upload, and kavrel-line's
#    CPU time per port (user+sys over wall time and port count).
# 2. --skip-blank on an image whose frames are one quarter blank (the erased gap between the PFL and the
#    main firmware: 11 of 44 frames), against the plain upload; the flash must equal the image.
# Needs /usr/bin/time. Prints one line per run and the medians.
set -euo pipefail
BIN=$(realpath "${1:?BIN_DIR}")
RUNS=${2:-3}
WORK=$(mktemp -d /tmp/kv_line_bench_XXXXXX)
SIMS=()
cleanup() {
  for pid in "${SIMS[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

"$BIN/kavrel-image" build union "$WORK/scale.bin" --fw-size 0x8000 >/dev/null
"$BIN/kavrel-image" build union "$WORK/quarter.bin" --fw-size 0xDFFC >/dev/null

start_sims() { # count
  for ((k = 0; k < $1; k++)); do
    "$BIN/kavrel-sim" --link "$WORK/p$k" --flash-out "$WORK/p$k.flash" >"$WORK/sim$k.out" 2>&1 &
    SIMS+=($!)
  done
  for ((k = 0; k < $1; k++)); do
    until [ -e "$WORK/p$k" ]; do sleep 0.1; done
  done
}

median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

# run LABEL ARGS...: RUNS timed runs of kavrel-line; prints wall and CPU seconds of each, then medians.
run() {
  local label=$1; shift
  : >"$WORK/$label.times"
  for ((r = 0; r < RUNS; r++)); do
    /usr/bin/time -f '%e %U %S' -o "$WORK/t" "$BIN/kavrel-line" "$@" >"$WORK/$label.out" 2>&1 || {
      echo "$label: kavrel-line failed"; cat "$WORK/$label.out"; exit 1; }
    read -r wall user sys <"$WORK/t"
    echo "$wall $(echo "$user + $sys" | bc -l)" >>"$WORK/$label.times"
    echo "$label run $r: wall $wall s, cpu $(echo "$user + $sys" | bc -l) s"
  done
  WALL=$(cut -d' ' -f1 "$WORK/$label.times" | median)
  CPU=$(cut -d' ' -f2 "$WORK/$label.times" | median)
}

start_sims 32
ports() { for ((k = 0; k < $1; k++)); do echo "$WORK/p$k"; done; }

run one -i "$WORK/scale.bin" $(ports 1); W1=$WALL; C1=$CPU
for n in 8 32; do
  run "batch$n" -i "$WORK/scale.bin" $(ports "$n")
  printf 'batch of %2d: wall %.2f s (single %.2f s), ratio %.3f; cpu %.3f s = %.3f %% of a core per port\n' \
    "$n" "$WALL" "$W1" "$(echo "$WALL / $W1" | bc -l)" "$CPU" "$(echo "100 * $CPU / $WALL / $n" | bc -l)"
done
printf 'single: wall %.2f s; cpu %.3f s = %.3f %% of a core\n' "$W1" "$C1" "$(echo "100 * $C1 / $W1" | bc -l)"

run plain -i "$WORK/quarter.bin" --json "$WORK/plain.jsonl" "$WORK/p0"; WP=$WALL
run skip -i "$WORK/quarter.bin" --skip-blank --json "$WORK/skip.jsonl" "$WORK/p0"; WS=$WALL
kill -USR1 "${SIMS[0]}"
sleep 1
size=$(stat -c %s "$WORK/quarter.bin")
if cmp -s -n "$size" "$WORK/quarter.bin" "$WORK/p0.flash"; then same=yes; else same=NO; fi
prog() { grep -o '"program":[0-9][0-9]*' "$1" | cut -d: -f2 | median; }
printf 'skip-blank: wall %.2f s against %.2f s, ratio %.3f; programming phase %s ms against %s ms; flash equals image: %s\n' \
  "$WS" "$WP" "$(echo "$WS / $WP" | bc -l)" "$(prog "$WORK/skip.jsonl")" "$(prog "$WORK/plain.jsonl")" "$same"
