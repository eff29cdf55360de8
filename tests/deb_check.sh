#!/usr/bin/env bash
# Builds the Debian packages of a native build and checks them:
#  1. lintian reports no error and no warning on any of the four nor on the
#     -dbgsym packages (that covers unstripped binaries, RUNPATHs,
#     copyright, changelog, man pages), and each binary's debug symbols are
#     in a -dbgsym package;
#  2. their names, dependencies and versions: one release number, that of
#     vx_comm.h, in every package, in vxsim and vxusbd --version, in the
#     Python package and its metadata;
#  3. unpacked together into a throwaway root, they give what a user needs:
#     a C program built with pkg-config, a CMake project built with
#     find_package(vx_comm_lib), `import vxcomm` from the folder Debian's
#     python3 searches, vxusbd.socket enabled with systemctl --root, and
#     vxcomm finding the simulated instruments;
#  4. least privilege: USBTMC device nodes go to the service's own group,
#     not to the users' group the socket is given to; the sysusers and
#     tmpfiles entries applied to a throwaway root give the user and the
#     reservation folder (root, group plugdev, 3770);
#  5. vxcomm-tools' postinst, run with the tools it calls replaced by
#     recorders in a private /run, makes the user and folders and triggers
#     the udev rule for devices already plugged in (only where udev runs).
# The root is not /, so the compiler, CMake, python3 and the programs are
# pointed at it (PKG_CONFIG_PATH, CMAKE_PREFIX_PATH, PYTHONPATH,
# LD_LIBRARY_PATH); that the same folders are on the default search paths
# of a real Debian system is checked separately (pkg-config's, python3's
# and the loader's default lists). Maintainer scripts are not run but in 5.
#
#   deb_check.sh BUILD_DIR SOURCE_DIR SIM
set -euo pipefail
build=$1 src=$2 sim=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "deb_check: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/pkg" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
version=$(sed -n 's/^#define VX_COMM_VERSION "\(.*\)"$/\1/p' "$src/vx_comm.h")
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
lib=libvx-comm-lib0 dev=libvx-comm-lib-dev tools=vxcomm-tools py=python3-vxcomm
debs=()
for p in $lib:$arch $dev:$arch $tools:$arch $py:all; do
  f="$work/pkg/${p%%:*}_${version}-1_${p#*:}.deb"
  [ -f "$f" ] || fail "no package ${p%%:*} of version $version-1 ($(ls "$work/pkg"))"
  debs+=("$f")
done

ddebs=("$work/pkg/$lib-dbgsym_${version}-1_$arch.ddeb" "$work/pkg/$tools-dbgsym_${version}-1_$arch.ddeb")

# 1. lintian, with the overrides the packages carry; the -dbgsym ones too.
if ! lintian --no-cfg --fail-on error,warning "${debs[@]}" "${ddebs[@]}" >"$work/lintian.log" 2>&1; then
  grep -v '^running with root' "$work/lintian.log"
  fail "lintian found errors or warnings"
fi

# 2. Dependencies between the packages.
field() { dpkg-deb -f "$work/pkg/$1_${version}-1_$2.deb" "$3"; }
has() { case ", $1," in *", $2,"*) ;; *) fail "'$3' lacks '$2' (has '$1')" ;; esac; }
has "$(field $dev "$arch" Depends)" "$lib (= $version-1)" "$dev Depends"
has "$(field $tools "$arch" Depends)" "$lib (= $version-1)" "$tools Depends"
has "$(field $py all Depends)" "python3" "$py Depends"
has "$(field $py all Depends)" "$lib (>= $version)" "$py Depends"

# 3. Everything unpacked into one root.
root=$work/root
for f in "${debs[@]}"; do dpkg-deb -x "$f" "$root"; done
libdir=$root/usr/lib/$multiarch
export LD_LIBRARY_PATH=$libdir
# The debug symbols of each stripped binary are in a -dbgsym package.
for f in "${ddebs[@]}"; do dpkg-deb -x "$f" "$work/debug"; done
for bin in "$libdir/libvx_comm_lib.so.$version" "$root"/usr/bin/* "$root"/usr/sbin/*; do
  id=$(readelf -n "$bin" | sed -n 's/.*Build ID: \([0-9a-f]*\).*/\1/p')
  if [ -z "$id" ] || [ ! -f "$work/debug/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug" ]; then
    fail "no debug symbols for $bin (build id '$id')"
  fi
done
for v in "$("$root/usr/bin/vxsim" --version)" "$("$root/usr/sbin/vxusbd" --version)" \
  "$("$root/usr/bin/vxcomm" --version | head -n 1)"; do
  [ "${v#* }" = "$version" ] || fail "'$v' is not version $version"
done
pyproject=$(sed -n 's/^version = "\(.*\)"$/\1/p' "$src/python/pyproject.toml")
[ "$pyproject" = "$version" ] || fail "python/pyproject.toml has version $pyproject, not $version"

# The folders used below are the ones a real system searches by default.
pkg-config --variable pc_path pkg-config | tr : '\n' | grep -qx "/usr/lib/$multiarch/pkgconfig" ||
  fail "pkg-config does not search /usr/lib/$multiarch/pkgconfig"
/usr/bin/python3 -c 'import sys; sys.exit("/usr/lib/python3/dist-packages" not in sys.path)' ||
  fail "python3 does not search /usr/lib/python3/dist-packages"
loader_dirs=$("$(dpkg -L libc6 | grep -m1 '/ld-linux[^/]*\.so\.[0-9]$')" --help)
grep -qx "  /usr/lib/$multiarch (system search path)" <<<"$loader_dirs" ||
  fail "the loader does not search /usr/lib/$multiarch"

# pkg-config
flags=$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs vx_comm_lib)
mkdir -p "$work/by-pc"
# shellcheck disable=SC2086
cc -o "$work/by-pc/vx_consumer" "$src/examples/demo.c" $flags || fail "the pkg-config build failed"
# find_package
cmake -S "$src/examples/consumer" -B "$work/by-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" \
  >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "find_package(vx_comm_lib) failed"; }
cmake --build "$work/by-cmake" >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "the CMake build failed"; }
# import vxcomm, and the library it loads is the packaged one
got=$(cd "$work" && PYTHONPATH=$root/usr/lib/python3/dist-packages /usr/bin/python3 -c \
  'import vxcomm, pyvisa_vxcomm, os
vxcomm.load_library()
lib = [l.split()[-1] for l in open("/proc/self/maps") if "libvx_comm_lib" in l][0]
print(vxcomm.__version__, vxcomm.__file__, os.path.realpath(lib))')
read -r pyversion pyfile pylib <<<"$got"
[ "$pyversion" = "$version" ] || fail "vxcomm.__version__ is $pyversion, not $version"
case "$pyfile" in "$root"/*) ;; *) fail "imported vxcomm from $pyfile, not the package" ;; esac
[ "$pylib" = "$libdir/libvx_comm_lib.so.$version" ] || fail "vxcomm loaded $pylib, not the packaged library"
# vxusbd.socket enabled
systemctl --root="$root" enable vxusbd.socket >"$work/systemctl.log" 2>&1 || { cat "$work/systemctl.log"; fail "vxusbd.socket cannot be enabled"; }
[ -L "$root/etc/systemd/system/sockets.target.wants/vxusbd.socket" ] || fail "vxusbd.socket was not enabled"
grep -qx 'ExecStart=/usr/sbin/vxusbd --foreground' "$root/usr/lib/systemd/system/vxusbd.service" ||
  fail "vxusbd.service does not start /usr/sbin/vxusbd"

# The programs built against the root and the packaged vxcomm reach the
# simulated instruments.
for exe in "$work/by-pc/vx_consumer" "$work/by-cmake/vx_consumer"; do
  out=$("$src/tests/netns_run.sh" --sim "$sim" -- "$exe" TCP-127.0.0.2 "$work/consumer.log")
  case "$out" in *"answers: VXSIM"*) ;; *) fail "$exe did not reach the instrument: $out" ;; esac
done
out=$("$src/tests/netns_run.sh" --sim "$sim" -- "$root/usr/bin/vxcomm" find --iface lan --wait 300)
echo "$out" | grep -q "127.0.0.2" || fail "the packaged vxcomm found nothing"

# 4. Device nodes for the service only; users have the socket.
unit_group=$(sed -n 's/^Group=//p' "$root/usr/lib/systemd/system/vxusbd.service")
socket_group=$(sed -n 's/^SocketGroup=//p' "$root/usr/lib/systemd/system/vxusbd.socket")
rule_group=$(grep -v '^#' "$root/usr/lib/udev/rules.d/70-vxusbd.rules" | sed -n 's/.*GROUP="\([^"]*\)".*/\1/p')
[ -n "$rule_group" ] && [ "$rule_group" = "$unit_group" ] && [ "$rule_group" != "$socket_group" ] ||
  fail "the udev rule gives devices to group '$rule_group' (service: '$unit_group', users: '$socket_group')"
grep -q 'MODE="0660"' "$root/usr/lib/udev/rules.d/70-vxusbd.rules" || fail "the udev rule's mode is not 0660"
sys=$work/sysroot
mkdir -p "$sys/etc" "$sys/run"
systemd-sysusers --root="$sys" "$root/usr/lib/sysusers.d/vxusbd.conf" >/dev/null 2>&1 || fail "the sysusers entry does not apply"
grep -q '^vxusbd:x:[0-9]*:[0-9]*:' "$sys/etc/passwd" && grep -q '^vxusbd:' "$sys/etc/group" ||
  fail "the sysusers entry makes no user and group vxusbd"
case "$(sed -n 's/^plugdev:x:[0-9]*://p' "$sys/etc/group")" in *vxusbd*) fail "vxusbd is made a member of plugdev" ;; esac
systemd-tmpfiles --root="$sys" --create "$root/usr/lib/tmpfiles.d/vxusbd.conf" || fail "the tmpfiles entry does not apply"
plugdev_gid=$(sed -n 's/^plugdev:x:\([0-9]*\):.*/\1/p' "$sys/etc/group")
[ "$(stat -c '%a %u %g' "$sys/run/vx_comm_lib/lock")" = "3770 0 $plugdev_gid" ] ||
  fail "the reservation folder is $(stat -c '%a %u %g' "$sys/run/vx_comm_lib/lock"), not 3770 root plugdev"

# 5. The postinst, with recorders for the tools it calls.
dpkg-deb -e "$work/pkg/${tools}_${version}-1_$arch.deb" "$work/control"
mkdir -p "$work/stubs"
for t in systemd-sysusers systemd-tmpfiles udevadm; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$t" "$work/calls" >"$work/stubs/$t"
  chmod +x "$work/stubs/$t"
done
setup="systemd-sysusers vxusbd.conf
systemd-tmpfiles --create vxusbd.conf"
for udev in yes no; do
  expect=$setup
  [ $udev = no ] || expect="$expect
udevadm control --reload-rules
udevadm trigger --subsystem-match=usb --action=add"
  rm -f "$work/calls"
  "$src/tests/netns_run.sh" -- sh -c "[ $udev = no ] || mkdir /run/udev; PATH='$work/stubs':\$PATH sh '$work/control/postinst' configure" ||
    fail "postinst configure failed (udev running: $udev)"
  [ "$(cat "$work/calls")" = "$expect" ] || fail "postinst (udev running: $udev) called: $(cat "$work/calls")"
done
echo "deb check passed: ${debs[*]##*/}"
