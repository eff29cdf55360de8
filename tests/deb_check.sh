#!/usr/bin/env bash
# Builds the Debian package of a native build and checks it: its name and
# dependencies, the files it carries, and that its vxcomm, unpacked on its
# own, finds the simulated instruments.
#
#   deb_check.sh BUILD_DIR SOURCE_DIR SIM
set -euo pipefail
build=$1 src=$2 sim=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

(cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/pkg/*.deb)
info=$(dpkg-deb --info "$deb")
for want in "Package: vx-comm-lib" "Depends:" "libc6"; do
  echo "$info" | grep -q "$want" || { echo "deb_check: control lacks '$want'" >&2; exit 1; }
done
files=$(dpkg-deb --contents "$deb" | awk '{print $6}')
for want in ./usr/include/vx_comm.h ./usr/lib/libvx_comm_lib.so.0 ./usr/bin/vxcomm \
  ./usr/lib/cmake/vx_comm_lib/vx_comm_libConfig.cmake ./usr/lib/pkgconfig/vx_comm_lib.pc \
  ./usr/sbin/vxusbd ./usr/lib/systemd/system/vxusbd.socket ./usr/lib/systemd/system/vxusbd.service \
  ./usr/lib/udev/rules.d/70-vxusbd.rules ./usr/lib/sysusers.d/vxusbd.conf ./usr/share/man/man8/vxusbd.8; do
  echo "$files" | grep -qx -- "$want" || { echo "deb_check: $want missing from the package" >&2; exit 1; }
done

dpkg-deb -x "$deb" "$work/root"
grep -qx 'ExecStart=/usr/sbin/vxusbd --foreground' "$work/root/usr/lib/systemd/system/vxusbd.service" ||
  { echo "deb_check: vxusbd.service does not start /usr/sbin/vxusbd" >&2; exit 1; }
"$work/root/usr/sbin/vxusbd" --version | grep -q '^vxusbd ' || { echo "deb_check: the packaged vxusbd does not run" >&2; exit 1; }
out=$("$src/tests/netns_run.sh" --sim "$sim" -- "$work/root/usr/bin/vxcomm" find --iface lan --wait 300)
echo "$out"
echo "$out" | grep -q "127.0.0.2" || { echo "deb_check: the packaged vxcomm found nothing" >&2; exit 1; }
echo "deb check passed: $(basename "$deb")"
