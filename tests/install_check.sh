#!/usr/bin/env bash
# Installs a built tree into a fresh prefix and builds a small program
# against it twice, through the CMake package and through pkg-config, then
# runs both against the simulator, as a user's program would run.
#
#   install_check.sh BUILD_DIR SOURCE_DIR SIM [--windows WINE_PREFIX TOOLCHAIN]
set -euo pipefail
build=$1 src=$2 sim=$3
windows=""
if [ "${4:-}" = --windows ]; then
  windows=1 wine_prefix=$5 toolchain=$6
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
# vxusbd's files where systemd, sysusers, tmpfiles and udev look under a
# prefix; an install that is not into the running system says how to set
# it up there.
if [ -x "$prefix/sbin/vxusbd" ]; then
  for f in lib/systemd/system/vxusbd.service lib/systemd/system/vxusbd.socket lib/udev/rules.d/70-vxusbd.rules \
    lib/sysusers.d/vxusbd.conf lib/tmpfiles.d/vxusbd.conf; do
    [ -f "$prefix/$f" ] || { echo "install_check: $f not installed" >&2; exit 1; }
  done
  for step in "systemd-sysusers $prefix/lib/sysusers.d/vxusbd.conf" "systemd-tmpfiles --create $prefix/lib/tmpfiles.d/vxusbd.conf" \
    "udevadm trigger --subsystem-match=usb --action=add"; do
    grep -qF "  $step" "$work/install.log" || { echo "install_check: the install does not say to run '$step'" >&2; exit 1; }
  done
fi
# lib, or Debian's multiarch folder under it
libdir=$(dirname "$(dirname "$(find "$prefix" -name vx_comm_lib.pc | head -1)")")
for f in include/vx_comm.h "${libdir#"$prefix"/}/cmake/vx_comm_lib/vx_comm_libConfig.cmake" \
  "${libdir#"$prefix"/}/pkgconfig/vx_comm_lib.pc"; do
  [ -f "$prefix/$f" ] || { echo "install_check: $f not installed" >&2; exit 1; }
done

# 1. find_package(vx_comm_lib CONFIG)
if [ -n "$windows" ]; then
  cmake -S "$src/examples/consumer" -B "$work/by-cmake" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -Dvx_comm_lib_DIR="$libdir/cmake/vx_comm_lib" >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; exit 1; }
else
  cmake -S "$src/examples/consumer" -B "$work/by-cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
    >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; exit 1; }
fi
cmake --build "$work/by-cmake" >"$work/build.log" 2>&1 || { cat "$work/build.log"; exit 1; }

# 2. pkg-config
mkdir -p "$work/by-pc"
flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs vx_comm_lib)
if [ -n "$windows" ]; then
  # shellcheck disable=SC2086
  x86_64-w64-mingw32-gcc-posix -o "$work/by-pc/vx_consumer.exe" "$src/examples/demo.c" $flags -liphlpapi
else
  # shellcheck disable=SC2086
  cc -o "$work/by-pc/vx_consumer" "$src/examples/demo.c" $flags -Wl,-rpath,"$libdir"
fi

# 3. Both run against the simulator, in a namespace of their own.
for dir in by-cmake by-pc; do
  if [ -n "$windows" ]; then
    exe=$work/$dir/vx_consumer.exe
    out=$(WINEPATH="$prefix/bin" "$src/tests/netns_run.sh" --sim "$sim" --wine "$wine_prefix" -- "$exe" TCP-127.0.0.2 "$work/$dir.log")
  else
    exe=$work/$dir/vx_consumer
    out=$("$src/tests/netns_run.sh" --sim "$sim" -- "$exe" TCP-127.0.0.2 "$work/$dir.log")
  fi
  echo "$out" | head -1
  case "$out" in
    *"answers: VXSIM"*) ;;
    *) echo "install_check: the $dir program did not reach the instrument" >&2; exit 1 ;;
  esac
done
echo "install check passed"
