# raw_can_bridge against the real can-utils: functions for run_tests.sh and
# measure.sh inside the test VM (helpers.sh: start, wait_for, fail, has_lines).

bridge=$BUILD/bridge/raw_can_bridge

# ID#DATA of each frame of a candump -L log (ours: zelbor_sim --record), in order.
frames_of() { sed -n 's/^([0-9.]*) [a-z0-9]* \([0-9A-F]*#[0-9A-FR]*\).*$/\1/p' "$1"; }

last_started() { tail -n 1 "$pids"; }

start_device() {  # OPTIONS...: zelbor_sim on 127.0.0.1, its output in ./sim.out
  start ./sim.out "$BUILD/sim/zelbor_sim" --address 127.0.0.1 "$@"
  device_pid=$(last_started)
  wait_for 10 "zelbor_sim's start" has_lines ./sim.out '^zelbor_sim: serving' 1
}

# CHANNEL INTERFACE [OUTPUT]; $bridge_environment: NAME=VALUE... for it,
# $bridge_options: its options, $bridge_device_ip: the device's address (127.0.0.1)
start_bridge() {
  # shellcheck disable=SC2086
  start "${3:-./bridge.out}" env $bridge_environment "$bridge" $bridge_options 127.0.0.1 \
    "${bridge_device_ip:-127.0.0.1}" "$1" "$2"
  bridge_pid=$(last_started)
  wait_for 10 "the bridge's start on $2" has_lines "${3:-./bridge.out}" "^Bridging channel $1" 1
}

start_candump() {  # INTERFACE FILE: with room for a burst in its receive buffer
  start "$2" candump -L -r 8388608 "$1"
  wait_for 10 "candump on $1" listening "$1"
}

stop_device() {  # SIGINT: the device prints its totals and ends
  kill -INT "$device_pid"
  wait_for 10 "the device's totals" has_lines ./sim.out '^bus: ' 1
}

same_frames() {  # EXPECTED_LOG GOT_LOG: the same frames in the same order
  frames_of "$1" >./expected.frames
  frames_of "$2" >./got.frames
  cmp -s ./expected.frames ./got.frames ||
    fail "$(wc -l <./got.frames) frames, not the $(wc -l <./expected.frames) expected; first difference: $(diff ./expected.frames ./got.frames | sed -n 2,3p | tr '\n' ' ')"
}

# A replayed capture reaches the interface frame for frame.
replay_to_candump() {
  i=0
  : >./capture.log
  while [ "$i" -lt 300 ]; do  # every identifier kind and length
    case $((i % 3)) in
      0) id=$(printf '%03X' $((i * 7 % 2048))) ;;
      1) id=$(printf '%08X' $((i * 104729 % 536870912))) ;;
      2) id=7FF ;;
    esac
    data=$(printf '%02X%02X%02X%02X%02X%02X%02X%02X' $((i % 256)) 1 2 3 4 5 6 7 | head -c $((i % 9 * 2)))
    echo "($((1436509052 + i / 1000)).$(printf '%06d' $((i % 1000 * 1000)))) can0 $id#$data" >>./capture.log
    i=$((i + 1))
  done
  start_candump vcan0 ./candump.log || return 1
  start_device --replay ./capture.log || return 1
  start_bridge 1 vcan0 || return 1
  wait_for 30 "300 frames on vcan0" has_lines ./candump.log vcan0 300 ||
    fail "device: $(tr '\n' '|' <./sim.out) bridge: $(tr '\n' '|' <./bridge.out) candump: $(wc -l <./candump.log)" ||
    return 1
  same_frames ./capture.log ./candump.log
}

# Frames sent on the interface reach the device's bus, each once, in order;
# remote-request, error and CAN FD frames are refused and counted (vcan0 takes
# CAN FD frames for this check alone).
cangen_to_device() {
  ip link set vcan0 down && ip link set vcan0 mtu 72 && ip link set vcan0 up || return 1
  start_candump vcan0 ./candump.log || return 1
  start_device --record ./recording.log || return 1
  start_bridge 0 vcan0 || return 1
  cangen vcan0 -n 500 -g 0 || return 1
  cangen vcan0 -n 500 -g 0 -e || return 1
  cangen vcan0 -n 3 -g 0 -R || return 1
  cansend vcan0 20000004#0004000000000000 || return 1  # an error frame: controller problem
  cansend vcan0 123##1112233 || return 1
  cansend vcan0 12345678##0AABBCCDDEEFF001122 || return 1
  wait_for 30 "1000 frames recorded" has_lines ./recording.log zelbor0 1000 || return 1
  grep -v '#R' ./candump.log | grep -v '##' >./sent.log
  same_frames ./sent.log ./recording.log || return 1
  kill -INT "$bridge_pid"
  wait_for 10 "the bridge's totals" has_lines ./bridge.out 'refused' 1 || return 1
  ip link set vcan0 down && ip link set vcan0 mtu 16 && ip link set vcan0 up || return 1
  grep -q 'vcan0 to device 1000 frames; dropped 0 .*refused 3 remote-request, 1 error frames, 2 CAN FD frames' ./bridge.out ||
    fail "totals: $(tail -n 1 ./bridge.out)"
}

# COUNT frames from cangen -g 0 onto a 500 kbit/s bus through the bridge:
# every one on the bus, in order; the device's totals are in sim.out after.
burst_onto_slow_bus() {
  start_candump vcan0 ./candump.log || return 1
  start_device --bitrate 500000 --record ./recording.log || return 1
  start_bridge 0 vcan0 || return 1
  cangen vcan0 -n "$1" -g 0 -L 8 -I i || return 1
  wait_for 60 "$1 frames recorded" has_lines ./recording.log zelbor0 "$1" || return 1
  same_frames ./candump.log ./recording.log || return 1
  stop_device
}

# With the room reports the device's queue drops nothing.
burst_to_slow_bus() {
  burst_onto_slow_bus 10000 || return 1
  grep -q '^queue channel 0: offered 10000, on the bus 10000, dropped 0' ./sim.out ||
    fail "device: $(grep '^queue channel 0' ./sim.out)"
}

# cansequence from vcan0 through the device to vcan1, two bridges.
# cansequence sets no receive buffer of its own: with the default, a VM that
# stalls it for a moment overflows its socket, which says nothing of the bridges.
sequence_through_two_bridges() {
  rmem_default=$(cat /proc/sys/net/core/rmem_default)
  echo 8388608 >/proc/sys/net/core/rmem_default
  sequence_through_bridges
  status=$?
  echo "$rmem_default" >/proc/sys/net/core/rmem_default
  return "$status"
}
sequence_through_bridges() {
  start_candump vcan1 ./candump.log || return 1
  start_device --bitrate 500000 || return 1
  start_bridge 0 vcan0 ./bridge0.out || return 1
  start_bridge 1 vcan1 ./bridge1.out || return 1
  start ./receiver.out cansequence vcan1 -r -q 1
  receiver=$(last_started)
  cansequence vcan0 -p --loop=3000 || return 1
  wait_for 60 "3000 frames on vcan1" has_lines ./candump.log vcan1 3000 || {
    # Where the frames stopped: each bridge's and the device's account.
    for pid in $(cat "$pids"); do kill -INT "$pid" 2>/dev/null; done
    wait_for 10 "the device's totals" has_lines ./sim.out '^bus: ' 1
    wait_for 10 "the bridges' totals" has_lines ./bridge1.out 'refused' 1
    tail -n 3 ./bridge0.out ./bridge1.out ./sim.out | sed 's/^/    /'
    fail "$(grep -c vcan1 ./candump.log) of 3000 frames on vcan1"
  }
  kill -0 "$receiver" 2>/dev/null || fail "cansequence -r quit: $(cat ./receiver.out)"
}

# The device restarts: the bridge says so and carries frames again.
device_restart() {
  start_candump vcan0 ./candump.log || return 1
  start_device --generate 200 || return 1
  start_bridge 1 vcan0 || return 1
  wait_for 10 "frames on vcan0" has_lines ./candump.log vcan0 10 || return 1
  kill -KILL "$device_pid"
  wait_for 10 "the device's end" gone "$device_pid" || return 1
  wait_for 10 "the bridge's word that the device is silent" \
    has_lines ./bridge.out 'the device does not answer' 1 || return 1
  start_device --generate 200 || return 1
  before=$(wc -l <./candump.log)
  wait_for 10 "frames after the restart" has_lines ./candump.log vcan0 $((before + 10)) || return 1
  has_lines ./bridge.out 'the device answers again' 1 || fail "no word that the device is back"
}

# The interface goes down and up: said, and frames flow again.
interface_down_and_up() {
  start_device --generate 200 || return 1
  start_bridge 1 vcan1 || return 1
  ip link set vcan1 down
  wait_for 5 "the word that vcan1 is down" has_lines ./bridge.out 'vcan1 is down' 1 || return 1
  ip link set vcan1 up
  wait_for 5 "the word that vcan1 is up" has_lines ./bridge.out 'vcan1 is up' 1 || return 1
  start_candump vcan1 ./candump.log || return 1
  wait_for 10 "frames on vcan1 again" has_lines ./candump.log vcan1 10
}

# A flood from the interface while the device is stopped: what the queue and
# the socket cannot hold is counted as the kernel's drop; with the queue full
# and the interface down the bridge sleeps; at the end every frame is told.
flood_to_stopped_device() {
  start_device || return 1
  start_bridge 0 vcan0 || return 1
  kill -STOP "$device_pid"
  flood_while_stopped
  status=$?
  kill -CONT "$device_pid"  # so that it ends with the check
  ip link set vcan0 up
  return "$status"
}
flood_while_stopped() {
  cangen vcan0 -n 100000 -g 0 -L 8 -I i || return 1
  wait_for 10 "the count of the kernel's drops" \
    has_lines ./bridge.out 'kernel receive queue [1-9][0-9]*,' 1 || return 1
  ip link set vcan0 down
  wait_for 5 "the word that vcan0 is down" has_lines ./bridge.out 'vcan0 is down' 1 || return 1
  ticks=$(awk '{print $14 + $15}' "/proc/$bridge_pid/stat")
  sleep 2  # the time measured, not a wait for something
  ticks=$(($(awk '{print $14 + $15}' "/proc/$bridge_pid/stat") - ticks))
  [ "$ticks" -lt 40 ] || fail "$ticks hundredths of a second of CPU in 2 s, queue full, vcan0 down" ||
    return 1
  kill -TERM "$bridge_pid"
  wait_for 5 "the bridge's totals" has_lines ./bridge.out 'refused' 1 || return 1
  wait "$bridge_pid"
  status=$?
  [ "$status" -eq 143 ] || fail "status $status after SIGTERM, not 143" || return 1
  # Taken by the device, dropped by the kernel, left in the queue and the socket.
  tail -n 1 ./bridge.out |
    sed -n 's/.*to device \([0-9]*\) frames;.*queue \([0-9]*\), not taken by the device \([0-9]*\)).*/\1 \2 \3/p' |
    awk '{ n = $1 + $2 + $3 } END { exit n != 100000 }' ||
    fail "not 100000 frames told: $(tail -n 1 ./bridge.out)"
}

# The interface deleted and made again: said, and frames flow both ways again.
interface_deleted() {
  start_device --generate 200 --record ./recording.log || return 1
  start_bridge 1 vcan1 || return 1
  ip link del vcan1
  wait_for 10 "the word that vcan1 is gone" has_lines ./bridge.out 'vcan1 is gone' 1
  gone=$?
  ip link add dev vcan1 type vcan && ip link set vcan1 up
  [ "$gone" -eq 0 ] || { tail -n 5 ./bridge.out; return 1; }
  wait_for 5 "the word that vcan1 is up" has_lines ./bridge.out 'vcan1 is up' 1 || return 1
  start_candump vcan1 ./candump.log || return 1
  wait_for 10 "frames on vcan1 again" has_lines ./candump.log vcan1 10 || return 1
  cansend vcan1 5A5#A5 || return 1
  wait_for 10 "the frame from vcan1 on the bus" has_lines ./recording.log ' 5A5#A5$' 1
}

bad_command_lines() {
  for args in "" "127.0.0.1 127.0.0.1 0" "127.0.0.1 127.0.0.1 0 vcan0 extra" \
    "--timing bus 127.0.0.1 127.0.0.1 0"; do
    # shellcheck disable=SC2086
    output=$("$bridge" $args 2>&1) && fail "status 0 for '$args'" && return 1
    [ "$output" = "usage: $bridge [--timing host|bus[=DELAY_MS]] host_ip zelbor_ip can_channel interface" ] ||
      fail "for '$args': $output" || return 1
  done
  output=$("$bridge" --timing=bus=5ms 127.0.0.1 127.0.0.1 0 vcan0 2>&1) && fail "status 0 for 5ms" && return 1
  [ "$output" = 'raw_can_bridge: --timing is host, bus or bus=DELAY_MS (whole milliseconds, 1 to 1000), not "bus=5ms"' ] ||
    fail "5ms: $output" || return 1
  output=$("$bridge" 127.0.0.1 127.0.0.1 0 nosuch0 2>&1) && fail "status 0 for nosuch0" && return 1
  [ "$output" = "raw_can_bridge: nosuch0: no such interface" ] || fail "nosuch0: $output" || return 1
  output=$("$bridge" 127.0.0.1 127.0.0.1 0 "" 2>&1) && fail "status 0 for an empty name" && return 1
  [ "$output" = 'raw_can_bridge: "": no such interface (the name is empty)' ] ||
    fail "empty name: $output" || return 1
  output=$("$bridge" 127.0.0.1 127.0.0.1 0 vcan0123456789ab 2>&1) && fail "status 0 for 16 characters" && return 1
  [ "$output" = "raw_can_bridge: vcan0123456789ab: no such interface (names have at most 15 characters)" ] ||
    fail "16 characters: $output" || return 1
  output=$("$bridge" 127.0.0.1 127.0.0.1 0 lo 2>&1) && fail "status 0 for lo" && return 1
  [ "$output" = "raw_can_bridge: lo: not a CAN interface" ] || fail "lo: $output" || return 1
  output=$("$bridge" 127.0.0.1 127.0.0.1 0 vcan0 2>&1) && fail "status 0 without a device" && return 1
  [ "$output" = "INIT_CAN_CHIP failed, exiting ..." ] || fail "no device: $output"
}

# With --timing bus, frames a stalled link holds past their slot go out at
# once and are counted late; none is lost or reordered for it. The relay,
# stopped for 0.1 s three times, holds the device's datagrams meanwhile.
late_frames_in_order() {
  start_candump vcan0 ./candump.log || return 1
  start_device --generate 200 --count 2000 --record ./recording.log || return 1
  start ./relay.out "$BUILD/relay/zelbor_relay" --listen 127.0.0.3 --device 127.0.0.1
  relay=$(last_started)
  bridge_options="--timing bus" bridge_device_ip=127.0.0.3 start_bridge 1 vcan0 || return 1
  for frames in 300 600 900; do
    wait_for 30 "$frames frames on vcan0" has_lines ./candump.log vcan0 "$frames" || return 1
    kill -STOP "$relay" && sleep 0.1 && kill -CONT "$relay" || return 1
  done
  wait_for 60 "2000 frames on vcan0" has_lines ./candump.log vcan0 2000 ||
    fail "$(grep -c vcan0 ./candump.log) frames on vcan0; bridge: $(tr '\n' '|' <./bridge.out)" ||
    return 1
  kill -INT "$bridge_pid"
  wait_for 10 "the bridge's totals" has_lines ./bridge.out 'refused' 1 || return 1
  wait_for 5 "the recording" has_lines ./recording.log . 2000 || return 1
  same_frames ./recording.log ./candump.log || return 1
  grep -q 'device to vcan0 2000 frames, .*; dropped 0 .*; late [1-9][0-9]*$' ./bridge.out ||
    fail "totals: $(tail -n 1 ./bridge.out)"
}

# On the library's six calls alone, as with the device maker's library (no
# link status, no counters, so no room reports): a burst onto a slow bus
# still reaches it whole and in order, by short counts and retries.
counts_alone() {
  bridge_environment="LD_PRELOAD=$BUILD/tests/libzelbor_without_extensions.so"
  burst_onto_slow_bus 3000 || return 1
  grep -q '^queue channel 0: offered [0-9]*, on the bus 3000, ' ./sim.out ||
    fail "device: $(grep '^queue channel 0' ./sim.out)"
}
