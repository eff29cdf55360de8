#!/usr/bin/env bash
# Installs what the build and the tests need, on Debian 12, as root.
# Usage: scripts/deps.sh [demo|native|all]
#   demo:   what scripts/demo.sh builds and runs (no test suite, no sanitizers)
#   native: the Linux build with every test, sanitizer and fuzz configuration
#   all:    native plus the Windows cross build and Wine (the default)
set -euo pipefail
mode=${1:-all}
case "$mode" in
  demo | native | all) ;;
  *) echo "deps.sh: unknown mode '$mode' (demo, native or all)" >&2; exit 2 ;;
esac
want=(cmake ninja-build g++ iproute2 util-linux pkgconf libusb-1.0-0-dev)
if [ "$mode" != demo ]; then
  want+=(googletest binutils dpkg-dev file python3-venv python3-pytest python3-pyvisa python3-pyvisa-py python3-numpy
    lintian systemd clang libclang-rt-14-dev umockdev libumockdev-dev liblxi-dev rpcbind tshark)
fi
if [ "$mode" = all ]; then
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
  # Another apt or dpkg at work (an unattended upgrade) is waited for.
  apt-get -o DPkg::Lock::Timeout=300 update -qq
  # The tests run their own rpcbind inside a private network namespace; the
  # package's own service would listen on port 111 of every interface of
  # this machine, so it is neither started by the install nor enabled.
  quiet_rpcbind=no
  case " ${missing[*]} " in *" rpcbind "*) [ -e /usr/sbin/policy-rc.d ] || quiet_rpcbind=yes ;; esac
  if [ "$quiet_rpcbind" = yes ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
  fi
  # tshark (the HiSLIP check decodes its capture with Wireshark's dissector)
  # asks whether non-root users may capture: no, and without asking.
  case " ${missing[*]} " in
    *" tshark "*) echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections ;;
  esac
  rc=0
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -qq "${missing[@]}" >/dev/null || rc=$?
  if [ "$quiet_rpcbind" = yes ]; then
    rm -f /usr/sbin/policy-rc.d
    if command -v systemctl >/dev/null 2>&1; then
      systemctl disable --now rpcbind.service rpcbind.socket >/dev/null 2>&1 || true
    fi
  fi
  [ "$rc" = 0 ] || exit "$rc"
fi
