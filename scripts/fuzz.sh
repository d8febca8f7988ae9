#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan, every library compiled with coverage
# guidance) and runs each for a bounded time, starting from the committed seed corpora.
#   scripts/fuzz.sh                    every target for 60 s each, two at a time on two cores
#   scripts/fuzz.sh --time 20          every target for 20 s
#   scripts/fuzz.sh --jobs 1           one target at a time
#   scripts/fuzz.sh SDMessageFuzzer    only the named targets
#   scripts/fuzz.sh --dir build/x      another build folder (default build/fuzz)
#   scripts/fuzz.sh --seed 1           a fixed random seed (CI: the same mutations every run)
# New corpus entries go to a scratch folder (the committed seeds stay small). A finding leaves
# its input in <build folder>/artifacts/<target>/ and the script fails; replay it with
#   build/fuzz/fuzz/[...]/<target> build/fuzz/artifacts/<target>/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."

time=60 jobs="$(nproc)" dir=build/fuzz targets=() seed=()
while [ $# -gt 0 ]; do
  case "$1" in
    --time) time="$2"; shift ;;
    --jobs) jobs="$2"; shift ;;
    --dir) dir="$2"; shift ;;
    --seed) seed=(-seed="$2"); shift ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1") ;;
  esac
  shift
done
all=(WSFrameReaderFuzzer WSHTTPResponseFuzzer WSFrameHeaderFuzzer UTF8Fuzzer WSHTTPConnectResponseFuzzer
     WSPACAnswerFuzzer SDMessageFuzzer DistributedNotificationUserInfoFuzzer PreferencesFileFuzzer
     DeckConfigFuzzer)
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")

bash scripts/setup.sh

cmake -G Ninja -S . -B "$dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DZB_WERROR=ON \
  -DZB_FUZZERS=ON -DZB_BENCHMARKS=OFF -DZB_SANITIZE=address \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
export ASAN_OPTIONS="abort_on_error=1:detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TMPDIR="$scratch"

run() {
  local target="$1" work="$scratch/$1" artifacts="$dir/artifacts/$1" seeds=() extra=() program
  program="$(find "$dir/fuzz" -type f -name "$target" -perm -u+x | head -1)"
  mkdir -p "$work" "$artifacts"
  [ -d "fuzz/corpus/$target" ] && seeds=("fuzz/corpus/$target")
  case "$target" in
    # These leave work behind an input that finishes later (the log writer's queue, a connection's
    # clean-up) or keep what they read (each input is a fresh preferences domain, kept for the
    # process's life). libFuzzer would take that for a leak after each input and run the leak
    # checker every time (10 times slower); leaks are still reported when the run ends.
    PreferencesFileFuzzer|SDMessageFuzzer|WSFrameReaderFuzzer) extra+=(-detect_leaks=0) ;;
  esac
  if "$program" -max_total_time="$time" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$artifacts/" "${seed[@]}" "${extra[@]}" "$work" "${seeds[@]}" >"$scratch/$target.log" 2>&1; then
    printf '%-40s ok    %s runs, %s exec/s\n' "$target" \
      "$(sed -n 's/^stat::number_of_executed_units: *//p' "$scratch/$target.log")" \
      "$(sed -n 's/^stat::average_exec_per_sec: *//p' "$scratch/$target.log")"
  else
    printf '%-40s FAILED (input in %s)\n' "$target" "$artifacts"
    grep -v '^#\|^INFO' "$scratch/$target.log" | head -60
    return 1
  fi
}

failed=0 running=0
for target in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
  run "$target" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
exit "$failed"
