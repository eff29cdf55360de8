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
    lintian systemd clang libclang-rt-14-dev umockdev libumockdev-dev liblxi-dev rpcbind tshark avahi-daemon)
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
  # The tests run their own rpcbind and avahi-daemon inside a private network
  # namespace; the packages' own services would listen on ports 111 and 5353
  # of every interface of this machine, so they are neither started by the
  # install nor enabled.
  quiet_services=()
  case " ${missing[*]} " in *" rpcbind "*) quiet_services+=(rpcbind.service rpcbind.socket) ;; esac
  case " ${missing[*]} " in *" avahi-daemon "*) quiet_services+=(avahi-daemon.service avahi-daemon.socket) ;; esac
  own_policy=no
  [ ${#quiet_services[@]} = 0 ] || [ -e /usr/sbin/policy-rc.d ] || own_policy=yes
  if [ "$own_policy" = yes ]; then
    printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
    chmod 755 /usr/sbin/policy-rc.d
  fi
  # tshark (the HiSLIP check decodes its capture with Wireshark's dissector)
  # asks whether non-root users may capture: no, and without asking.
  case " ${missing[*]} " in
    *" tshark "*) echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections ;;
  esac
  # avahi-daemon alone without its recommends: libnss-mdns would send this
  # machine's own .local host lookups out as multicast.
  plain=() bare=()
  for p in "${missing[@]}"; do
    if [ "$p" = avahi-daemon ]; then bare+=("$p"); else plain+=("$p"); fi
  done
  rc=0
  [ ${#plain[@]} = 0 ] ||
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -qq "${plain[@]}" >/dev/null || rc=$?
  [ ${#bare[@]} = 0 ] || [ "$rc" != 0 ] ||
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends \
      "${bare[@]}" >/dev/null || rc=$?
  if [ ${#quiet_services[@]} -gt 0 ]; then
    [ "$own_policy" = no ] || rm -f /usr/sbin/policy-rc.d
    if command -v systemctl >/dev/null 2>&1; then
      systemctl disable --now "${quiet_services[@]}" >/dev/null 2>&1 || true
    fi
  fi
  [ "$rc" = 0 ] || exit "$rc"
fi
