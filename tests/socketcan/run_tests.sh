#!/bin/sh
# The SocketCAN tests, run by busybox sh inside the test VM (vm.sh): vcan0 and
# vcan1 are up, this build is under $BUILD, can-utils are on PATH. Each check
# prints `ok NAME` or `FAIL NAME: why`; a final line counts them, and the
# status is 1 if any failed. A new check is a function that runs in a folder
# of its own (/tmp/NAME) and ends with `fail WHY` when it fails, and a line
# `check NAME FUNCTION` at the end.

passed=0
failed=0
pids=/tmp/check.pids

# busybox's sh runs its own applet for a bare `ip`; this is iproute2's.
ip() { /usr/bin/ip "$@"; }

# fail WHY: the reason a check gives, as its last line of output.
fail() {
  echo "$*"
  return 1
}

# start FILE COMMAND...: runs COMMAND in the background with its output in
# FILE; the check that started it stops it when it ends.
start() {
  out=$1
  shift
  "$@" >"$out" 2>&1 &
  echo $! >>"$pids"
}

# wait_for SECONDS WHAT COMMAND...: polls COMMAND until it succeeds, and fails
# naming WHAT if it has not within SECONDS.
wait_for() {
  limit=$1 what=$2
  shift 2
  deadline=$(($(date +%s) + limit))
  until "$@"; do
    [ "$(date +%s)" -lt "$deadline" ] || fail "no $what within $limit s" || return 1
    sleep 0.05
  done
}

# check NAME COMMAND...: runs COMMAND in a subshell in /tmp/NAME, says how it
# went, then stops what it started; on failure its earlier output follows,
# indented.
check() {
  name=$1
  shift
  : >"$pids"
  mkdir -p "/tmp/$name"
  if (cd "/tmp/$name" && "$@") >/tmp/check.out 2>&1; then
    echo "ok $name"
    passed=$((passed + 1))
  else
    echo "FAIL $name: $(tail -n 1 /tmp/check.out)"
    sed '$d' /tmp/check.out | tail -n 20 | sed 's/^/    /'
    failed=$((failed + 1))
  fi
  for pid in $(cat "$pids"); do
    kill "$pid" 2>/dev/null
  done
  for pid in $(cat "$pids"); do  # so that the next check finds the ports and links free
    if ! wait_for 5 "end" gone "$pid" >/dev/null; then
      echo "FAIL $name: process $pid did not end"
      failed=$((failed + 1))
    fi
  done
}

# Conditions for wait_for.
line_count() { cat "$1" 2>/dev/null | grep -cE "$2"; }  # 0 while FILE is not there yet
has_lines() { [ "$(line_count "$1" "$2")" -ge "$3" ]; }
# PID has ended: no longer there, or a zombie that its new parent has yet to reap.
gone() { [ ! -e "/proc/$1" ] || [ "$(sed 's/.*) \(.\).*/\1/' "/proc/$1/stat" 2>/dev/null)" = Z ]; }
# A raw socket without filters listens on DEVICE (it is in the receive-all list).
listening() { grep -q "^ *$1 " /proc/net/can/rcvlist_all; }

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

. /test/bridge.sh

echo "socketcan: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
