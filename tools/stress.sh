#!/usr/bin/env bash
# tools/stress.sh: runs every test binary of a build again and again beside busy loops, to shake
# out tests that fail only now and then. Builds nothing: run tools/build.sh <kind> first.
#   -k KIND     build kind under build/ (default release)
#   -n COUNT    runs of each binary (default 30)
#   -t REGEX    only the binaries whose name matches (e.g. 'kernel|engine')
#   -g FILTER   passed as --gtest_filter
#   -b BUSY     busy loops beside the tests (default 2)
#   -S          keep the tests' order (default: shuffled, seed = run number)
# Every run's output is kept in build/<kind>/stress/<binary>.<run>.log while it fails; the
# failures are listed at the end with what reruns them. Exit status 1 when any run failed.
set -euo pipefail
cd "$(dirname "$0")/.."
kind=release count=30 match='' filter='' busy=2 shuffle=1
while getopts 'k:n:t:g:b:S' opt; do
  case "$opt" in
    k) kind=$OPTARG ;;
    n) count=$OPTARG ;;
    t) match=$OPTARG ;;
    g) filter=$OPTARG ;;
    b) busy=$OPTARG ;;
    S) shuffle=0 ;;
    *) sed -n '2,11p' "$0" >&2; exit 2 ;;
  esac
done
dir=$PWD/build/$kind
[ -d "$dir/tests" ] || { echo "no build in $dir: run tools/build.sh $kind first" >&2; exit 2; }

binaries=()
while IFS= read -r bin; do
  name=$(basename "$bin")
  if [ -z "$match" ] || [[ $name =~ $match ]]; then binaries+=("$bin"); fi
done < <(find "$dir/tests" -path "$dir/tests/bench" -prune -o -path "$dir/tests/fuzz" -prune -o \
           -type f -name '*_tests' -perm -u+x -print | sort)
[ ${#binaries[@]} -gt 0 ] || { echo "no test binary matches '$match' in $dir/tests" >&2; exit 2; }

busy_pids=()
stop_busy() {
  for pid in "${busy_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${busy_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_busy EXIT
trap 'exit 130' INT TERM
for _ in $(seq "$busy"); do
  sh -c 'while :; do :; done' &
  busy_pids+=($!)
done

logs=$dir/stress
mkdir -p "$logs"
export ZR_IMAGE_DIR=$dir/images
failures=()
echo "stress: ${#binaries[@]} binaries x $count runs beside $busy busy loops ($kind)"
for bin in "${binaries[@]}"; do
  name=$(basename "$bin")
  failed=0 start=$SECONDS
  for run in $(seq "$count"); do
    args=()
    [ -z "$filter" ] || args+=("--gtest_filter=$filter")
    [ "$shuffle" -eq 0 ] || args+=(--gtest_shuffle "--gtest_random_seed=$run")
    log=$logs/$name.$run.log
    rc=0
    (cd "$(dirname "$bin")" && timeout 900 "$bin" "${args[@]}") >"$log" 2>&1 || rc=$?
    if [ "$rc" -eq 0 ]; then
      rm -f "$log"
      continue
    fi
    failed=$((failed + 1))
    why="exit $rc"
    [ "$rc" -ne 124 ] || why="timed out"
    [ "$rc" -le 128 ] || [ "$rc" -eq 124 ] || why="signal $(kill -l $((rc - 128)) 2>/dev/null || echo $((rc - 128)))"
    tests=$(grep -E '^\[  FAILED  \] [^ ]+\.[^ ]+' "$log" | awk '{ print $4 }' | sort -u | paste -sd, - || true)
    [ -n "$tests" ] || tests=$(grep -E '^\[ RUN      \]' "$log" | tail -n 1 | awk '{ print $4 }' || true)
    failures+=("$name run $run ($why) ${tests:+in $tests }log $log; rerun: (cd $(dirname "$bin") && $bin ${args[*]})")
  done
  echo "$name: $((count - failed))/$count passed in $((SECONDS - start)) s"
done

if [ ${#failures[@]} -eq 0 ]; then
  echo "stress: no failures"
  exit 0
fi
echo "stress: ${#failures[@]} failed runs"
printf '  %s\n' "${failures[@]}"
exit 1
