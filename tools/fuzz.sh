#!/usr/bin/env bash
# tools/fuzz.sh [SECONDS | --long] [TARGET...]: builds the libFuzzer targets and runs each (all of
# them, or those named) one after the other: for SECONDS seconds (default 30), or with --long to
# 10 million executions. Each starts from its corpus, build/fuzz/corpus/<target> (kept between
# runs; new inputs go there), and its committed seeds, tests/fuzz/seeds/<target>. One summary line
# a target: executions, executions per second, coverage (cov, ft) and the outcome; the whole log
# is build/fuzz/logs/<target>.log. Fails when a target crashes, leaks, times out or breaks one of
# its checks; the input that did is in build/fuzz/artifacts/<target>/. After a long run the corpus
# is merged down to the inputs that add coverage, so that later runs start quickly.
set -euo pipefail
cd "$(dirname "$0")/.."
limit=(-max_total_time=30)
mode="30 s"
long=0
if [ $# -gt 0 ]; then
  case "$1" in
    --long) limit=(-runs=10000000); mode="10M runs"; long=1; shift ;;
    [0-9]*) limit=(-max_total_time="$1"); mode="$1 s"; shift ;;
  esac
fi
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  mapfile -t targets < <(sed -n 's/^zr_add_fuzzer(\([a-z0-9_]*\) .*/\1/p' tests/fuzz/CMakeLists.txt)
fi
tools/build.sh fuzz "${targets[@]}"

# A smaller quarantine than ASan's 256 MiB: one input frees far less than 64 MiB, so a use after
# free within it is still caught, and the allocator does not keep faulting in fresh pages.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=64}
mkdir -p build/fuzz/logs
failed=()
for name in "${targets[@]}"; do
  bin=build/fuzz/tests/fuzz/$name
  corpus=build/fuzz/corpus/$name
  seeds=tests/fuzz/seeds/$name
  artifacts=build/fuzz/artifacts/$name/
  log=build/fuzz/logs/$name.log
  mkdir -p "$corpus" "$artifacts"
  inputs=("$corpus")
  [ -d "$seeds" ] && inputs+=("$seeds")
  echo "fuzz: $name ($mode)"
  status=0
  "$bin" "${limit[@]}" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$artifacts" "${inputs[@]}" >"$log" 2>&1 || status=$?
  # "Done N runs in S second(s)" and the last status line "#N DONE cov: C ft: F corp: ...".
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  secs=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
  cov=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2 || true)
  ft=$(grep -o 'ft: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2 || true)
  rate=-
  if [ -n "$runs" ] && [ -n "$secs" ] && [ "$secs" -gt 0 ]; then
    rate=$((runs / secs))
  elif [ -n "$runs" ]; then
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -n 1)
  fi
  outcome=ok
  if [ "$status" -ne 0 ]; then
    outcome="FAILED (exit $status; see $log)"
    failed+=("$name")
    grep -E '^(==[0-9]+==ERROR|SUMMARY|artifact_prefix|Test unit written)' "$log" | head -n 5 || true
  fi
  printf 'fuzz: %-22s %10s runs in %5s s  %8s exec/s  cov %5s  ft %6s  %s\n' \
    "$name" "${runs:--}" "${secs:--}" "$rate" "${cov:--}" "${ft:--}" "$outcome"
  if [ "$long" -eq 1 ] && [ "$status" -eq 0 ]; then
    rm -rf "$corpus.merged"
    mkdir -p "$corpus.merged"
    if "$bin" -merge=1 -timeout=10 -rss_limit_mb=2048 "$corpus.merged" "${inputs[@]}" \
      >"build/fuzz/logs/$name.merge.log" 2>&1; then
      rm -rf "$corpus"
      mv "$corpus.merged" "$corpus"
    else
      echo "fuzz: $name: merging the corpus failed (see build/fuzz/logs/$name.merge.log)" >&2
      rm -rf "$corpus.merged"
    fi
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failed: ${failed[*]}" >&2
  exit 1
fi
