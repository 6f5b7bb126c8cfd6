#!/usr/bin/env bash
# Packs the Windows build as its zip, unpacks it into a scratch folder, and
# runs the programs from there under Wine: they must find libZelbor.dll
# beside them and need no DLL but Windows' own.
# Usage: windows_package_test.sh BUILD_DIR WINE_RUN
set -euo pipefail
build="$1"
wine_run="$2"
objdump=x86_64-w64-mingw32-objdump
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G ZIP -B "$scratch/package" >/dev/null)
zip=$(ls "$scratch"/package/*.zip)
mkdir "$scratch/unpacked"
(cd "$scratch/unpacked" && cmake -E tar xf "$zip")
root="$scratch/unpacked/raw-can-tools-1.0.0-windows-x64"
contents=$(cd "$root" && find . -type f | sort | tr '\n' ' ')
[ "$contents" = "./README.txt ./include/zelbor.h ./include/zelbor_counters.h ./lib/libZelbor.dll.a ./libZelbor.dll ./raw_can_reader.exe ./raw_can_writer.exe " ] ||
  fail "zip holds: $contents"

exported=$($objdump -p "$root/libZelbor.dll" | awk '/\[Ordinal\/Name Pointer\] Table/ {on = 1; next} on && NF == 0 {on = 0} on {print $NF}' | sort | tr '\n' ' ')
[ "$exported" = "ZelborCtrlRead ZelborCtrlWrite ZelborGetCounters ZelborGetLinkStatus ZelborRawCanRead ZelborRawCanWrite ZelborStartInterface ZelborStopInterface " ] ||
  fail "unexpected exports: $exported"
for program in raw_can_reader raw_can_writer; do
  dlls=$($objdump -p "$root/$program.exe" | awk '/DLL Name:/ {print $3}' | sort | tr '\n' ' ')
  [ "$dlls" = "KERNEL32.dll WINMM.dll libZelbor.dll msvcrt.dll " ] || fail "$program.exe loads $dlls"
  # Only the six calls the device maker's DLL has too; the counters are looked up.
  calls=$($objdump -p "$root/$program.exe" | awk '/DLL Name:/ {on = $3 == "libZelbor.dll"; next} on && NF == 3 {print $3}' | sort | tr '\n' ' ')
  [ "$calls" = "ZelborCtrlRead ZelborCtrlWrite ZelborRawCanRead ZelborRawCanWrite ZelborStartInterface ZelborStopInterface " ] ||
    fail "$program.exe imports $calls"
  status=0
  output=$(cd "$root" && "$wine_run" "$program.exe" 2>&1) || status=$?
  [ "$status" -eq 1 ] || fail "$program.exe exit status $status: $output"
  case "$output" in
    "usage: "*"\\$program.exe host_ip zelbor_ip can_channel"$'\r') ;;
    *) fail "$program.exe said: $output" ;;
  esac
done
echo "zip ok: $contents"
