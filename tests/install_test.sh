#!/usr/bin/env bash
# Installs the build into a scratch prefix, and packs it as a Debian package
# unpacked into a scratch root; the installed programs must run from there
# without LD_LIBRARY_PATH. Usage: install_test.sh BUILD_DIR (install|package)
set -euo pipefail
build="$1"
mode="$2"
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

if [ "$mode" = install ]; then
  cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
  root="$scratch/prefix"
else
  (cd "$build" && cpack -G DEB -B "$scratch/package" >/dev/null)
  deb=$(ls "$scratch"/package/*.deb)
  [ "$(dpkg-deb -f "$deb" Package)" = raw-can-tools ] || fail "package name"
  dpkg-deb -x "$deb" "$scratch/root"
  root="$scratch/root/usr"
fi

lib=$(ls "$root"/lib*/libZelbor.so 2>/dev/null || ls "$root"/lib/*/libZelbor.so)
for file in bin/raw_can_reader bin/raw_can_writer bin/raw_can_bridge bin/zelbor_sim bin/zelbor_relay \
            include/zelbor.h include/zelbor_counters.h include/zelbor_host.h \
            share/man/man1/raw_can_reader.1 \
            share/man/man1/raw_can_writer.1 share/man/man1/raw_can_bridge.1 \
            share/man/man1/zelbor_sim.1 share/man/man1/zelbor_relay.1; do
  [ -f "$root/$file" ] || fail "$file not installed"
done
readelf -d "$lib" | grep -q 'SONAME.*\[libZelbor.so\]' || fail "libZelbor.so has no soname"
# Only the library's C interface is exported.
exported=$(nm -D --defined-only "$lib" | awk '$2 == "T" {print $3}' | sort | tr '\n' ' ')
[ "$exported" = "ZelborCtrlRead ZelborCtrlWrite ZelborGetCounters ZelborGetLinkStatus ZelborRawCanRead ZelborRawCanWrite ZelborStartInterface ZelborStopInterface " ] ||
  fail "unexpected exports: $exported"
# The host driver, beside it, exports its C interface alone.
exported=$(nm -D --defined-only "$(dirname "$lib")/libZelborHost.so" |
           awk '$2 == "T" && $3 !~ /^ZelborHost/ {print $3}' | tr '\n' ' ')
[ -z "$exported" ] || fail "libZelborHost.so exports more than its C interface: $exported"
for program in raw_can_reader raw_can_writer; do
  readelf -d "$root/bin/$program" | grep -q 'NEEDED.*\[libZelbor.so\]' || fail "$program does not load libZelbor.so"
  status=0
  output=$(env -u LD_LIBRARY_PATH "$root/bin/$program" 2>&1) || status=$?
  [ "$status" -eq 1 ] || fail "$program exit status $status: $output"
  [ "$output" = "usage: $root/bin/$program host_ip zelbor_ip can_channel" ] || fail "$program said: $output"
done
output=$(env -u LD_LIBRARY_PATH "$root/bin/raw_can_bridge" 2>&1) && fail "raw_can_bridge without arguments"
[ "$output" = "usage: $root/bin/raw_can_bridge [--timing host|bus[=DELAY_MS]] host_ip zelbor_ip can_channel interface" ] ||
  fail "raw_can_bridge said: $output"
grep -q '^\.TH RAW_CAN_READER 1' "$root/share/man/man1/raw_can_reader.1" || fail "manual page"
# The service per interface: systemd takes it, as an instance, without a word.
unit="$root/lib/systemd/system/raw-can-bridge@.service"
[ -f "$unit" ] || fail "raw-can-bridge@.service not installed"
mkdir "$scratch/units"
cp "$unit" "$scratch/units/raw-can-bridge@vcan0.service"
said=$(MANPATH="$root/share/man" systemd-analyze verify "$scratch/units/raw-can-bridge@vcan0.service" 2>&1) ||
  fail "systemd-analyze verify: $said"
[ -z "$said" ] || fail "systemd-analyze verify said: $said"
echo "$mode ok: $root"
