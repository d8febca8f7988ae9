#!/usr/bin/env bash
# Builds everything and runs the whole test suite.
#   scripts/test.sh                      normal build in build/default
#   scripts/test.sh --werror             warnings are errors
#   scripts/test.sh --sanitize address   AddressSanitizer + UndefinedBehaviorSanitizer (build/address)
#   scripts/test.sh --sanitize thread    ThreadSanitizer, tests labelled "concurrent" only (build/thread)
set -euo pipefail
cd "$(dirname "$0")/.."

werror=OFF sanitize="" compiler=""
while [ $# -gt 0 ]; do
  case "$1" in
    --werror) werror=ON ;;
    --sanitize) sanitize="$2"; shift ;;
    --clang) compiler=clang ;;
    *) echo "test.sh: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

bash scripts/setup.sh

dir="build/${sanitize:-default}${compiler:+-$compiler}"
args=(-G Ninja -S . -B "$dir" -DZB_WERROR="$werror" -DZB_SANITIZE="$sanitize")
if [ -n "$sanitize" ]; then args+=(-DZB_BENCHMARKS=OFF); fi
if [ "$compiler" = clang ]; then args+=(-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++); fi
cmake "${args[@]}" >/dev/null
# Under ThreadSanitizer only the tests labelled "concurrent" run, so only what they need is built.
targets=()
[ "$sanitize" = thread ] && targets=(--target zb_concurrent)
cmake --build "$dir" -j "$(nproc)" "${targets[@]}"

ctest_args=(--test-dir "$dir" --output-on-failure -j "$(nproc)" --timeout 300)
case "$sanitize" in
  thread) ctest_args+=(-L concurrent)
          export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ;;
  address) export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" ;;
esac
ctest "${ctest_args[@]}"
