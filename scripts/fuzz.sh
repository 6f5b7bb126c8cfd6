#!/usr/bin/env bash
# Fuzzes each target with libFuzzer under ASan + UBSan for a bounded time
# (FUZZ_SECONDS, default 60). New inputs go to a scratch corpus; the saved
# corpus in fuzz/corpus is only read. Any finding fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-60}"
build="${FUZZ_BUILD:-build-fuzz}"
cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DRAWCAN_FUZZ=ON -DRAWCAN_SANITIZE=ON -DRAWCAN_WERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)" --target decode_fuzz sim_fuzz
for target in decode_fuzz sim_fuzz; do
  scratch="$(mktemp -d)"
  echo "fuzzing $target for ${seconds}s"
  status=0
  "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$scratch/" "$scratch" "fuzz/corpus/$target" >"$scratch/log" 2>&1 || status=$?
  grep -E "^(Done|stat::number_of_executed_units|==[0-9]+==ERROR|SUMMARY)" "$scratch/log" || true
  if [ "$status" -ne 0 ]; then
    tail -40 "$scratch/log" >&2
    echo "$target found a fault (status $status); the input is in $scratch" >&2
    exit "$status"
  fi
  rm -rf "$scratch"
done
