# Helpers of the scripts run inside the SocketCAN test VM (busybox sh).

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

