#!/usr/bin/env bash
# Configures and builds one flavour of the tree into build/<flavour>:
#   release  optimised build with tests and benchmarks
#   asan     AddressSanitizer + UndefinedBehaviorSanitizer build with tests
#   fuzz     clang build of the libFuzzer targets only
# Extra arguments are passed to "cmake --build" (e.g. --target test_store_user_list).
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-release}
shift || true
jobs=${KESTRUNE_JOBS:-$(nproc)}

case "$flavour" in
  release) args=(-DCMAKE_BUILD_TYPE=Release) ;;
  asan)    args=(-DCMAKE_BUILD_TYPE=Debug -DKESTRUNE_SANITIZE=ON -DKESTRUNE_BENCH=OFF) ;;
  fuzz)    args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRUNE_FUZZ=ON
                 -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++) ;;
  *) echo "usage: $0 release|asan|fuzz [cmake --build arguments]" >&2; exit 2 ;;
esac

dir=build/$flavour
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja "${args[@]}"
fi
cmake --build "$dir" -j "$jobs" "$@"
