#!/usr/bin/env bash
# Runs inside tests/netns_run.sh: the steps of the main job, each shown.
set -euo pipefail
bin=$1
[ "${VX_NETNS_ISOLATED:-}" = 1 ] || { echo "demo_job.sh: run me through scripts/demo.sh" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
vx="$bin/vxcomm"

echo "\$ vxcomm find --iface lan,usb --wait 500"
"$vx" find --iface lan,usb --wait 500 | tee "$work/found"
for addr in $(awk 'NR > 1 { print $3 }' "$work/found"); do
  echo "\$ vxcomm query $addr '*IDN?'"
  "$vx" query "$addr" '*IDN?'
done

# Fetches a block from one instrument and has the instrument check it.
fetch_and_verify() {  # address, size
  local addr=$1 size=$2
  echo "\$ vxcomm --log $work/fetch.log fetch $addr 'BLOCK? $size' $work/block.bin"
  "$vx" --log "$work/fetch.log" fetch "$addr" "BLOCK? $size" "$work/block.bin"
  want=$("$vx" query "$addr" "BLOCKSUM? $size")
  got=$("$vx" upload --reply "$addr" UPLOAD "$work/block.bin")
  echo "instrument's checksum of the block:    $want"
  echo "checksum of the file, sent back to it: $got"
  if [ "$want" != "$got" ]; then
    echo "demo: the fetched block differs from what the instrument sent" >&2
    exit 1
  fi
  echo "block verified: every byte of $size matches ($work/block.bin, removed when the demo ends)"
}

size=$((4 * 1024 * 1024 + 7))
first=$(awk 'NR > 1 && $3 !~ /^USB-/ { print $3; exit }' "$work/found")
usb=$(awk 'NR > 1 && $3 ~ /^USB-/ { print $3; exit }' "$work/found")
[ -n "$first" ] && [ -n "$usb" ] || { echo "demo: a LAN or the USB instrument was not found" >&2; exit 1; }
fetch_and_verify "$first" "$size"
fetch_and_verify "$usb" "$size"

# VISA: the project's own VISA library (a test fixture, built as libvisa.so)
# shows the third instrument under a USB INSTR name, as an installed VISA
# library shows a USB instrument; it reaches it over TCP.
third=$(echo "$VX_TEST_ADDRS" | awk '{ print $3 }')
echo "USB0::0x03EB::0xAFFF::SNVX0000000000000002::INSTR tcp $third" >"$work/visa_table"
echo
echo "\$ vxcomm find --iface visa"
VXVISA_TABLE="$work/visa_table" LD_LIBRARY_PATH="$bin" "$vx" find --iface visa | tee "$work/found_visa"
visa_addr=$(awk 'NR == 2 { print $3 }' "$work/found_visa")
[ -n "$visa_addr" ] || { echo "demo: no instrument found through VISA" >&2; exit 1; }
echo "\$ vxcomm query $visa_addr '*IDN?'"
VXVISA_TABLE="$work/visa_table" LD_LIBRARY_PATH="$bin" "$vx" query "$visa_addr" '*IDN?'
echo
echo "\$ vxdemo TCP-$first   (open, *IDN?, close, and the call log it left)"
"$bin/vxdemo" "TCP-$first" "$work/demo.log"
