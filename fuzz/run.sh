#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for a fixed budget each, from the seed corpus the build wrote.
set -euo pipefail
build=$1
seconds=${2:-60}
corpus=$build/bin/fuzz-corpus
status=0
# run NAME [FLAGS...] [-- SEED_DIRS...]; new inputs go to a scratch folder, the seeds stay as they are.
run() {
  local name=$1
  shift
  local flags=() seeds=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do flags+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  seeds=("$@")
  local work
  work=$(mktemp -d)
  echo "--- $name for ${seconds}s"
  if ! "$build/bin/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$work/" "${flags[@]}" "$work" "${seeds[@]}"; then
    echo "$name found a failure; artifacts in $work"
    status=1
  fi
}
run fuzz_image_reader -max_len=20000 -dict="$corpus/image.dict" -- "$corpus/image"
run fuzz_frame_builder
run fuzz_sentence_reader -max_len=512 -dict="$corpus/sentence.dict" -- "$corpus/sentence"
exit $status
