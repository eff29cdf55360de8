#!/usr/bin/env bash
# Runs the LAN search against an instrument behind a second network card.
# Started by netns_run.sh, after its check that the namespace holds only
# `lo`: adds one veth pair of its own (198.18.0.1/24 here, 198.18.0.2/24 on
# the peer, which moves into a nested namespace where a second simulator
# answers), and runs the test program's FindLanCards cases.
#
#   lan_cards.sh VXSIM [--wine PREFIX] -- PROGRAM [ARGS...]
#
# --wine runs PROGRAM (a .exe) under Wine, with a wineserver of its own
# started after the card is made (Wine's sockets live in the wineserver).
set -u
[ "${VX_NETNS_ISOLATED:-}" = 1 ] || { echo "lan_cards.sh: run me through netns_run.sh" >&2; exit 2; }
sim="$1"; shift
wine_prefix=""
[ "${1:-}" = --wine ] && { wine_prefix=$2; shift 2; }
[ "${1:-}" = -- ] && shift

card=vxt0 peer=vxt1
ip link add "$card" type veth peer name "$peer" || { echo "lan_cards.sh: cannot make a veth pair" >&2; exit 2; }
work=$(mktemp -d)
child=""
cleanup() {
  [ -z "$child" ] || { kill "$child" 2>/dev/null; wait "$child" 2>/dev/null; }
  ip link del "$card" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

# The second card's side: its own namespace inside this one, holding the
# peer and a simulator whose one instrument sits on the card's subnet.
unshare --net -- bash -c '
  for _ in $(seq 1 100); do ip link show "$1" >/dev/null 2>&1 && break; sleep 0.05; done
  ip link set lo up && ip addr add 198.18.0.2/24 dev "$1" && ip link set "$1" up || exit 2
  exec "$2" --quiet --max-seconds 600 --ready-file "$3/ready" --addr 198.18.0.2 \
       --test-card "$1" --lan-model CARD-2 --lan-serial SN-CARD2
' lan_cards "$peer" "$sim" "$work" &
child=$!
# The peer moves only once the child is in its own namespace.
own_ns=$(readlink /proc/self/ns/net)
for _ in $(seq 1 100); do
  ns=$(readlink "/proc/$child/ns/net" 2>/dev/null) || break
  [ "$ns" != "$own_ns" ] && break
  sleep 0.05
done
[ "${ns:-$own_ns}" != "$own_ns" ] || { echo "lan_cards.sh: no nested namespace" >&2; exit 2; }
ip link set "$peer" netns "$child" || exit 2
ip addr add 198.18.0.1/24 dev "$card" && ip link set "$card" up || exit 2
for _ in $(seq 1 200); do
  [ -f "$work/ready" ] && break
  kill -0 "$child" 2>/dev/null || { echo "lan_cards.sh: second simulator exited early" >&2; exit 2; }
  sleep 0.05
done
[ -f "$work/ready" ] || { echo "lan_cards.sh: second simulator not ready after 10 s" >&2; exit 2; }

# Exactly lo and the card made above, or nothing runs.
links=$(ip -o link show | awk -F': ' '{print $2}' | sed 's/@.*//' | sort | tr '\n' ' ')
if [ "$links" != "lo $card " ]; then
  echo "lan_cards.sh: refusing to run: interfaces other than lo and $card: $links" >&2
  exit 2
fi
export VX_NETNS_OWN_IFACES="$card" VX_TEST_CARD_ADDR=198.18.0.2
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
