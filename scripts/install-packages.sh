#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests, the fuzz targets and
# the benchmarks need, if any is missing: as root, or with sudo when it asks
# for no password. Otherwise prints the one command to run, and fails.
# `make test`, `make test-sanitize` and .ci/run call it; `make demo` needs
# none of these beyond a compiler, CMake and make. With --windows: what the
# Windows build and its tests under Wine need instead.
set -euo pipefail

packages=(build-essential cmake make g++ clang libclang-rt-dev libgtest-dev libgmock-dev
          libbenchmark-dev python3-can python3-pytest python3-pip)
if [ "${1:-}" = --windows ]; then
  packages=(cmake make g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 googletest wine64)
fi

if ! command -v dpkg-query >/dev/null; then
  echo "not a Debian system: make sure these (or their equivalents) are installed: ${packages[*]}" >&2
  exit 0
fi
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
((${#missing[@]})) || exit 0

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
  as_root=(sudo)
else
  echo "missing Debian packages: ${missing[*]}" >&2
  echo "install them with: sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq "${missing[@]}"
