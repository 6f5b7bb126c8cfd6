#!/usr/bin/env bash
# Runs a test script inside a small virtual machine whose Linux has SocketCAN
# (vcan0 and vcan1 up), with this build's programs, can-utils and iproute2:
#
#   tests/socketcan/vm.sh [--file HOST_PATH GUEST_PATH]... BUILD_DIR TEST_SCRIPT [ARGS...]
#
# The guest sees BUILD_DIR's programs under /build (same relative paths), the
# test script's folder as /test, each --file at GUEST_PATH, and runs
# `sh /test/SCRIPT ARGS...` in /tmp; init.sh says what else it sets up.
# Prints the guest's console and exits with the script's status (1 when the
# VM never reported one). Emulated, so no KVM is needed.
# Environment: RAWCAN_VM_CACHE (the kernel that scripts/install-packages.sh
# --socketcan unpacked, default ~/.cache/rawcan-vm), RAWCAN_VM_TIMEOUT (the
# script's limit in seconds, default 300).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cache="${RAWCAN_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/rawcan-vm}"
test_timeout="${RAWCAN_VM_TIMEOUT:-300}"
modules=(can can-raw can-dev vcan can-gw)
can_utils=(candump cansend cangen canplayer cansequence canbusload cansniffer cangw)
build_programs=(sim/zelbor_sim reader/raw_can_reader writer/raw_can_writer relay/zelbor_relay
                zelbor/libZelbor.so bridge/raw_can_bridge tests/libzelbor_without_extensions.so)

usage() {
  echo "usage: $0 [--file HOST_PATH GUEST_PATH]... BUILD_DIR TEST_SCRIPT [ARGS...]" >&2
  exit 2
}
extra_files=()
while [ "${1:-}" = --file ]; do
  [ $# -ge 3 ] || usage
  extra_files+=("$2" "$3")
  shift 3
done
[ $# -ge 2 ] || usage
[ -f "$2" ] || { echo "vm.sh: no test script $2" >&2; exit 2; }
build=$(cd "$1" && pwd)
test_script=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
shift 2

kernel="$cache/kernel"
vmlinuz=$(find "$kernel/boot" -maxdepth 1 -name 'vmlinuz-*' 2>/dev/null | head -1)
if [ -z "$vmlinuz" ]; then
  echo "vm.sh: no kernel in $cache: run scripts/install-packages.sh --socketcan" >&2
  exit 2
fi
version=${vmlinuz##*/vmlinuz-}
module_tree="$kernel/lib/modules/$version"

work="$build/socketcan-vm"
root="$work/root"
rm -rf "$root"
mkdir -p "$root"/{bin,usr/bin,dev,proc,sys,tmp,etc,build,test}

started=$(date +%s%N)
# Seconds since a `date +%s%N`, to a tenth.
seconds_since() { awk -v from="$1" -v now="$(date +%s%N)" 'BEGIN { printf "%.1f", (now - from) / 1e9 }'; }

# Copies a program or library to the guest, with the shared libraries that
# the loader finds for it on this machine, at the same paths.
copy_with_libraries() {
  local source=$1 target=$2 library
  mkdir -p "$(dirname "$root/$target")"
  cp -L "$source" "$root/$target"
  for library in $(ldd "$source" 2>/dev/null | grep -o '/[^ ]*'); do
    case $library in "$build"/*) continue ;; esac  # the guest has the build under /build
    [ -e "$root/$library" ] && continue
    mkdir -p "$(dirname "$root/$library")"
    cp -L "$library" "$root/$library"
  done
}

cp /bin/busybox "$root/bin/busybox"
for applet in $(/bin/busybox --list); do
  case $applet in
    busybox | init | linuxrc) ;;  # no init of busybox's to fall back on if ours fails
    *) ln -s busybox "$root/bin/$applet" ;;
  esac
done
# Real tools go to /usr/bin, ahead of busybox's /bin on the guest's PATH.
for tool in "${can_utils[@]}" ip; do
  copy_with_libraries "$(PATH=$PATH:/usr/sbin:/sbin command -v "$tool")" "usr/bin/$tool"
done
for program in "${build_programs[@]}"; do
  if [ -e "$build/$program" ]; then
    copy_with_libraries "$build/$program" "build/$program"
  fi
done
cp -r "$(dirname "$test_script")/." "$root/test/"
for ((i = 0; i < ${#extra_files[@]}; i += 2)); do
  mkdir -p "$(dirname "$root/${extra_files[i + 1]}")"
  cp -r "${extra_files[i]}" "$root/${extra_files[i + 1]}"
done

# The modules and what they need, each after its dependencies, uncompressed
# (busybox's insmod reads plain .ko files only).
load_order=()
add_module() {
  local path=$1 dependency
  case " ${load_order[*]} " in *" $path "*) return ;; esac
  for dependency in $(awk -F': *' -v path="$path" '$1 == path { print $2 }' "$module_tree/modules.dep"); do
    add_module "$dependency"
  done
  load_order+=("$path")
}
for module in "${modules[@]}"; do
  path=$(grep -oE "^[^:]*/$module\.ko(\.xz)?:" "$module_tree/modules.dep" | tr -d :) ||
    { echo "vm.sh: no module $module in $module_tree/modules.dep" >&2; exit 2; }
  add_module "$path"
done
guest_modules=()
for path in "${load_order[@]}"; do
  target="lib/modules/$version/${path%.xz}"
  mkdir -p "$(dirname "$root/$target")"
  case "$path" in
    *.xz) /bin/busybox xzcat "$module_tree/$path" >"$root/$target" ;;
    *) cp "$module_tree/$path" "$root/$target" ;;
  esac
  guest_modules+=("/$target")
done

install -m 755 "$here/init.sh" "$root/init"
{
  echo "modules='${guest_modules[*]}'"
  echo "test_timeout=$test_timeout"
  printf 'set --'
  for argument in "$(basename "$test_script")" "$@"; do
    printf " '%s'" "$(printf '%s' "$argument" | sed "s/'/'\\\\''/g")"
  done
  echo
} >"$root/etc/vm.conf"

(cd "$root" && find . -mindepth 1 | /bin/busybox cpio -o -H newc -R 0:0 2>/dev/null) |
  gzip -1 >"$work/initramfs.cpio.gz"
echo "vm.sh: initramfs $(($(stat -c %s "$work/initramfs.cpio.gz") / 1024)) KiB, built in $(seconds_since "$started") s" >&2
booted=$(date +%s%N)

# The guest's own limit ends the script; this one catches a VM that hangs.
log="$work/console.log"
set +e
timeout -k 10 $((test_timeout + 180)) \
  qemu-system-x86_64 -accel tcg -cpu max -m 1024 -smp 2 -nographic -no-reboot -nic none \
    -kernel "$vmlinuz" -initrd "$work/initramfs.cpio.gz" \
    -append "console=ttyS0 quiet panic=-1" </dev/null 2>&1 |
  sed -u 's/\r$//; s/\x1bc//g; s/\x1b\[[0-9;?]*[A-Za-z]//g' | tee "$log"
qemu_status=${PIPESTATUS[0]}
set -e
status=$(sed -n 's/^rawcan-vm: exit status \([0-9]*\)$/\1/p' "$log" | tail -1)
echo "vm.sh: the VM ran $(seconds_since "$booted") s" >&2
if [ -z "$status" ]; then
  echo "vm.sh: the VM ended without the test script's status (qemu: $qemu_status); console in $log" >&2
  exit 1
fi
exit "$status"
