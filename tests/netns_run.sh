#!/usr/bin/env bash
# Runs a command inside a private network namespace of its own, with the
# instrument simulator listening there, so that nothing a test, demo or
# benchmark sends can leave this machine's loopback. It also gets a private
# mount namespace with a fresh tmpfs on /run, so that the USB bus socket and
# the device reservations of parallel runs never meet. It has no
# /run/vx_comm_lib/lock (vxusbd's group folder), so reservations live in
# /run/lock; a test that makes that folder gets the group rule instead.
#
#   netns_run.sh [--sim PATH] [--addr A]... [--sim-arg X]... [--wine PREFIX]
#                [--wine-from PREPARED] [--usb-ctl CTL] -- COMMAND [ARGS...]
#
# --sim starts PATH (vxsim) on each --addr (default 127.0.0.2 and 127.0.0.3)
# and waits until it listens (ports 18 and 5025, VXI-11 with its portmapper
# on 111, HiSLIP on 4880); each --sim-arg hands one more argument to it, after the addresses. --wine runs COMMAND (a .exe) under Wine with
# the given prefix; the prefix's wineserver is started inside the namespace,
# because Wine creates sockets in the wineserver process.
# --wine-from first replaces PREFIX with a copy of the PREPARED one (a
# prefix with the test USB driver installed, tests/wine_usb); --usb-ctl then
# has the simulator serve its USB bus on 127.0.0.1 too and runs CTL (the
# driver's control program) to give the driver one child per bus device.
set -u

if [ "${VX_NETNS_INNER:-}" != 1 ]; then
  export VX_NETNS_INNER=1
  if [ "$(id -u)" = 0 ]; then
    exec unshare --net --mount --propagation private -- "$0" "$@"
  else
    exec unshare --map-root-user --net --mount --propagation private -- "$0" "$@"
  fi
fi

sim=""
wine_prefix=""
wine_from=""
usb_ctl=""
usb_tcp_port=5025
addrs=()
sim_extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --sim) sim="$2"; shift 2 ;;
    --addr) addrs+=("$2"); shift 2 ;;
    --sim-arg) sim_extra+=("$2"); shift 2 ;;
    --wine) wine_prefix="$2"; shift 2 ;;
    --wine-from) wine_from="$2"; shift 2 ;;
    --usb-ctl) usb_ctl="$2"; shift 2 ;;
    --) shift; break ;;
    *) echo "netns_run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
[ $# -gt 0 ] || { echo "netns_run.sh: no command given" >&2; exit 2; }
[ ${#addrs[@]} -gt 0 ] || addrs=(127.0.0.2 127.0.0.3)

ip link set lo up || exit 2
ip route add default dev lo 2>/dev/null || true

# Refuse unless the namespace holds the loopback interface and nothing else.
links=$(ip -o link show | awk -F': ' '{print $2}' | sed 's/@.*//')
if [ "$links" != "lo" ]; then
  echo "netns_run.sh: refusing to run: not isolated (interfaces: $(echo $links))" >&2
  exit 2
fi
export VX_NETNS_ISOLATED=1

mount -t tmpfs -o mode=0755 tmpfs /run || { echo "netns_run.sh: cannot mount a private /run" >&2; exit 2; }
mkdir -p /run/vx_comm_lib /run/lock && chmod 1777 /run/lock || exit 2
export VX_PRIVATE_RUN=1
export VX_TEST_ADDRS="${addrs[*]}"
# For whatever runs under Wine here: quiet, no Mono or Gecko installer, and
# no menu entries written into the user's home.
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

wineserver=${WINESERVER:-/usr/lib/wine/wineserver64}
work=$(mktemp -d)
sim_pid=""
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  if [ -n "$wine_prefix" ]; then
    WINEPREFIX="$wine_prefix" "$wineserver" -k 2>/dev/null
    # A suite's copy of the prepared prefix is its alone (about 700 MB).
    if [ -n "$wine_from" ] && [ -n "$usb_ctl" ]; then
      WINEPREFIX="$wine_prefix" "$wineserver" -w 2>/dev/null
      rm -rf "$wine_prefix"
    fi
  fi
  rm -rf "$work"
}
trap cleanup EXIT

if [ -n "$sim" ]; then
  sim_args=(--quiet --max-seconds 1800 --ready-file "$work/ready")
  for a in "${addrs[@]}"; do sim_args+=(--addr "$a"); done
  sim_args+=("${sim_extra[@]}")
  [ -z "$usb_ctl" ] || sim_args+=(--usb-tcp-port "$usb_tcp_port")
  "$sim" "${sim_args[@]}" &
  sim_pid=$!
  for _ in $(seq 1 200); do
    [ -f "$work/ready" ] && break
    kill -0 "$sim_pid" 2>/dev/null || { echo "netns_run.sh: simulator exited early" >&2; exit 2; }
    sleep 0.05
  done
  [ -f "$work/ready" ] || { echo "netns_run.sh: simulator not ready after 10 s" >&2; exit 2; }
fi

if [ -n "$wine_from" ]; then
  rm -rf "$wine_prefix" && cp -a "$wine_from" "$wine_prefix" || { echo "netns_run.sh: cannot copy $wine_from" >&2; exit 2; }
fi

if [ -n "$wine_prefix" ]; then
  export WINEPREFIX="$wine_prefix"
  # A wineserver left from elsewhere would own the sockets (they live in
  # the wineserver's namespace, not the client's): end it, start ours here,
  # and keep it for the whole command so each process start is cheap.
  "$wineserver" -k 2>/dev/null
  # A prefix not made yet gets its server from the first Wine process,
  # started here all the same.
  if [ -d "$wine_prefix" ]; then
    "$wineserver" -p || exit 2
  fi
  if [ -n "$usb_ctl" ]; then
    "${WINE:-/usr/lib/wine/wine64}" "$usb_ctl" scan "$usb_tcp_port" >&2 || { echo "netns_run.sh: the test USB driver did not come up" >&2; exit 2; }
  fi
  "${WINE:-/usr/lib/wine/wine64}" "$@"
  rc=$?
else
  "$@"
  rc=$?
fi
exit $rc
