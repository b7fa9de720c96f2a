#!/usr/bin/env bash
# tools/fuzz.sh [seconds]: builds the libFuzzer targets and runs each for the given time
# (default 30 s). Corpora are kept under build/fuzz/corpus/<target> between runs.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
tools/build.sh fuzz
for bin in build/fuzz/tests/fuzz/*_fuzz; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin")
  corpus=build/fuzz/corpus/$name
  mkdir -p "$corpus"
  echo "fuzz: $name for ${seconds}s"
  "$bin" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    "$corpus" 2>&1 | tail -n 12
done
