#!/bin/sh
# What raw_can_bridge costs, measured inside the test VM beside raw_can_reader
# (run with: tests/socketcan/vm.sh build tests/socketcan/measure.sh [NAME ARGS],
# NAME one of the measurements below to run it alone). Prints
# table rows for docs/performance.md. The VM emulates its processor (no KVM),
# so CPU shares read high against a real machine; they compare side by side.

. /test/helpers.sh
. /test/bridge.sh

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }  # user + system, in 1/100 s
cpu_percent() {  # PID SECONDS: share of a core over that time
  before=$(ticks "$1")
  sleep "$2"
  echo "$(ticks "$1") $before $2" | awk '{printf "%.2f", ($1 - $2) / $3}'
}
row() { echo "| $1 | $2 |" >>/tmp/rows; }
# The bus's busy time (the device's totals) over the time from the first
# recorded frame to the last.
bus_load() {
  sed -n 's/^bus: .*busy \([0-9.]*\) % of \([0-9.]*\) s$/\1 \2/p' sim.out |
    awk -v first="$(sed -n '1s/^(\([0-9.]*\)).*/\1/p' recording.log)" \
        -v last="$(sed -n '$s/^(\([0-9.]*\)).*/\1/p' recording.log)" \
        '{printf "%.1f", $1 * $2 / (last - first)}'
}

idle() {
  start_device || return 1
  start_bridge 1 vcan0 || return 1
  start reader.out "$BUILD/reader/raw_can_reader" 127.0.0.1 127.0.0.1 0
  reader=$(last_started)
  sleep 2
  row "idle: raw_can_bridge / raw_can_reader CPU, 20 s on a silent device" \
    "$(cpu_percent "$bridge_pid" 20) % / $(cpu_percent "$reader" 20) % of a core"
}

# Device to interface: each generated frame's time on vcan0 (candump, the
# kernel's receive time) minus its end of frame on the device's bus (the
# recording); one clock, the VM's.
latency() {
  start_candump vcan0 candump.log || return 1
  start_device --generate 200 --count 4000 --record recording.log || return 1
  start_bridge 1 vcan0 || return 1
  wait_for 60 "4000 frames" has_lines candump.log vcan0 4000 || return 1
  wait_for 5 "the recording" has_lines recording.log zelbor0 4000 || return 1
  sed -n 's/^(\([0-9.]*\)) [a-z0-9]* \(.*\)$/\2 \1/p' recording.log >sent
  sed -n 's/^(\([0-9.]*\)) [a-z0-9]* \(.*\)$/\2 \1/p' candump.log >arrived
  # Frames are unique by their sequence number in the data; pair them in order.
  paste -d ' ' sent arrived | awk '$1 == $3 {print ($4 - $2) * 1000}' | sort -n >latencies
  count=$(wc -l <latencies)
  p50=$(sed -n "$((count / 2))p" latencies)
  p99=$(sed -n "$((count * 99 / 100))p" latencies)
  row "latency device to vcan0, 200 frames/s (${count} of 4000 paired)" \
    "p50 $(printf '%.2f' "$p50") ms, p99 $(printf '%.2f' "$p99") ms, max $(printf '%.2f' "$(tail -n 1 latencies)") ms"
}

# A full 1 Mbit/s bus both ways at once: the device's generator offers about
# half the bus to vcan0 while cangen on vcan0 offers far more than the rest;
# every frame each way must arrive, once and in order.
full_bus() {  # TX_QUEUE: frames the device's transmit queue for the bridge holds
  start_candump vcan0 candump.log || return 1
  start_device --bitrate 1000000 --tx-queue "$1" --generate 5000 --count 25000 \
    --record recording.log || return 1
  start_bridge 1 vcan0 || return 1
  start reader.out "$BUILD/reader/raw_can_reader" 127.0.0.1 127.0.0.1 0
  reader=$(last_started)
  begun=$(date +%s)
  cangen vcan0 -n 20000 -g 0 -e -I 1FFFFFFF -L 8 -D i -p 100 || return 1
  wait_for 60 "20000 frames from vcan0 on the bus" has_lines recording.log 'zelbor1 1FFFFFFF#' 20000 ||
    return 1
  took=$(($(date +%s) - begun))
  bridge_cpu=$(ticks "$bridge_pid")
  reader_cpu=$(ticks "$reader")
  grep ' 1FFFFFFF#' candump.log >from_vcan0.log
  grep -v ' 1FFFFFFF#' candump.log >to_vcan0.log
  grep ' zelbor1 ' recording.log >on_bus_from_vcan0.log
  grep ' zelbor0 ' recording.log >on_bus_generated.log
  same_frames from_vcan0.log on_bus_from_vcan0.log || return 1
  generated=$(wc -l <on_bus_generated.log)
  wait_for 10 "every generated frame on vcan0" has_lines candump.log . $((20000 + generated)) || true
  grep -v ' 1FFFFFFF#' candump.log >to_vcan0.log
  same_frames on_bus_generated.log to_vcan0.log || return 1
  stop_device || return 1
  kill -INT "$bridge_pid"
  wait_for 10 "the bridge's totals" has_lines bridge.out 'refused' 1 || return 1
  row "full 1 Mbit/s bus both ways, device queue $1 frames (bus $(bus_load) % busy from first frame to last)" \
    "$generated generated frames to vcan0 and 20000 cangen frames to the bus, each once, in order, in about ${took} s; bridge: $(tail -n 1 bridge.out | sed 's/^raw_can_bridge: //')"
  row "CPU over that run: raw_can_bridge / raw_can_reader (listing the same bus)" \
    "$bridge_cpu / $reader_cpu hundredths of a second"
}

# One way: cangen on vcan0 far faster than a 1 Mbit/s bus, through the
# bridge; with "six", on the library's six calls alone, as with the maker's.
one_way() {  # [six|room] [TX_QUEUE]: the device's transmit queue, 64 frames unless given
  calls=""
  if [ "${1:-}" = six ]; then
    bridge_environment="LD_PRELOAD=$BUILD/tests/libzelbor_without_extensions.so"
    calls=", the library's six calls alone"
  fi
  queue=${2:-64}
  start_device --bitrate 1000000 --tx-queue "$queue" --record recording.log || return 1
  start_bridge 0 vcan0 || return 1
  bridge_environment=""
  start_candump vcan0 from_vcan0.log || return 1
  cangen vcan0 -n 20000 -g 0 -e -I 1FFFFFFF -L 8 -D i -p 100 || return 1
  wait_for 60 "20000 frames on the bus" has_lines recording.log 'zelbor0 1FFFFFFF#' 20000 || return 1
  grep ' zelbor0 ' recording.log >on_bus.log
  stop_device || return 1
  same_frames from_vcan0.log on_bus.log || return 1
  row "vcan0 to a 1 Mbit/s bus$calls, device queue $queue frames, 20000 extended eight-byte frames from cangen -g 0 (bus $(bus_load) % busy from first frame to last)" \
    "all on the bus once, in order; $(grep '^queue channel 0' sim.out)"
}

# Request and answer through two bridges, one after the other: a request
# on vcan0 reaches vcan1 through the device's bus, where an answer goes back
# the same way. Each one-way trip from the kernel's stamps on the two
# interfaces (candump -L), so the shell's own pace does not count.
answer_requests() {  # COUNT: answers each request seen on vcan1
  i=1
  while [ "$i" -le "$1" ]; do
    number=$(printf '%08X' "$i")
    wait_for 10 "request $i on vcan1" has_lines ./on1.log "123#$number" 1 || return 1
    cansend vcan1 "456#$number" || return 1
    i=$((i + 1))
  done
}
trips() {  # FROM_LOG TO_LOG ID: milliseconds from one log's frame to the same frame in the other
  awk -v id="$3" 'FNR == 1 { file++ }
    { split($3, frame, "#"); if (frame[1] != id) next; t = substr($1, 2, length($1) - 2) }
    file == 1 { sent[$3] = t } file == 2 && ($3 in sent) { printf "%.3f\n", (t - sent[$3]) * 1000 }' \
    "$1" "$2"
}
exchanges() {  # COUNT [gateway]: through two bridges, or the kernel's gateway between vcan0 and vcan1
  start_candump vcan0 ./on0.log || return 1
  start_candump vcan1 ./on1.log || return 1
  if [ "${2:-}" = gateway ]; then
    cangw -F
    cangw -A -s vcan0 -d vcan1 -f 123:7FF -e || return 1
    cangw -A -s vcan1 -d vcan0 -f 456:7FF -e || return 1
    path="the kernel's gateway (cangw vcan0 <-> vcan1)"
  else
    start_device || return 1
    start_bridge 0 vcan0 ./bridge0.out || return 1
    start_bridge 1 vcan1 ./bridge1.out || return 1
    path="two bridges, 500 kbit/s bus"
  fi
  answer_requests "$1" >./answerer.out 2>&1 &
  echo $! >>"$pids"
  i=1
  while [ "$i" -le "$1" ]; do
    number=$(printf '%08X' "$i")
    cansend vcan0 "123#$number" || return 1
    wait_for 10 "answer $i on vcan0" has_lines ./on0.log "456#$number" 1 || return 1
    i=$((i + 1))
  done
  if [ "${2:-}" = gateway ]; then cangw -F; fi
  { trips ./on0.log ./on1.log 123; trips ./on1.log ./on0.log 456; } | sort -n >trips
  count=$(wc -l <trips)
  row "request/answer through $path, $1 exchanges: one-way trips ($count)" \
    "p50 $(sed -n "$((count / 2))p" trips) ms, p99 $(sed -n "$((count * 99 / 100))p" trips) ms, worst $(tail -n 1 trips) ms"
}

# The spacing of frames on vcan0 against their spacing on the device's bus:
# a frame every 10 ms and, each 100 ms, a burst of 20 back to back, 20 s of
# them replayed on a 500 kbit/s bus. For each frame after the first of its
# kind (the periodic ones; the burst's after its first), the error is its
# distance from the one before on vcan0 (the kernel's stamps, as candump -t a
# shows them) minus that distance in the recording (each end of frame).
spacing() {  # [BRIDGE OPTIONS]
  awk 'BEGIN { n = 0
    for (p = 0; p < 2000; p++) {
      t = 1700000000 + p * 0.01
      printf "(%.6f) can0 100#%016X\n", t, n++
      if (p % 10 == 5) for (i = 0; i < 20; i++) printf "(%.6f) can0 200#%016X\n", t + 0.002, n++
    } }' >capture.log
  start_candump vcan0 candump.log || return 1
  start_device --replay capture.log --record recording.log || return 1
  bridge_options="$*" start_bridge 1 vcan0 || return 1
  wait_for 60 "6000 frames on vcan0" has_lines candump.log vcan0 6000 || return 1
  wait_for 10 "the recording" has_lines recording.log . 6000 || return 1
  kill -INT "$bridge_pid"
  wait_for 10 "the bridge's totals" has_lines bridge.out 'refused' 1 || return 1
  same_frames recording.log candump.log || return 1
  sed -n 's/^(\([0-9.]*\)) [a-z0-9]* \(.*\)$/\2 \1/p' recording.log >sent
  sed -n 's/^(\([0-9.]*\)) [a-z0-9]* \(.*\)$/\2 \1/p' candump.log >arrived
  paste -d ' ' sent arrived | awk '
    { id = substr($1, 1, 3) }
    id == "100" { if (p) print "periodic", ($4 - pa - ($2 - ps)) * 1000; p = 1; pa = $4; ps = $2 }
    id == "200" && last == "200" { print "burst", ($4 - la - ($2 - ls)) * 1000 }
    { last = id; la = $4; ls = $2 }' >errors
  for kind in periodic burst; do
    sed -n "s/^$kind -*//p" errors | sort -n >"$kind"
    count=$(wc -l <"$kind")
    row "spacing error on vcan0 against the bus, ${*:-no options}: $kind frames ($count)" \
      "p50 $(printf '%.3f' "$(sed -n "$((count / 2))p" "$kind")") ms, p99 $(printf '%.3f' "$(sed -n "$((count * 99 / 100))p" "$kind")") ms, worst $(printf '%.3f' "$(tail -n 1 "$kind")") ms"
  done
  row "bridge's totals, ${*:-no options}" "$(tail -n 1 bridge.out | sed 's/^raw_can_bridge: //')"
}

late() {  # the check's stalls of the link: the bridge's totals
  late_frames_in_order || return 1
  row "three 0.1 s stalls of the link (the relay stopped), --timing bus" \
    "$(tail -n 1 bridge.out | sed 's/^raw_can_bridge: //')"
}

if [ $# -gt 0 ]; then  # only the measurements named, e.g. exchanges 200
  check "$1" "$@"
else
  check idle idle
  check latency latency
  check one_way one_way
  check one_way_six_calls one_way six
  check full_bus_queue_64 full_bus 64
  check full_bus_queue_256 full_bus 256
  check exchanges exchanges 200
  check gateway_exchanges exchanges 200 gateway
  check spacing_host spacing
  check spacing_bus spacing --timing bus
  check late late
fi
cat /tmp/rows
echo "measure: $passed passed, $failed failed"
