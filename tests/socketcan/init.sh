#!/bin/sh
# /init of the SocketCAN test VM (busybox sh, PID 1): mounts the kernel's file
# systems, loads the CAN modules, brings up lo, vcan0 and vcan1, runs the test
# script that vm.sh named in /etc/vm.conf under a time limit, prints its
# status as the last line and powers off.
mount -t devtmpfs dev /dev
exec </dev/console >/dev/console 2>&1  # the initramfs has no /dev/console of its own
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t tmpfs tmp /tmp

export PATH=/usr/bin:/bin HOME=/tmp TMPDIR=/tmp
export BUILD=/build LD_LIBRARY_PATH=/build/zelbor  # this build's libZelbor.so
. /etc/vm.conf

setup() {
  for module in $modules; do
    insmod "$module" || return 1
  done
  /usr/bin/ip link set lo up || return 1
  for link in vcan0 vcan1; do
    /usr/bin/ip link add dev "$link" type vcan && /usr/bin/ip link set "$link" up || return 1
  done
}

# A line of its own: the kernel's serial set-up can swallow the firmware's last newline.
echo
if setup; then
  echo "rawcan-vm: up after $(cut -d ' ' -f 1 /proc/uptime) s, running $1"
  cd /tmp
  script=$1
  shift
  timeout -k 5 "$test_timeout" sh "/test/$script" "$@"
  status=$?
  [ "$status" -lt 128 ] || echo "rawcan-vm: the test script ended by signal $((status - 128)) (limit ${test_timeout} s)"
else
  echo "rawcan-vm: setting up the VM failed"
  status=125
fi
echo "rawcan-vm: exit status $status"
stty onlcr  # stty sets the console's modes after its output has drained
poweroff -f
