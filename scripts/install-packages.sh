#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests, the fuzz targets and
# the benchmarks need, if any is missing: as root, or with sudo when it asks
# for no password. Otherwise prints the one command to run, and fails.
# `make test`, `make test-sanitize` and .ci/run call it; `make demo` needs
# none of these beyond a compiler, CMake and make. With --windows: what the
# Windows build and its tests under Wine need instead. With --socketcan: what
# the SocketCAN tests' virtual machine needs, and Debian's kernel for it,
# downloaded (not installed) and unpacked into RAWCAN_VM_CACHE (default
# ~/.cache/rawcan-vm), once for each kernel version.
set -euo pipefail

packages=(build-essential cmake make g++ clang libclang-rt-dev libgtest-dev libgmock-dev
          libbenchmark-dev python3-can python3-pytest python3-pip systemd)
apt_options=()
case "${1:-}" in
  --windows)
    packages=(cmake make g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 googletest wine64) ;;
  --socketcan)
    packages=(qemu-system-x86 busybox-static can-utils iproute2)
    apt_options=(--no-install-recommends) ;;  # qemu's recommends are a desktop's worth
esac

if ! command -v dpkg-query >/dev/null; then
  echo "not a Debian system: make sure these (or their equivalents) are installed: ${packages[*]}" >&2
  exit 0
fi

# Sets as_root to the command prefix that runs apt-get as root, or prints its
# arguments (what is missing, the command to run) and fails.
find_root() {
  if [ "$(id -u)" -eq 0 ]; then
    as_root=()
  elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    as_root=(sudo)
  else
    printf '%s\n' "$@" >&2
    exit 1
  fi
}

install_missing() {
  local missing=() package
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  ((${#missing[@]})) || return 0
  find_root "missing Debian packages: ${missing[*]}" \
            "install them with: sudo apt-get install -y ${apt_options[*]:+${apt_options[*]} }${missing[*]}"
  echo "installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  "${as_root[@]}" apt-get update -qq
  "${as_root[@]}" apt-get install -y -qq "${apt_options[@]}" "${missing[@]}"
}

# The kernel package that linux-image-amd64 stands for, from apt's lists.
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null |
    awk '$1 == "Depends:" && $2 ~ /^linux-image-/ { print $2; exit }'
}

# Downloads kernel package $2 and unpacks it into $1/$2, whole or not at all.
download_kernel() {
  local cache=$1 name=$2 work vmlinuz
  [ -n "$name" ] || return 1
  echo "downloading $name into $cache" >&2
  mkdir -p "$cache"
  rm -rf "$cache"/.download.*  # what an interrupted run left
  work=$(mktemp -d "$cache/.download.XXXXXX")
  # As root apt would hand the download to its own user, who cannot write here.
  (cd "$work" && apt-get download -qq -o APT::Sandbox::User="$(id -un)" "$name") || return 1
  dpkg-deb -x "$work/$name"_*.deb "$work/tree" || return 1
  vmlinuz=$(echo "$work"/tree/boot/vmlinuz-*)
  # The package leaves modules.dep to its install step: make it here.
  /bin/busybox depmod -b "$work/tree" "${vmlinuz##*/vmlinuz-}" || return 1
  mv "$work/tree" "$cache/$name"
  rm -rf "$work"
}

# Debian's current kernel unpacked into the cache, with a link `kernel` to it;
# the host's own kernel is left alone.
fetch_kernel() {
  local cache="${RAWCAN_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/rawcan-vm}" name
  name=$(kernel_package)
  if [ -z "$name" ] || [ ! -d "$cache/$name" ]; then
    if ! download_kernel "$cache" "$name"; then  # apt's lists may be missing or stale
      find_root "cannot download Debian's kernel package" "update apt's lists with: sudo apt-get update"
      "${as_root[@]}" apt-get update -qq
      name=$(kernel_package)
      download_kernel "$cache" "$name" || { echo "cannot download ${name:-linux-image-amd64}" >&2; exit 1; }
    fi
    find "$cache" -mindepth 1 -maxdepth 1 -name 'linux-image-*' ! -name "$name" -exec rm -rf {} +
  fi
  ln -sfn "$name" "$cache/kernel"
}

install_missing
if [ "${1:-}" = --socketcan ]; then
  fetch_kernel
fi
