#!/usr/bin/env bash
# Installs what the build and the tests need, on Debian 12, as root.
# Usage: scripts/deps.sh [native|all]   (all adds the Windows cross build and Wine)
set -euo pipefail
want=(cmake ninja-build g++ googletest iproute2 util-linux binutils pkgconf dpkg-dev file python3-venv python3-pytest lintian systemd
  python3-pyvisa python3-pyvisa-py python3-numpy
  clang libclang-rt-14-dev libusb-1.0-0-dev umockdev libumockdev-dev)
if [ "${1:-all}" = all ]; then
  want+=(g++-mingw-w64-x86-64-posix wine64 wine)
fi
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "deps.sh: missing packages ${missing[*]}; run as root to install them" >&2
    exit 1
  fi
  echo "deps.sh: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
