#!/usr/bin/env bash
# The project's test command: installs what is missing, then builds and runs every test in a
# release build, builds the programs as an ordinary CMake Release build, runs each fuzzer for a
# short bounded time (ZR_FUZZ_SECONDS, default 20), builds everything with clang to check the
# lock annotations, and runs the tests again under ThreadSanitizer and under
# AddressSanitizer + UndefinedBehaviorSanitizer. The Debian package is built, checked with
# lintian, installed, used and purged.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh

run_tests() {
  local kind=$1
  echo "== $kind build"
  tools/build.sh "$kind"
  echo "== $kind tests"
  (cd "build/$kind" && ctest --output-on-failure -j "${ZR_JOBS:-2}")
}

run_tests release
# The Debian package, built as a packager would and checked with lintian, then installed, its
# tool run through pkexec along the whole road, and purged again.
echo "== Debian package"
tools/package.sh
echo "== Debian package installed"
tools/package-check.sh
# The ordinary CMake Release build (-O3, no -Werror) must keep building, and without warnings.
echo "== plain-release build (programs)"
tools/build.sh plain-release zr40-loader zr40-devsim zr40-imagegen >/dev/null
tools/fuzz.sh "${ZR_FUZZ_SECONDS:-20}"
# A few minutes on two cores; the fuzz build checks the lock annotations of its targets only.
echo "== clang-check build"
tools/build.sh clang-check >/dev/null
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 run_tests tsan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_tests asan
