#!/usr/bin/env bash
# Runs inside tests/netns_run.sh: the steps of the main job, each shown.
set -euo pipefail
bin=$1
[ "${VX_NETNS_ISOLATED:-}" = 1 ] || { echo "demo_job.sh: run me through scripts/demo.sh" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
vx="$bin/vxcomm"

echo "\$ vxcomm find --iface lan --wait 500"
"$vx" find --iface lan --wait 500 | tee "$work/found"
for addr in $(awk 'NR > 1 { print $3 }' "$work/found"); do
  echo "\$ vxcomm query $addr '*IDN?'"
  "$vx" query "$addr" '*IDN?'
done

size=$((4 * 1024 * 1024 + 7))
first=$(awk 'NR == 2 { print $3 }' "$work/found")
echo "\$ vxcomm --log $work/fetch.log fetch $first 'BLOCK? $size' block.bin"
"$vx" --log "$work/fetch.log" fetch "$first" "BLOCK? $size" "$work/block.bin"
want=$("$vx" query "$first" "BLOCKSUM? $size")
got=$("$vx" upload --reply "$first" UPLOAD "$work/block.bin")
echo "instrument's checksum of the block:    $want"
echo "checksum of the file, sent back to it: $got"
if [ "$want" != "$got" ]; then
  echo "demo: the fetched block differs from what the instrument sent" >&2
  exit 1
fi
echo "block verified: every byte of $size matches"
echo
echo "\$ vxdemo TCP-$first   (open, *IDN?, close, and the call log it left)"
"$bin/vxdemo" "TCP-$first" "$work/demo.log"
