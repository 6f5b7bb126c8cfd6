#!/usr/bin/env bash
# Throughput and cost of the whole path, simulated device -> UDP -> library
# -> listing, printed as a table beside each target. Uses the build in
# $BUILD (default build-bench, an optimised build that `make bench` makes).
set -uo pipefail
cd "$(dirname "$0")/.."
build="${BUILD:-build-bench}"
address="${BENCH_ADDRESS:-127.0.99.1}"
trial_seconds="${BENCH_TRIAL_SECONDS:-10}"
rates="${BENCH_RATES:-500000 1000000 2000000 3000000 4000000 5000000}"
work="$(mktemp -d)"
pids=()
trap 'for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null; done; rm -rf "$work"' EXIT

sim_bin="$build/sim/zelbor_sim"
reader_bin="$build/reader/raw_can_reader"
writer_bin="$build/writer/raw_can_writer"

cpu_ns() { awk '{print $1}' "/proc/$1/schedstat" 2>/dev/null || echo 0; }
lines_of() { wc -l <"$1" 2>/dev/null || echo 0; }

start_sim() {  # args: extra options; the bus is ideal unless they give --bitrate
  "$sim_bin" --address "$address" --bitrate 0 "$@" >"$work/sim.out" 2>&1 &
  sim=$!
  pids+=("$sim")
  for _ in $(seq 200); do grep -q serving "$work/sim.out" && return; sleep 0.02; done
  echo "simulated device did not start" >&2
  exit 1
}
stop() { kill -INT "$1" 2>/dev/null; wait "$1" 2>/dev/null; }
launch() {  # program, channel, output file; the process id is left in $launched
  "$1" "$address" "$address" "$2" >"$3" &
  launched=$!
  pids+=("$launched")
}

declare -a rows
row() { rows+=("| $1 | $2 | $3 | $4 |"); }
# Percent of one core a process used over one trial.
cpu_percent() {
  local before after
  before=$(cpu_ns "$1")
  sleep "$trial_seconds"
  after=$(cpu_ns "$1")
  awk -v d="$((after - before))" -v s="$trial_seconds" 'BEGIN {printf "%.3f", d / (s * 1e7)}'
}
# Adds a row for a CPU share and whether it is below its limit.
cpu_row() {  # label, percent, limit
  row "$1" "$2 % of a core" "< $3 %" "$(awk -v v="$2" -v l="$3" 'BEGIN {print (v < l) ? "met" : "MISSED"}')"
}

echo "machine: $(nproc) cores, $(awk -F': ' '/model name/ {print $2; exit}' /proc/cpuinfo)" >&2

# 1. Lossless listing rate: the reader writing to a file, fed for a trial.
best=0
best_cost=""
for rate in $rates; do
  count=$((rate * trial_seconds))
  start_sim --generate "$rate" --count "$count"
  launch "$reader_bin" 1 "$work/listing"
  reader=$launched
  sleep "$trial_seconds"
  # Wait until the listing stops growing.
  previous=-1
  for _ in $(seq 50); do
    now=$(lines_of "$work/listing")
    [ "$now" -eq "$previous" ] && break
    previous=$now
    sleep 0.2
  done
  reader_cpu=$(cpu_ns "$reader")
  stop "$reader"
  stop "$sim"
  verdict=$("$build/bench/listing_check" "$work/listing" "$count")
  ok=$?
  cost=$(awk -v c="$reader_cpu" -v n="$count" 'BEGIN {printf "%.0f", c / n}')
  echo "rate $rate/s: $verdict; reader CPU ${cost} ns per frame" >&2
  if [ "$ok" -eq 0 ]; then
    best=$rate
    best_cost=$cost
  fi
  rm -f "$work/listing"
  [ "$ok" -eq 0 ] || break
done
row "lossless listing rate (reader to a file, ${trial_seconds} s trials)" "$best frames/s" \
  ">= 500,000 (goal 1,000,000)" "$([ "$best" -ge 500000 ] && echo met || echo MISSED)"
row "reader CPU per listed frame at that rate" "${best_cost} ns" "report" "-"

# 2. Cost at a full bus: 9,000 frames/s of 8-byte frames' worth.
start_sim --generate 9000
launch "$reader_bin" 1 "$work/listing"
reader=$launched
sleep 1
full_bus=$(cpu_percent "$reader")
stop "$reader"
stop "$sim"
cpu_row "reader CPU at 9,000 frames/s" "$full_bus" 5

# 2b. The simulated device's own cost with its bus full: a 1 Mbit/s bus and a
#     generator offering more than it carries, the reader listening.
start_sim --bitrate 1000000 --generate 30000
launch "$reader_bin" 1 "$work/listing"
reader=$launched
sleep 1
lines_before=$(lines_of "$work/listing")
device_cpu=$(cpu_percent "$sim")
carried=$((($(lines_of "$work/listing") - lines_before) / trial_seconds))
stop "$reader"
stop "$sim"
load=$(sed -n 's/^bus: .*busy \([0-9.]*\) %.*/\1/p' "$work/sim.out")
row "simulated device CPU at a full 1 Mbit/s bus (${carried} frames/s carried, bus ${load} % busy)" \
  "$device_cpu % of a core" "report" "-"

# 3. Cost of waiting: the reader on a silent device; the writer on a device
#    that stops answering (stopped with SIGSTOP after the start).
start_sim
launch "$reader_bin" 1 "$work/listing"
reader=$launched
sleep 1
idle_reader=$(cpu_percent "$reader")
stop "$reader"
cpu_row "reader CPU on a silent device" "$idle_reader" 0.5

launch "$writer_bin" 0 "$work/writer.out"
writer=$launched
sleep 1
kill -STOP "$sim"
sleep 0.2
idle_writer=$(cpu_percent "$writer")
kill -CONT "$sim"
stop "$writer"
stop "$sim"
cpu_row "writer CPU on a silent device" "$idle_writer" 5

# 4. Writer rate through the simulated device.
start_sim
launch "$writer_bin" 0 "$work/writer.out"
writer=$launched
sleep "$trial_seconds"
stop "$writer"
stop "$sim"
frames=$(sed -n 's/^channel 0: frames in \([0-9]*\),.*/\1/p' "$work/sim.out")
share=$(awk -v f="$frames" -v s="$trial_seconds" 'BEGIN {printf "%.1f", 100 * f / (s * 2500)}')
row "writer rate (share of 50 frames per 20 ms)" "$((frames / trial_seconds)) frames/s, ${share} %" \
  ">= 96 %" "$(awk -v v="$share" 'BEGIN {print (v >= 96) ? "met" : "MISSED"}')"

# 5. Latency from handing a batch to the library to the reader's line.
start_sim
idle_latency=$("$build/bench/latency_bench" "$reader_bin" "$address" 200)
stop "$sim"
start_sim --generate 100000
busy_latency=$("$build/bench/latency_bench" "$reader_bin" "$address" 200)
stop "$sim"
fmt_latency() { awk '{printf "p50 %.2f ms, p99 %.2f ms (%s of %s)", $6 / 1000, $8 / 1000, $4, $2}' <<<"$1"; }
row "latency, reader idle" "$(fmt_latency "$idle_latency")" "report" "-"
row "latency, reader busy listing 100,000 frames/s" "$(fmt_latency "$busy_latency")" "report" "-"

# 6. Micro-benchmarks.
if [ -x "$build/bench/micro_bench" ]; then
  "$build/bench/micro_bench" --benchmark_min_time=0.5 --benchmark_format=csv 2>/dev/null >"$work/micro"
  micro() { awk -F, -v name="\"$1\"" '$1 == name {printf "%.1f ns", $4}' "$work/micro"; }
  row "formatting one listing line" "$(micro BM_FormatFrameLine)" \
    "report (printf-style: $(micro BM_FormatFrameLineSnprintf))" "-"
  row "decoding a datagram of 50 frames" "$(micro BM_DecodeFiftyFrames)" "report" "-"
fi

# 7. The deterministic simulation of the real programs, library, host driver and
# device: simulated time searched per minute of one core.
simulate_bin="$build/tests/simulation/zelbor_simulate"
if [ -x "$simulate_bin" ]; then
  searched=$("$simulate_bin" --seconds 20 --first-seed 1 | sed -n 's/.*(\([0-9]*\) simulated s per s).*/\1/p')
  per_minute=$((${searched:-0} * 60))
  row "simulation of the real programs, library and host driver, simulated seconds of a faulty network searched per minute of one core" \
    "$per_minute" ">= 100,000" "$([ "$per_minute" -ge 100000 ] && echo met || echo MISSED)"
fi

# 8. The simulated device on a busy machine (its rows come from the script).
rows+=("$(bench/busy_device.sh "$build" "$address")")

# 9. python-can's logger through the plugin (its rows come from the script).
rows+=("$(/usr/bin/python3 bench/python_bench.py "$build" "$address")")

echo "| figure | measured | target | |"
echo "|---|---|---|---|"
printf '%s\n' "${rows[@]}"
