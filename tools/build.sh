#!/usr/bin/env bash
# tools/build.sh <kind> [target...]: configures and builds one flavour into build/<kind>; with
# targets, only those and what they need.
#   release        optimised, warnings as errors
#   asan           AddressSanitizer + UndefinedBehaviorSanitizer
#   tsan           ThreadSanitizer
#   fuzz           clang + libFuzzer targets only
#   clang-check    clang, unoptimised, warnings as errors: checks the lock annotations
#                  (-Wthread-safety) and clang's other warnings; built, not run
#   plain-release  configured as a packager would (CMake's Release, no -Werror); always built
#                  from clean, and any compiler warning fails it
set -euo pipefail
cd "$(dirname "$0")/.."
kind=${1:-release}
shift || true
jobs=${ZR_JOBS:-2}
dir=build/$kind
args=(-G Ninja -S . -B "$dir")
werror=(-DZR_WERROR=ON)
case "$kind" in
  release) args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "${werror[@]}") ;;
  asan)    args+=(-DCMAKE_BUILD_TYPE=Debug -DZR_SANITIZE=address "${werror[@]}") ;;
  tsan)    args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZR_SANITIZE=thread "${werror[@]}") ;;
  fuzz)    args+=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DZR_FUZZ=ON "${werror[@]}"
                  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  clang-check) args+=(-DCMAKE_BUILD_TYPE=Debug "${werror[@]}"
                       -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  plain-release) args+=(-DCMAKE_BUILD_TYPE=Release) ;;
  *) echo "unknown build kind: $kind" >&2; exit 2 ;;
esac
targets=()
if [ $# -gt 0 ]; then
  targets=(--target "$@")
fi
# A compiler cache makes a rebuild of the same sources cheap, in another flavour's folder or in
# another clone (paths are taken relative to the clone), for developers and CI alike.
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
  args+=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake "${args[@]}" >/dev/null
if [ "$kind" != plain-release ]; then
  cmake --build "$dir" -j "$jobs" "${targets[@]}"
  exit 0
fi
# Without -Werror a warning does not stop the build, and an incremental build would not show it
# again: build from clean and look for warnings in what the compiler said.
log=$dir/build.log
cmake --build "$dir" -j "$jobs" --clean-first "${targets[@]}" 2>&1 | tee "$log"
if grep -q 'warning:' "$log"; then
  echo "plain-release: the compiler warned (see $log)" >&2
  exit 1
fi
