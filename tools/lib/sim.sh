# Starting and stopping the simulated ZR-40 (zr40-devsim) for the scripts in tools/; sourced.

sim_pid=

# sim_start BIN DIR LOG [option...]: starts build BIN's simulator with run directory DIR and its
# output in LOG, and waits up to 10 s for its "ready" line. Fails, showing LOG, without it.
sim_start() {
  local bin=$1 dir=$2 log=$3
  shift 3
  "$bin/sim/devsim/zr40-devsim" --dir "$dir" "$@" >"$log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do
    grep -q '^ready' "$log" 2>/dev/null && return 0
    sleep 0.1
  done
  cat "$log" >&2
  return 1
}

# sim_stop: SIGTERM, so the device goes away with its catalogue records and symlinks; waits.
sim_stop() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
    sim_pid=
  fi
}
