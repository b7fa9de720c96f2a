#!/usr/bin/env bash
# tools/bench.sh: speed and memory figures of the device link and of a full firmware write
# against the simulated ZR-40 (release build). Prints figures; asserts nothing.
#   0. registry_bench: store operations as the programs make them, median and 99th percentile;
#   1. port_bench: Send of 65,560-byte frames vs raw writes to the same pseudo-terminal, and
#      the round trip of an 8-byte answer with WaitTime 10 and 1;
#   2. the complete shipped script with zero simulated flash time, with the shipped
#      configuration (WaitTime=10) and with a copy that sets WaitTime=1: wall time, the part
#      spent in the mandated waits, the LM download throughput, peak resident memory.
#   3. window_bench: a post by title to a window of another process, as a round trip (median and
#      99th percentile).
#   4. net_bench: a notification POST and a version page GET against zr40-serverd (median and
#      99th percentile).
#   5. manager_idle_bench: ZR40_UpManager hidden in the tray with nothing to do, CPU time and
#      voluntary context switches over ZR_IDLE_SECONDS (default 60).
#   6. tool_bench: ZR40_SWUpdate from launch to its main window (median, p90) and its whole road
#      with the embedded script up to the manager's confirmation, less the mandated waits; and
#      zr40-loader from launch to the first frame the simulator receives (median of 10 launches),
#      split by the program's start trace: process start to main, main to script start,
#      discovery, port open, the rest, and apart from them the row pauses before that frame.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/lib/sim.sh
tools/setup.sh
tools/build.sh release >/dev/null
bin=$PWD/build/release

echo "== state store, open-use-close per call (registry_bench)"
"$bin/tests/bench/registry_bench"

echo "== device link (port_bench)"
"$bin/tests/bench/port_bench" --benchmark_min_time=0.5 2>&1 | tee /tmp/zr40-port-bench.txt | grep -v '^\*\*\*'
# Google Benchmark prints bytes_per_second with binary prefixes (k, M, G = 1024^n).
raw=$(awk '/^RawPty/ { for (i = 1; i <= NF; i++) if ($i ~ /bytes_per_second=/) {
         v = $i; sub(/bytes_per_second=/, "", v); sub(/\/s$/, "", v)
         m = 1; if (v ~ /k$/) m = 1024; if (v ~ /M$/) m = 1048576; if (v ~ /G$/) m = 1073741824
         sub(/[kMG]$/, "", v); printf "%.0f\n", v * m; exit } }' /tmp/zr40-port-bench.txt)

work=$(mktemp -d /tmp/zr40-bench.XXXXXX)
cleanup() {
  sim_stop
  rm -rf "$work"
}
trap cleanup EXIT

full_write() {
  local wait_time=$1 dir=$work/wt$1
  mkdir -p "$dir"
  sed "s/^WaitTime=.*/WaitTime=$wait_time/" Loader/app/res/Loader_Ini.ini >"$dir/config.ini"
  sim_start "$bin" "$dir/device" "$dir/device.log" --frame-log "$dir/frames.log" || true
  local rc=0
  (cd "$dir" && ZR40_DEVICE_CATALOG=$dir/device/catalog.txt /usr/bin/time -f '%e %M' -o "$dir/time.txt" \
     "$bin/Loader/app/zr40-loader" --config "$dir/config.ini" --verbose >"$dir/steps.log" 2>"$dir/stderr.log") || rc=$?
  sim_stop
  if [ "$rc" -ne 0 ]; then
    echo "WaitTime=$wait_time: the write failed ($rc)"; tail -n 5 "$dir/stderr.log" "$dir/steps.log"
    cat "$dir/ZR40Loader_err.log" 2>/dev/null || true
    return 0
  fi
  read -r wall rss_kb <"$dir/time.txt"
  rows=$("$bin/Loader/app/zr40-loader" --show | awk '/rows$/ { print $(NF-1) }')
  answers=$(grep -c '^tx ' "$dir/frames.log" || true)
  # The LM rows: from their "LM_Size=" line to the first step of the next row.
  read -r lm_bytes lm_seconds < <(awk '
      /LM_Size=/ { t0 = $2 + 0; split($NF, a, "="); bytes += a[2]; open = 1; next }
      open && /DBB D2/ { secs += $2 - t0; open = 0 }
      END { printf "%d %.3f\n", bytes, secs }' FS='[][ ]+' "$dir/steps.log")
  awk -v wall="$wall" -v rss="$rss_kb" -v wt="$wait_time" -v rows="$rows" -v answers="$answers" \
      -v lmb="$lm_bytes" -v lms="$lm_seconds" -v raw="$raw" 'BEGIN {
    timers = 20; pauses = rows * wt / 1000
    # each answer: the receive loop interval, two or three Recv polls and a 1 ms settle
    polls = answers * (3 * wt + 1) / 1000
    rawt = (raw > 0) ? lmb / raw : 0
    rest = wall - timers - pauses - polls - rawt
    printf "WaitTime=%d: wall %.2f s; Timer rows %.1f s, row pauses %.2f s, answer polling ~%.2f s (%d answers), raw transfer %.2f s; rest %.2f s (%.1f%%)\n", wt, wall, timers, pauses, polls, answers, rawt, rest, 100 * rest / wall
    printf "             LM download %.1f MB in %.2f s = %.2f MB/s (raw pty %.1f MB/s)\n", lmb / 1e6, lms, (lms > 0 ? lmb / lms / 1e6 : 0), raw / 1e6
    printf "             peak RSS %.1f MB\n", rss / 1024
  }'
}

echo "== window post across processes (window_bench)"
"$bin/tests/bench/window_bench"

echo "== HTTP round trip against zr40-serverd (net_bench)"
"$bin/tests/bench/net_bench"

echo "== update manager idle in the tray (manager_idle_bench)"
"$bin/tests/bench/manager_idle_bench" --seconds "${ZR_IDLE_SECONDS:-60}"

echo "== full write against zr40-devsim"
full_write 10
full_write 1

echo "== update tool, start-up and whole road; zr40-loader to the first frame (tool_bench)"
"$bin/tests/bench/tool_bench"
