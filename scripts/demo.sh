#!/usr/bin/env bash
# Runs the simulated device, the writer on channel 0 and the reader on
# channel 1, all on 127.0.0.1, shows the reader's listing for about ten
# seconds (or until Ctrl-C), then stops all three.
set -uo pipefail
build="${1:-build}"
seconds="${DEMO_SECONDS:-10}"
address=127.0.0.1
work="$(mktemp -d)"
pids=()

cleanup() {
  trap - INT TERM EXIT
  # Writer, reader, then the device, so the device hears both say goodbye.
  for pid in "${pids[@]}"; do
    kill -INT "$pid" 2>/dev/null
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  echo
  echo "--- writer said:"
  cat "$work/writer.out"
  echo "--- simulated device said:"
  cat "$work/sim.out"
  rm -rf "$work"
}
trap cleanup INT TERM EXIT

"$build/sim/zelbor_sim" --address "$address" >"$work/sim.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  grep -q serving "$work/sim.out" 2>/dev/null && break
  sleep 0.05
done

# The reader comes first so it sees the writer's first batch.
"$build/reader/raw_can_reader" "$address" "$address" 1 &
pids=($! "${pids[@]}")
sleep 0.3
"$build/writer/raw_can_writer" "$address" "$address" 0 >"$work/writer.out" &
pids=($! "${pids[@]}")

# Waiting on a background sleep lets a Ctrl-C run the cleanup at once.
sleep "$seconds" &
wait $!
