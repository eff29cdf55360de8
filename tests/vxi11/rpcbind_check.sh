#!/usr/bin/env bash
# The simulator's VXI-11 core port registered with Debian's rpcbind instead
# of its own portmapper: rpcinfo lists it, pyvisa-py (portmapper version 2)
# and liblxi (libtirpc, rpcbind version 4) reach the instrument through it,
# and it is gone from rpcbind after the simulator exits.
#
#   rpcbind_check.sh SIM LXI_CLIENT [COMMAND...]   (run by tests/netns_run.sh, no --sim)
#
# With a COMMAND, that runs instead of pyvisa-py and liblxi (the library's
# own suite, its instrument at 127.0.0.2).
set -euo pipefail
sim=$1 client=$2
shift 2
if [ "${VX_NETNS_ISOLATED:-}" != 1 ] || [ "$(ip -o link show | awk -F': ' '{print $2}')" != lo ]; then
  echo "rpcbind_check.sh: run me through tests/netns_run.sh" >&2
  exit 2
fi
work=$(mktemp -d)
rpcbind_pid="" sim_pid=""
cleanup() {
  [ -z "$sim_pid" ] || { kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; }
  [ -z "$rpcbind_pid" ] || { kill "$rpcbind_pid" 2>/dev/null; wait "$rpcbind_pid" 2>/dev/null; }
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "rpcbind_check.sh: $*" >&2; exit 1; }

# rpcbind switches to the user _rpc, whose ids this user namespace does not
# map (only root is); in our private mount namespace _rpc is root instead.
sed -E 's/^(_rpc:[^:]*):[0-9]+:[0-9]+:/\1:0:0:/' /etc/passwd >"$work/passwd"
mount --bind "$work/passwd" /etc/passwd
mkdir -p /run/rpcbind  # /run is netns_run.sh's private tmpfs
/usr/sbin/rpcbind -f -w &
rpcbind_pid=$!
for _ in $(seq 1 100); do
  rpcinfo -p 127.0.0.1 >/dev/null 2>&1 && break
  kill -0 "$rpcbind_pid" 2>/dev/null || fail "rpcbind exited"
  sleep 0.05
done

"$sim" --quiet --addr 127.0.0.2 --vxi11-rpcbind --no-lan --socket-port 0 --max-seconds 120 \
  --ready-file "$work/ready" &
sim_pid=$!
for _ in $(seq 1 100); do
  [ -f "$work/ready" ] && break
  kill -0 "$sim_pid" 2>/dev/null || fail "vxsim exited early"
  sleep 0.05
done
[ -f "$work/ready" ] || fail "vxsim not ready after 5 s"

rpcinfo -p 127.0.0.1 | grep -Eq '^ +395183 +1 +tcp +1024 *' || fail "rpcbind does not list the VXI-11 core port: $(rpcinfo -p 127.0.0.1)"
if [ $# -gt 0 ]; then
  VX_TEST_ADDRS=127.0.0.2 "$@" || fail "$1 failed through rpcbind"
else
/usr/bin/python3 -c '
import pyvisa
inst = pyvisa.ResourceManager("@py").open_resource("TCPIP::127.0.0.2::INSTR", timeout=2000, read_termination="\n")
idn = inst.query("*IDN?")
inst.close()
assert idn == "VXSIM,MODEL-100,SNVX0000000000000000,1.0", idn
' || fail "pyvisa-py did not reach the instrument through rpcbind"
"$client" 127.0.0.2 VXSIM,MODEL-100 || fail "liblxi did not reach the instrument through rpcbind"
fi

kill "$sim_pid"
wait "$sim_pid" || fail "vxsim did not exit cleanly"
sim_pid=""
if rpcinfo -p 127.0.0.1 | grep -Eq '^ +395183 '; then fail "the registration outlived vxsim"; fi
echo "rpcbind_check.sh: registered, reached by ${1:-pyvisa-py and liblxi}, unregistered"
