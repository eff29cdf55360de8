#!/usr/bin/env bash
# Builds the Linux library and runs the benchmark against the simulator in
# a private network namespace: TCP and the LAN search, the LAN routes
# (HiSLIP, SOCKET, VXI-11) side by side, the library against liblxi over
# VXI-11, then USB links and the USB search over 64 simulated USB
# instruments, then pyvisa over this library (@vxcomm) against pyvisa-py
# (@py) with Debian's Python, on a SOCKET, a VXI-11 and a HiSLIP resource.
#
#   bench.sh [--lan | --mdns [ROUNDS] | --usb-peer [ROUNDS] | --srq [ROUNDS [MEAS_MS [POLL_MS]]]] [QUERIES]
#
# --lan runs only the LAN protocol tables: the routes, liblxi and pyvisa.
# --mdns runs only the mDNS search against liblxi's Avahi browse
# (bench/mdns_bench.py in the avahi harness); it needs Debian's lxi-tools,
# which deps.sh does not install (no CI job runs it): apt-get install
# lxi-tools. The whole run includes it when lxi is there.
# --usb-peer runs only the library over vxusbd against pyvisa-py's USB route
# (pyusb) on one umockdev-emulated USB488 instrument (bench/usb_peer_bench.cpp,
# default 7 rounds); it needs Debian's python3-pyvisa-py and python3-usb.
# The whole run includes it when they are there.
# --srq runs only the service request latency (bench/srq_bench.cpp): a
# measurement's end awaited with vx_comm_waitSrq against polling *STB?
# (every 10 ms by default) on VXI-11, HiSLIP and USB488 (the simulator's
# USB bus), 20 rounds of MEAS 50 by default; then the same over vxusbd on a
# umockdev-emulated USB488 instrument, polling vx_comm_readStb
# (bench/usbd_srq_bench.cpp). The whole run includes it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
lan_only=0
mdns_only=0
usb_peer_only=0
srq_only=0
if [ "${1:-}" = --lan ]; then
  lan_only=1
  shift
elif [ "${1:-}" = --usb-peer ]; then
  usb_peer_only=1
  shift
elif [ "${1:-}" = --mdns ]; then
  mdns_only=1
  shift
elif [ "${1:-}" = --srq ]; then
  srq_only=1
  shift
fi
bash "$top/scripts/deps.sh" native
out=${VX_BUILD_ROOT:-$top/build}/release
cmake -S "$top" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVX_BUILD_TESTS=OFF >/dev/null
cmake --build "$out" -j "$(nproc)" --target vx_comm_lib vxbench vxsim vxvisa >/dev/null
sim=(--sim "$out/bin/vxsim" --addr 127.0.0.2)
# The library's one-shot mDNS search against `lxi discover -m` (liblxi over
# an avahi-daemon of the bench's own), on the responders of the avahi
# harness.
mdns_bench() {
  if ! command -v lxi >/dev/null; then
    echo "bench.sh: no lxi (apt-get install lxi-tools): the mDNS figures are skipped"
    return 0
  fi
  VX_COMM_LIB="$out/bin/libvx_comm_lib.so.0" PYTHONPATH="$top/python" PYTHONDONTWRITEBYTECODE=1 \
    "$top/tests/netns_run.sh" -- "$top/tests/mdns_avahi.sh" "$out/bin/vxsim" -- \
    /usr/bin/python3 "$top/bench/mdns_bench.py" "$@"
}
if [ "$mdns_only" = 1 ]; then
  mdns_bench "$@"
  exit 0
fi
# The library over vxusbd against pyvisa-py's USB route (pyusb), both on
# one USB488 instrument emulated with umockdev.
usb_peer_bench() {
  if ! /usr/bin/python3 -c 'import pyvisa_py, usb' 2>/dev/null; then
    echo "bench.sh: no pyvisa-py or pyusb (apt-get install python3-pyvisa-py python3-usb): the USB peer figures are skipped"
    return 0
  fi
  cmake --build "$out" -j "$(nproc)" --target vxbench_usbpeer >/dev/null
  "$top/tests/netns_run.sh" -- "$out/bin/vxbench_usbpeer" "$top/bench/usb_peer_bench.py" "$@"
}
if [ "$usb_peer_only" = 1 ]; then
  usb_peer_bench "$@"
  exit 0
fi
# Service request latency on the LAN routes and a USB488 instrument of the
# simulator's USB bus (with an interrupt-IN endpoint).
srq_bench() {
  cmake --build "$out" -j "$(nproc)" --target vxbench_srq vxbench_usbd_srq >/dev/null
  "$top/tests/netns_run.sh" "${sim[@]}" --sim-arg --usb --sim-arg CLASS488 --sim-arg --usb-class \
    --sim-arg 2a8d:0396 -- "$out/bin/vxbench_srq" "$@"
  # The same wait and poll through vxusbd on a umockdev-emulated USB488
  # instrument (bench/usbd_srq_bench.cpp).
  "$top/tests/netns_run.sh" -- "$out/bin/vxbench_usbd_srq" "$@"
}
if [ "$srq_only" = 1 ]; then
  srq_bench "$@"
  exit 0
fi
if [ "$lan_only" = 1 ]; then
  "$top/tests/netns_run.sh" "${sim[@]}" -- "$out/bin/vxbench" --routes 127.0.0.2 "$@"
else
  # The fixture VISA library for the VISA figures.
  LD_LIBRARY_PATH="$out/bin" "$top/tests/netns_run.sh" "${sim[@]}" -- "$out/bin/vxbench" 127.0.0.2 "$@"
fi
# The library against Debian's liblxi, where the build found it.
if grep -q '^LXI_FOUND:INTERNAL=1' "$out/CMakeCache.txt"; then
  cmake --build "$out" -j "$(nproc)" --target vxbench_lxi >/dev/null
  "$top/tests/netns_run.sh" "${sim[@]}" -- "$out/bin/vxbench_lxi" 127.0.0.2
else
  echo "bench.sh: no liblxi found: the liblxi figures are skipped"
fi
if [ "$lan_only" = 0 ]; then
  serials=$(for k in $(seq 0 63); do printf 'VXUSB%013d ' "$k"; done)
  # shellcheck disable=SC2086
  "$top/tests/netns_run.sh" "${sim[@]}" --sim-arg --usb-many --sim-arg 64 \
    -- "$out/bin/vxbench" --usb $serials
  # The library over vxusbd beside a plain libusb client, on one USB device
  # emulated with umockdev (bench/usbd_bench.cpp).
  cmake --build "$out" -j "$(nproc)" --target vxbench_usbd >/dev/null
  "$top/tests/netns_run.sh" -- "$out/bin/vxbench_usbd"
  usb_peer_bench
  srq_bench
fi
VX_COMM_LIB="$out/bin/libvx_comm_lib.so.0" PYTHONPATH="$top/python" \
  "$top/tests/netns_run.sh" "${sim[@]}" -- /usr/bin/python3 "$top/bench/pyvisa_bench.py" 127.0.0.2
if [ "$lan_only" = 0 ]; then
  mdns_bench
fi
