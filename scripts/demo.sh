#!/usr/bin/env bash
# The main job: builds the Linux library, starts the simulator in a private
# network namespace and asks an instrument who it is through the library.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
bash scripts/deps.sh native
out=${VX_BUILD_ROOT:-$top/build}/native
cmake -S "$top" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVX_BUILD_TESTS=OFF >/dev/null
cmake --build "$out" -j "$(nproc)" --target vxdemo vxsim >/dev/null
log=$(mktemp /tmp/vxdemo.XXXXXX.log)
"$top/tests/netns_run.sh" --sim "$out/bin/vxsim" --addr 127.0.0.2 -- "$out/bin/vxdemo" TCP-127.0.0.2 "$log"
rm -f "$log"
