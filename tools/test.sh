#!/usr/bin/env bash
# The project's test command: installs what is missing, then builds and runs every test in a
# release build and, beside them, the USB guest's scenarios (tools/usbvm.sh); builds, checks with
# lintian, installs, uses and purges the Debian package; builds the programs as an ordinary CMake
# Release build; runs each fuzzer for a short bounded time (ZR_FUZZ_SECONDS, default 10); builds
# everything with clang to check the lock annotations; and runs the tests again under
# ThreadSanitizer and under AddressSanitizer + UndefinedBehaviorSanitizer (the longest roads under
# one of them each). Prints each stage's time.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh

# Each stage's time, printed at the end however the run ends.
stages=()
stage() {
  local name=$1 start=$SECONDS
  shift
  echo "== $name"
  "$@"
  stages+=("$(printf '%-34s %5d s' "$name" $((SECONDS - start)))")
}
guest=
times() {
  [ -z "$guest" ] || kill -- "-$guest" 2>/dev/null || true
  echo "== stage times"
  printf '%s\n' "${stages[@]}"
  printf '%-34s %5d s\n' "total" "$SECONDS"
}
trap times EXIT

quiet() { "$@" >/dev/null; }
ctest_in() {
  local kind=$1 jobs=$2
  shift 2
  (cd "build/$kind" && ctest --output-on-failure -j "$jobs" "$@")
}
# Without a sanitizer the tests mostly wait on real time (the roads' mandated pauses, the
# simulator's answers) and use little of the processors: twice as many run at once as there
# are jobs. Under a sanitizer they are busy.
release_test_jobs=${ZR_TEST_JOBS:-$((2 * ${ZR_JOBS:-2}))}

# Every flavour builds what its stage runs; the clang-check build compiles everything, the
# benchmarks and screenshot programs included.
stage "release build" tools/build.sh release zr_tests usbvm_tests
# The device through a real kernel's USB stack, in a QEMU guest (tools/usbvm.sh). It too mostly
# waits, so it runs beside the release tests; its stage is the rest of its run after them.
mkdir -p build/usbvm
# (A session of its own: a failing stage takes QEMU down with it.)
setsid tools/usbvm.sh >build/usbvm/test.log 2>&1 &
guest=$!
guest_start=$SECONDS
usb_guest() {
  local status=0
  wait "$guest" || status=$?
  guest=
  cat build/usbvm/test.log
  echo "USB guest: $((SECONDS - guest_start)) s from its start"
  return "$status"
}
# The road through the real pkexec runs once, with the installed package's tool, below.
stage "release tests" ctest_in release "$release_test_jobs" -E '^Ways/UnderPkexec\..*/ThroughPkexec'
stage "USB guest" usb_guest
# The Debian package, built as a packager would and checked with lintian, then installed, its
# tool run through pkexec along the whole road, and purged again.
stage "Debian package" tools/package.sh
stage "Debian package installed" tools/package-check.sh
# The ordinary CMake Release build (-O3, no -Werror) must keep building, and without warnings.
stage "plain-release build (programs)" \
  quiet tools/build.sh plain-release zr40-loader zr40-devsim zr40-imagegen
stage "fuzzing" tools/fuzz.sh "${ZR_FUZZ_SECONDS:-10}"
# A few minutes on two cores; the fuzz build checks the lock annotations of its targets only.
stage "clang-check build" quiet tools/build.sh clang-check
# The long real-time roads (a
# minute each) run in the release stage and under one sanitizer each: the kills and the shipped
# script's threads under ThreadSanitizer, the whole road's processes and the link-swapping race
# under AddressSanitizer.
long_for_asan='^(WholeRoad\.|Ways/UnderPkexec\.|HostileUser\.Swapping)'
long_for_tsan='^(ToolKilled\.|E2eTest\.TheShippedScript)'
stage "tsan build" tools/build.sh tsan zr_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  stage "tsan tests" ctest_in tsan "${ZR_JOBS:-2}" -E "$long_for_asan"
stage "asan build" tools/build.sh asan zr_tests
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  stage "asan tests" ctest_in asan "${ZR_JOBS:-2}" -E "$long_for_tsan"
