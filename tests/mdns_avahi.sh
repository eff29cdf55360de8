#!/usr/bin/env bash
# Runs a program against four LAN instruments that announce themselves by
# mDNS through Debian's avahi-daemon, an independent responder. Started by
# netns_run.sh, after its check that the namespace holds only `lo`: adds one
# veth pair (198.18.0.1/24 here, 198.18.0.2/24 on the peer, which moves
# into a nested namespace that also holds 198.18.0.3), and there starts a
# simulator on both addresses and an avahi-daemon publishing static services for it
# as host vxsim-peer.local (198.18.0.2):
#
#   "VXSIM HISLIP 0001"  _hislip._tcp     4880  MODEL-H  SN-H1
#   "VXSIM SOCKET 0002"  _scpi-raw._tcp   5025  MODEL-S  SN-S2
#   "VXSIM VXI11 0003"   _vxi-11._tcp      111  MODEL-V  SN-V3
#
# each also as _lxi._tcp on port 80, TXT Manufacturer=VXSIM, Model, SerialNumber;
# and as host vxsim-plain.local (198.18.0.3, a static host entry), one
# that names itself only when asked "*IDN?" (VXSIM,MODEL-P,SN-P4,1.0):
#
#   "VXSIM PLAIN 0004"   _scpi-raw._tcp   5025  (TXT without keys, no _lxi)
#
# The cards also have IPv6 (fd00:198:18::1/64 here, ::2 on the peer, which
# the daemon publishes for vxsim-peer.local beside its IPv4 address); the
# static host entries give vxsim-plain.local fd00:198:18::3 as well, and
# vxsim-six.local (nobody answers there) fd00:198:18::6 alone:
#
#   "VXSIM SIX 0005"     _hislip._tcp     4880  MODEL-6  SN-6
#
# and vxsim-silent.local, 198.18.0.9, where nobody answers (not even ARP),
# without TXT keys:
#
#   "VXSIM SILENT 0006"  _scpi-raw._tcp   5025
#
#   mdns_avahi.sh VXSIM [--coexist] [--wine PREFIX] -- PROGRAM [ARGS...]
#
# --coexist starts a second avahi-daemon on this side's card, holding port
# 5353 here, as on a desktop. --wine runs PROGRAM (a .exe) under Wine, with
# a wineserver of its own started after the card is made.
# Each daemon runs in a mount namespace of its own, with its own /run (pid
# file and socket) and the test's services folder over /etc/avahi/services;
# the machine's own /etc is never written.
# PROGRAM gets VX_MDNS_PEER=198.18.0.2; its status is ours.
set -u
[ "${VX_NETNS_ISOLATED:-}" = 1 ] || { echo "mdns_avahi.sh: run me through netns_run.sh" >&2; exit 2; }
sim="$1"; shift
coexist=no
wine_prefix=""
while [ $# -gt 0 ]; do
  case "$1" in
    --coexist) coexist=yes; shift ;;
    --wine) wine_prefix="$2"; shift 2 ;;
    --) shift; break ;;
    *) echo "mdns_avahi.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
[ $# -gt 0 ] || { echo "mdns_avahi.sh: no command given" >&2; exit 2; }
avahi=${AVAHI_DAEMON:-/usr/sbin/avahi-daemon}
[ -x "$avahi" ] || { echo "mdns_avahi.sh: $avahi missing (scripts/deps.sh installs it)" >&2; exit 2; }

card=vxt0 peer=vxt1
ip link add "$card" type veth peer name "$peer" || { echo "mdns_avahi.sh: cannot make a veth pair" >&2; exit 2; }
work=$(mktemp -d)
chmod 755 "$work"
child="" near=""
cleanup() {
  local f
  for f in "$work"/*.pid; do
    [ -f "$f" ] && kill "$(cat "$f")" 2>/dev/null
  done
  [ -z "$near" ] || { kill "$near" 2>/dev/null; wait "$near" 2>/dev/null; }
  # The peer's shell reaps its daemons and ends; it is ended if it does not.
  if [ -n "$child" ]; then
    for _ in $(seq 1 40); do kill -0 "$child" 2>/dev/null || break; sleep 0.05; done
    kill "$child" 2>/dev/null
    wait "$child" 2>/dev/null
  fi
  ip link del "$card" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# A daemon's configuration: host NAME on card IFACE only, IPv4, no D-Bus,
# no wide-area DNS, nothing published but the static services.
avahi_conf() {
  cat <<EOF
[server]
host-name=$1
domain-name=local
use-ipv4=yes
use-ipv6=no
allow-interfaces=$2
enable-dbus=no
ratelimit-interval-usec=1000000
ratelimit-burst=1000
[wide-area]
enable-wide-area=no
[publish]
publish-addresses=yes
publish-hinfo=no
publish-workstation=no
publish-domain=no
[reflector]
enable-reflector=no
[rlimits]
EOF
}
# One instrument: NAME TYPE PORT MODEL SERIAL, also as an LXI web page.
avahi_service() {
  local txt="<txt-record>Manufacturer=VXSIM</txt-record><txt-record>Model=$4</txt-record>"
  txt="$txt<txt-record>SerialNumber=$5</txt-record>"
  cat <<EOF
<?xml version="1.0" standalone='no'?>
<!DOCTYPE service-group SYSTEM "avahi-service.dtd">
<service-group>
  <name>$1</name>
  <service><type>$2</type><port>$3</port>$txt</service>
  <service><type>_lxi._tcp</type><port>80</port>$txt</service>
</service-group>
EOF
}
# An instrument on a host of its own: NAME TYPE PORT HOST TXT...
avahi_other_host() {
  local name=$1 type=$2 port=$3 host=$4 txt="" t
  shift 4
  for t in "$@"; do txt="$txt<txt-record>$t</txt-record>"; done
  cat <<EOF
<?xml version="1.0" standalone='no'?>
<!DOCTYPE service-group SYSTEM "avahi-service.dtd">
<service-group>
  <name>$name</name>
  <service><type>$type</type><port>$port</port><host-name>$host</host-name>$txt</service>
</service-group>
EOF
}
mkdir -p "$work/services" "$work/none" || exit 2
# The daemon keeps its runtime folder owned by its user, and it checks that
# it got it; in a user namespace the avahi user has no uid. So the daemons'
# own view of the user and group files names root as that user.
{ grep -v '^avahi:' /etc/passwd; echo 'avahi:x:0:0:avahi:/nonexistent:/usr/sbin/nologin'; } >"$work/passwd"
{ grep -v '^avahi:' /etc/group; echo 'avahi:x:0:'; } >"$work/group"
chmod 644 "$work/passwd" "$work/group"
avahi_conf vxsim-peer "$peer" >"$work/peer.conf"
avahi_conf vxsim-near "$card" >"$work/near.conf"
avahi_service "VXSIM HISLIP 0001" _hislip._tcp 4880 MODEL-H SN-H1 >"$work/services/hislip.service"
avahi_service "VXSIM SOCKET 0002" _scpi-raw._tcp 5025 MODEL-S SN-S2 >"$work/services/socket.service"
avahi_service "VXSIM VXI11 0003" _vxi-11._tcp 111 MODEL-V SN-V3 >"$work/services/vxi11.service"
avahi_other_host "VXSIM PLAIN 0004" _scpi-raw._tcp 5025 vxsim-plain.local txtvers=1 >"$work/services/plain.service"
avahi_other_host "VXSIM SIX 0005" _hislip._tcp 4880 vxsim-six.local Model=MODEL-6 SerialNumber=SN-6 \
  >"$work/services/six.service"
avahi_other_host "VXSIM SILENT 0006" _scpi-raw._tcp 5025 vxsim-silent.local >"$work/services/silent.service"
printf '%s\n' "198.18.0.3 vxsim-plain.local" "fd00:198:18::3 vxsim-plain.local" "fd00:198:18::6 vxsim-six.local" \
  "198.18.0.9 vxsim-silent.local" >"$work/hosts"
: >"$work/no-hosts"
chmod 644 "$work/hosts" "$work/no-hosts"

# The peer's side: its own network and mount namespace inside this one,
# holding the peer card, a simulator on it and the announcing daemon.
unshare --net --mount --propagation private -- bash -c '
  for _ in $(seq 1 100); do ip link show "$1" >/dev/null 2>&1 && break; sleep 0.05; done
  # 198.18.0.3 sits on lo, so the daemon (on the card only) answers from
  # 198.18.0.2 alone; the kernel still answers ARP for it on the card.
  ip link set lo up && ip addr add 198.18.0.2/24 dev "$1" && ip addr add 198.18.0.3/32 dev lo &&
    ip addr add fd00:198:18::2/64 dev "$1" nodad && ip link set dev "$1" multicast on up || exit 2
  mount -t tmpfs -o mode=0755 tmpfs /run && mount --bind "$3/services" /etc/avahi/services &&
    mount --bind "$3/hosts" /etc/avahi/hosts &&
    mount --bind "$3/passwd" /etc/passwd && mount --bind "$3/group" /etc/group || exit 2
  "$2" --quiet --max-seconds 600 --ready-file "$3/ready" --addr 198.18.0.2 --addr 198.18.0.3 \
    --idn "" --idn "VXSIM,MODEL-P,SN-P4,1.0" --test-card "$1" &
  echo $! >"$3/sim.pid"
  "$4" -f "$3/peer.conf" --no-drop-root --no-chroot --no-rlimits --no-proc-title 2>"$3/peer.log" &
  echo $! >"$3/peer.pid"
  wait
' mdns_peer "$peer" "$sim" "$work" "$avahi" &
child=$!
# The peer moves only once the child is in its own namespace.
own_ns=$(readlink /proc/self/ns/net)
for _ in $(seq 1 100); do
  ns=$(readlink "/proc/$child/ns/net" 2>/dev/null) || break
  [ "$ns" != "$own_ns" ] && break
  sleep 0.05
done
[ "${ns:-$own_ns}" != "$own_ns" ] || { echo "mdns_avahi.sh: no nested namespace" >&2; exit 2; }
ip link set "$peer" netns "$child" || exit 2
ip addr add 198.18.0.1/24 dev "$card" && ip addr add fd00:198:18::1/64 dev "$card" nodad &&
  ip link set dev "$card" multicast on up || exit 2
# No multicast route: like everything else it leaves by lo (the default
# route), so only a query sent out of the card itself reaches the peer.

if [ "$coexist" = yes ]; then
  unshare --mount --propagation private -- bash -c '
    mount -t tmpfs -o mode=0755 tmpfs /run && mount --bind "$1/none" /etc/avahi/services &&
      mount --bind "$1/no-hosts" /etc/avahi/hosts &&
      mount --bind "$1/passwd" /etc/passwd && mount --bind "$1/group" /etc/group || exit 2
    exec "$2" -f "$1/near.conf" --no-drop-root --no-chroot --no-rlimits --no-proc-title 2>"$1/near.log"
  ' mdns_near "$work" "$avahi" &
  near=$!
fi

# Bounded: the simulator listens, and the daemons have probed their names
# and announced every service.
ready=no
for _ in $(seq 1 300); do
  n=$(grep -c "successfully established" "$work/peer.log" 2>/dev/null)
  if [ -f "$work/ready" ] && [ "${n:-0}" -ge 6 ] &&
     { [ "$coexist" = no ] || grep -q "Server startup complete" "$work/near.log" 2>/dev/null; }; then
    ready=yes
    break
  fi
  kill -0 "$child" 2>/dev/null || break
  [ -z "$near" ] || kill -0 "$near" 2>/dev/null || break
  sleep 0.05
done
if [ "$ready" != yes ]; then
  echo "mdns_avahi.sh: the peer (simulator and avahi-daemon) not ready after 15 s" >&2
  cat "$work/peer.log" "$work/near.log" >&2 2>/dev/null
  exit 2
fi

# Exactly lo and the card made above, or nothing runs.
links=$(ip -o link show | awk -F': ' '{print $2}' | sed 's/@.*//' | sort | tr '\n' ' ')
if [ "$links" != "lo $card " ]; then
  echo "mdns_avahi.sh: refusing to run: interfaces other than lo and $card: $links" >&2
  exit 2
fi
export VX_NETNS_OWN_IFACES="$card" VX_MDNS_PEER=198.18.0.2
if [ -n "$wine_prefix" ]; then
  wineserver=${WINESERVER:-/usr/lib/wine/wineserver64}
  export WINEPREFIX="$wine_prefix"
  "$wineserver" -k 2>/dev/null
  "$wineserver" -p || exit 2
  "${WINE:-/usr/lib/wine/wine64}" "$@"
  rc=$?
  "$wineserver" -k 2>/dev/null
  exit $rc
fi
"$@"
