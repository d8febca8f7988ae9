#!/usr/bin/env bash
# Builds the benchmarks in Release and runs them all; the figures go to docs/performance/ and
# into the results section of docs/performance.md.
#   scripts/bench.sh            full run: throughput as the median of 5 interleaved rounds with
#                               its spread, 10,000-event latencies, 30 s idle, then the key and
#                               title paths of the plug-in against the floor relay in 5
#                               interleaved rounds (ratios beside the targets)
#   scripts/bench.sh --quick    short volumes, 3 s idle (a smoke run; figures are rough)
# Environment: BENCH_ROUNDS (interleaved rounds of the throughput and of the floor comparison,
# at least 5), BENCH_BUILD (build folder, default build/bench).
set -euo pipefail
cd "$(dirname "$0")/.."

quick=""
case "${1:-}" in
  --quick) quick=--quick ;;
  "") ;;
  *) echo "bench.sh: unknown option $1" >&2; exit 2 ;;
esac
rounds="${BENCH_ROUNDS:-5}"
build="${BENCH_BUILD:-build/bench}"
out=docs/performance
mkdir -p "$out"

bash scripts/setup.sh || echo "bench.sh: continuing without installing packages" >&2
cmake -G Ninja -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DZB_BENCHMARKS=ON >/dev/null
targets=(zb_bench_ws_server zb_bench_memcpy zb_bench_ws_ours zb_bench_ws_beast zb_bench_e2e zb_bench_e2e_floor
  zorbel-streamdeck-plugin)
for optional in zb_bench_ws_websocketpp zb_bench_ws_libwebsockets; do
  # A peer whose Debian package is missing has no target.
  grep -q "EXECUTABLE target $optional\$" "$build/build.ninja" && targets+=("$optional")
done
cmake --build "$build" --target "${targets[@]}" -j "$(nproc)"

echo "$(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs ($(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')), \
load average before: $(cut -d' ' -f1-3 /proc/loadavg), $(uname -sr), Release build (g++ $(g++ -dumpfullversion)) \
of $(git describe --always --dirty 2>/dev/null || echo 'an unknown revision')" \
  >"$out/machine.txt"

/usr/bin/python3 bench/throughput/run_throughput.py --bin "$build/bench/throughput" --rounds "$rounds" $quick \
  --json "$out/throughput.json" --markdown "$out/throughput.md"
/usr/bin/python3 bench/throughput/chart.py "$out/throughput.json" "$out/throughput.png"
"$build/bench/e2e/zb_bench_e2e" "$build/src/app/zorbel-streamdeck-plugin" $quick --rounds "$rounds" \
  --json "$out/e2e.json"
# Again with the harness, the bus daemon and the plug-in at a real-time priority, which takes the
# rest of the machine's load out of the latency tails (needs root).
rm -f "$out/e2e-fifo.json"
if [ "$(id -u)" -eq 0 ] && command -v chrt >/dev/null; then
  chrt -f 10 "$build/bench/e2e/zb_bench_e2e" "$build/src/app/zorbel-streamdeck-plugin" $quick \
    --rounds "$rounds" --json "$out/e2e-fifo.json"
fi
/usr/bin/python3 bench/report.py "$out" docs/performance.md
echo "bench.sh: results in $out/ and docs/performance.md"
