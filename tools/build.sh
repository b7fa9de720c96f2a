#!/usr/bin/env bash
# tools/build.sh <kind>: configures and builds one flavour into build/<kind>.
#   release  optimised, warnings as errors
#   asan     AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan     ThreadSanitizer
#   fuzz     clang + libFuzzer targets only
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-release}
jobs=${ZR_JOBS:-2}
dir=build/$kind
args=(-G Ninja -S . -B "$dir")
case "$kind" in
  release) args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  asan)    args+=(-DCMAKE_BUILD_TYPE=Debug -DZR_SANITIZE=address) ;;
  tsan)    args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZR_SANITIZE=thread) ;;
  fuzz)    args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZR_FUZZ=ON
                  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  *) echo "unknown build kind: $kind" >&2; exit 2 ;;
esac
cmake "${args[@]}" >/dev/null
cmake --build "$dir" -j "$jobs"
