#!/usr/bin/env bash
# Builds the Linux library and runs the benchmark against the simulator in
# a private network namespace: TCP and the LAN search, then USB links and the
# USB search over 64 simulated USB instruments, then pyvisa over this library
# (@vxcomm) against pyvisa-py (@py) with Debian's Python.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bash "$top/scripts/deps.sh" native
out=${VX_BUILD_ROOT:-$top/build}/release
cmake -S "$top" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVX_BUILD_TESTS=OFF >/dev/null
cmake --build "$out" -j "$(nproc)" --target vxbench vxsim vxvisa >/dev/null
# The fixture VISA library for the VISA figures.
LD_LIBRARY_PATH="$out/bin" "$top/tests/netns_run.sh" --sim "$out/bin/vxsim" --addr 127.0.0.2 -- "$out/bin/vxbench" 127.0.0.2 "$@"
serials=$(for k in $(seq 0 63); do printf 'VXUSB%013d ' "$k"; done)
# shellcheck disable=SC2086
"$top/tests/netns_run.sh" --sim "$out/bin/vxsim" --addr 127.0.0.2 --sim-arg --usb-many --sim-arg 64 \
  -- "$out/bin/vxbench" --usb $serials
# The library over vxusbd beside a plain libusb client, on one USB device
# emulated with umockdev (bench/usbd_bench.cpp).
cmake --build "$out" -j "$(nproc)" --target vxbench_usbd >/dev/null
"$top/tests/netns_run.sh" -- "$out/bin/vxbench_usbd"
VX_COMM_LIB="$out/bin/libvx_comm_lib.so.0" PYTHONPATH="$top/python" \
  "$top/tests/netns_run.sh" --sim "$out/bin/vxsim" --addr 127.0.0.2 \
  -- /usr/bin/python3 "$top/bench/pyvisa_bench.py" 127.0.0.2
