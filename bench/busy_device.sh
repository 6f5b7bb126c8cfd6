#!/usr/bin/env bash
# The simulated device on a busy machine. A real device drops nothing of a
# replay at 1,000 frames/s, a generator at 3,000 frames/s or the writer's
# batches on a 500 kbit/s bus, and neither may the simulated one, however
# late it wakes: the device's totals must say dropped 0, the reader must list
# every frame, and the writer must print no count short of 50. Each trial
# runs twice: with one CPU-bound process per core beside it
# (scripts/busy.sh), and with the device stopped for 100 ms in every 200 ms,
# as a loaded laptop or virtual machine may leave a process waiting to run.
# Prints table rows for bench/run.sh. Usage: busy_device.sh BUILD ADDRESS
# Environment: BENCH_TRIAL_SECONDS (10), BENCH_WRITER_SECONDS (the same).
set -uo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" != "--trial" ]; then
  for trial in replay generate writer; do
    scripts/busy.sh bench/busy_device.sh --trial "$trial" busy "$@"
    bench/busy_device.sh --trial "$trial" stalled "$@"
  done
  exit 0
fi
trial="$2"
condition="$3"
build="$4"
address="$5"
seconds="${BENCH_TRIAL_SECONDS:-10}"
writer_seconds="${BENCH_WRITER_SECONDS:-$seconds}"
work="$(mktemp -d)"
pids=()
trap 'for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done; rm -rf "$work"' EXIT

start_sim() {
  "$build/sim/zelbor_sim" --address "$address" --bitrate 500000 "$@" >"$work/sim.out" 2>&1 &
  sim=$!
  pids+=("$sim")
  for _ in $(seq 200); do
    if grep -q serving "$work/sim.out"; then
      [ "$condition" = stalled ] && stall "$sim" &
      return
    fi
    sleep 0.02
  done
  echo "simulated device did not start" >&2
  exit 1
}
stall() {  # stops the process 100 ms in every 200 ms while it lives
  while kill -STOP "$1" 2>/dev/null; do
    sleep 0.1
    kill -CONT "$1" 2>/dev/null || return
    sleep 0.1
  done
}
beside() {
  [ "$condition" = busy ] && echo "one CPU-bound process per core beside" ||
    echo "the device stopped 100 ms in every 200 ms"
}
start_reader() {
  "$build/reader/raw_can_reader" "$address" "$address" 1 >"$work/listing" &
  reader=$!
  pids+=("$reader")
}
lines_of() { wc -l <"$1" 2>/dev/null || echo 0; }
# Waits until the listing holds `count` frames, or has stopped growing for 2 s.
wait_listing() {
  local previous=-1 still=0 now
  while [ "$still" -lt 10 ]; do
    now=$(($(lines_of "$work/listing") - 1))
    [ "$now" -ge "$1" ] && return
    if [ "$now" -eq "$previous" ]; then still=$((still + 1)); else still=0; fi
    previous=$now
    sleep 0.2
  done
}
queue_dropped() {  # node name: the dropped count of its queue in the totals
  sed -n "s/^queue $1: offered [0-9]*, on the bus [0-9]*, dropped \([0-9]*\),.*/\1/p" "$work/sim.out"
}
# The row of a listing of `count` generated frames, after the device's end.
listing_row() {  # count, queue node, label
  local verdict ok dropped
  verdict=$("$build/bench/listing_check" "$work/listing" "$1" | head -n 1)
  ok=$?
  dropped=$(queue_dropped "$2")
  echo "$3, $condition: $verdict; device dropped ${dropped:-?}" >&2
  echo "| $3, $(beside) | $verdict, device dropped ${dropped:-?} | 0 dropped, all listed |" \
    "$([ "$ok" -eq 0 ] && [ "${dropped:-1}" -eq 0 ] && echo met || echo MISSED) |"
}

# A replay of `seconds` of the generator's frames, 1 ms apart.
replay() {
  local count=$((1000 * seconds))
  "$build/bench/generated_log" "$count" 1000 >"$work/replay.log"
  start_sim --replay "$work/replay.log"
  start_reader
  wait "$sim"  # the device ends with the replay
  wait_listing "$count"
  kill -INT "$reader"
  wait "$reader"
  listing_row "$count" replay "replay of ${count} frames, 1,000 frames/s, onto a 500 kbit/s bus"
}

generate() {
  local count=$((3000 * seconds))
  start_sim --generate 3000 --count "$count"
  start_reader
  wait_listing "$count"
  kill -INT "$reader"
  wait "$reader"
  kill -INT "$sim"
  wait "$sim"
  listing_row "$count" generator "generator, ${count} frames at 3,000 frames/s onto a 500 kbit/s bus"
}

writer() {
  start_sim
  "$build/writer/raw_can_writer" "$address" "$address" 0 >"$work/writer.out" &
  local writer=$!
  pids+=("$writer")
  sleep "$writer_seconds"
  kill -INT "$writer"
  wait "$writer"
  kill -INT "$sim"
  wait "$sim"
  local short taken dropped
  short=$(grep -c ' Messages$' "$work/writer.out")
  taken=$(sed -n 's/^channel 0: frames in \([0-9]*\),.*/\1/p' "$work/sim.out")
  dropped=$(queue_dropped "channel 0")
  echo "writer for ${writer_seconds} s, $condition: $((taken / 50)) batches, $short short counts" >&2
  echo "| the writer for ${writer_seconds} s on a 500 kbit/s bus, $(beside) | $((taken / 50)) batches, ${short} counts short of 50, device dropped ${dropped:-?} | no short count | $([ "$short" -eq 0 ] && [ "${dropped:-1}" -eq 0 ] && echo met || echo MISSED) |"
}

"$trial"
