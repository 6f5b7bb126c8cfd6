#!/bin/sh
# The SocketCAN tests, run by busybox sh inside the test VM (vm.sh): vcan0 and
# vcan1 are up, this build is under $BUILD, can-utils are on PATH. Each check
# prints `ok NAME` or `FAIL NAME: why`; a final line counts them, and the
# status is 1 if any failed. A new check is a function that runs in a folder
# of its own (/tmp/NAME) and ends with `fail WHY` when it fails, and a line
# `check NAME FUNCTION` at the end.

. /test/helpers.sh
. /test/bridge.sh

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

check programs_start programs_start
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
check bridge_late_frames_in_order late_frames_in_order

echo "socketcan: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
