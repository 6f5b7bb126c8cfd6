#!/bin/sh
# The SocketCAN tests, run by busybox sh inside the test VM (vm.sh): vcan0 and
# vcan1 are up, this build is under $BUILD, can-utils are on PATH. Each check
# prints `ok NAME` or `FAIL NAME: why`; a final line counts them, and the
# status is 1 if any failed. A new check is a function that runs in a folder
# of its own (/tmp/NAME) and ends with `fail WHY` when it fails, and a line
# `check NAME FUNCTION` at the end.

. /test/helpers.sh
. /test/bridge.sh

candump_line='^\([0-9]+\.[0-9]{6}\) vcan0 [0-9A-F]{3}#([0-9A-F]{2}){0,8}$'

# This build's programs load in the VM (their libraries are there) and print their usage.
programs_start() {
  for program in reader/raw_can_reader writer/raw_can_writer bridge/raw_can_bridge; do
    [ -e "$BUILD/$program" ] || continue
    "$BUILD/$program" >usage 2>&1
    grep -q '^usage: ' usage || fail "$program: $(head -n 1 usage)" || return 1
  done
  for program in sim/zelbor_sim relay/zelbor_relay; do
    "$BUILD/$program" --help >usage 2>&1 || fail "$program --help: $(head -n 1 usage)" || return 1
  done
}

cangen_to_candump() {
  start candump.log candump -L vcan0
  wait_for 10 "candump on vcan0" listening vcan0 || return 1
  cangen vcan0 -n 100 -g 0 || fail "cangen failed with status $?" || return 1
  wait_for 10 "100 frames from candump" has_lines candump.log . 100 || return 1
  [ "$(line_count candump.log "$candump_line")" -eq 100 ] ||
    fail "candump listed $(line_count candump.log .) lines, not 100 frames: $(head -n 1 candump.log)"
}

replay_to_reader() {
  cat >replay.log <<'EOF'
(1436509052.249713) can0 123#DEADBEEF
(1436509052.250713) can0 7FF#0102030405060708
(1436509052.251713) can0 1ABCDEF0#00
(1436509052.252713) can0 000#
(1436509052.253713) can0 456#C0FFEE
EOF
  cat >expected <<'EOF'
STD-CAN-ID $123: $DE $AD $BE $EF 
STD-CAN-ID $7FF: $01 $02 $03 $04 $05 $06 $07 $08 
EXT-CAN-ID $1ABCDEF0: $00 
STD-CAN-ID $000: 
STD-CAN-ID $456: $C0 $FF $EE 
EOF
  start sim.out "$BUILD/sim/zelbor_sim" --address 127.0.0.1 --replay replay.log
  wait_for 10 "start line from zelbor_sim" has_lines sim.out '^zelbor_sim: serving' 1 || return 1
  start reader.out "$BUILD/reader/raw_can_reader" 127.0.0.1 127.0.0.1 1
  wait_for 20 "5 frames from raw_can_reader" has_lines reader.out 'CAN-ID' 5 || return 1
  sed -n 's/^[0-9]*\.[0-9]\{4\}  //p' reader.out >listed
  cmp -s listed expected || fail "raw_can_reader listed: $(tr '\n' '|' <listed)"
}

check programs_start programs_start
check cangen_to_candump cangen_to_candump
check replay_to_reader replay_to_reader
check bridge_replay_to_candump replay_to_candump
check bridge_cangen_to_device cangen_to_device
check bridge_burst_to_slow_bus burst_to_slow_bus
check bridge_sequence_through_two_bridges sequence_through_two_bridges
check bridge_device_restart device_restart
check bridge_interface_down_and_up interface_down_and_up
check bridge_flood_to_stopped_device flood_to_stopped_device
check bridge_interface_deleted interface_deleted
check bridge_bad_command_lines bad_command_lines
check bridge_counts_alone counts_alone

echo "socketcan: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
