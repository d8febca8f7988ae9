#!/usr/bin/env bash
# Builds the benchmarks (optimised, no sanitizers) and runs every Google Benchmark executable
# under bench/, or only those whose folder name contains the given word:
#   scripts/bench.sh             all benchmarks
#   scripts/bench.sh logging     the logging figures with their targets
# Each benchmark prints its figures; those with targets print them side by side.
set -euo pipefail
cd "$(dirname "$0")/.."

filter="${1:-}"
bash scripts/setup.sh

dir=build/bench
cmake -G Ninja -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DZB_BENCHMARKS=ON >/dev/null
status=0
for folder in bench/*/; do
  name="$(basename "$folder")"
  [ -n "$filter" ] && [[ "$name" != *"$filter"* ]] && continue
  cmake --build "$dir" --target "bench/$name/all" -j "$(nproc)"
  for exe in "$dir/bench/$name"/zb_bench_*; do
    [ -x "$exe" ] && [ -f "$exe" ] || continue
    echo "== $exe"
    "$exe" --benchmark_color=false || status=1
  done
done
exit $status
