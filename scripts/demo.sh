#!/usr/bin/env bash
# The main job: builds the Linux library and vxcomm, starts three simulated
# LAN instruments and one USB instrument in a private network namespace,
# finds them, asks each who it is, and fetches a block of a few MiB from a
# LAN and from the USB instrument, every byte verified against the
# instrument's own checksum; then finds the third LAN instrument, made by
# Vextron AG, through VISA and asks it who it is.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/deps.sh demo
out=${VX_BUILD_ROOT:-$top/build}/native
cmake -S "$top" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX_BUILD_TESTS=OFF >/dev/null
cmake --build "$out" -j "$(nproc)" --target vxcomm vxdemo vxsim vxvisa >/dev/null
exec "$top/tests/netns_run.sh" --sim "$out/bin/vxsim" --addr 127.0.0.2 --addr 127.0.0.3 --addr 127.0.0.4 \
  --sim-arg --idn --sim-arg "" --sim-arg --idn --sim-arg "" \
  --sim-arg --idn --sim-arg "Vextron AG,VX-3000,SNVX0000000000000002,1.0" \
  --sim-arg --usb --sim-arg VX0000000000004711 -- bash "$top/scripts/demo_job.sh" "$out/bin"
