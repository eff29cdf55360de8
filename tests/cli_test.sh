#!/usr/bin/env bash
# Drives the vxcomm tool against the simulator, as a user would. Runs
# inside tests/netns_run.sh (which starts the simulator on VX_TEST_ADDRS).
set -u
vx=$1
[ "${VX_NETNS_ISOLATED:-}" = 1 ] || { echo "cli_test.sh: run me through tests/netns_run.sh" >&2; exit 2; }
read -r a b _ <<<"${VX_TEST_ADDRS:-127.0.0.2 127.0.0.3}"
work=$(mktemp -d)
silent=""
trap '[ -z "$silent" ] || kill "$silent" 2>/dev/null; rm -rf "$work"' EXIT
passed=0 failed=0
check() {  # name, then a command that must succeed
  local name=$1
  shift
  if "$@"; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $name" >&2; fi
}

"$vx" --help >"$work/help" && grep -q '^commands:' "$work/help"
check "--help" test $? = 0
"$vx" fetch --help | grep -q 'usage: vxcomm fetch'
check "fetch --help" test $? = 0

"$vx" find --iface lan --wait 300 >"$work/find" 2>&1
check "find exit status" test $? = 0
check "find lists $a" grep -Eq "^MODEL-100 +SNVX0+ +$a\$" "$work/find"
check "find lists $b" grep -Eq "^MODEL-101 +SNVX0+1 +$b\$" "$work/find"
check "find lists each once" test "$(grep -c "$a\$" "$work/find")" = 1
# The VXI-11 search: by name, and in a plain find (the simulator answers
# both searches, so there it is listed under both names): the options, a
# line the list must hold, text no line may end with.
while IFS='|' read -r opts want unwanted; do
  "$vx" find $opts --wait 300 >"$work/find11" 2>&1
  check "find ${opts:-(no options)}: exit status" test $? = 0
  check "find ${opts:-(no options)} lists $want" grep -Eq -- "$want" "$work/find11"
  check "find ${opts:-(no options)} lists no $unwanted" test "$(grep -c -- "$unwanted\$" "$work/find11")" = 0
done <<EOT
--iface vxi11|^MODEL-100 +SNVX0+ +TCPIP0::$a::inst0::INSTR\$| $a
|^MODEL-100 +SNVX0+ +TCPIP0::$a::inst0::INSTR\$|no instrument answered
EOT

"$vx" --log "$work/log" query "$a" '*IDN?' 'ECHO two words' >"$work/q"
check "query exit status" test $? = 0
check "query replies" test "$(cat "$work/q")" = "$(printf 'VXSIM,MODEL-100,SNVX0000000000000000,1.0\ntwo words')"
check "query call log" grep -q 'vx_comm_open(address=' "$work/log"

"$vx" --timeout 200 query "$a" HANG >/dev/null 2>"$work/err"
check "timeout exit status" test $? = 1
check "timeout names the status" grep -q 'VI_ERROR_TMO (0xBFFF0015): Timeout expired before operation completed.' "$work/err"
"$vx" query 127.0.0.9 '*IDN?' >/dev/null 2>"$work/err"
check "no instrument exit status" test $? = 1
check "no instrument message" grep -q 'cannot open a link to 127.0.0.9' "$work/err"
"$vx" frobnicate >/dev/null 2>&1
check "unknown command exit status" test $? = 2

n=3145739
"$vx" fetch "$a" "BLOCK? $n def frag=7" "$work/blk" >/dev/null
check "fetch exit status" test $? = 0
check "fetch size" test "$(stat -c %s "$work/blk")" = $n
want=$("$vx" query "$a" "BLOCKSUM? $n")
got=$("$vx" upload --reply "$a" UPLOAD "$work/blk")
check "fetched bytes round-trip exactly" test -n "$want" -a "$want" = "$got"
"$vx" --timeout 300 fetch "$a" "BLOCK? 100000 drop=5000" "$work/cut" >/dev/null 2>"$work/err"
check "cut block fails" test $? = 1
check "cut block leaves no file" test ! -e "$work/cut"

# What the tool says when things go wrong: name, expected exit status,
# text expected in its output (stdout and stderr), command.
ver=$(sed -n 's/^#define VX_COMM_VERSION "\(.*\)"/\1/p' "$(dirname "$0")/../vx_comm.h")
# A listener whose backlog is full: connections to it get no answer.
python3 -c 'import socket, sys, time
l = socket.socket(); l.bind(("127.0.0.20", 18)); l.listen(0)
held = [socket.create_connection(("127.0.0.20", 18))]
open(sys.argv[1], "w").close(); time.sleep(120)' "$work/silent" &
silent=$!
for _ in $(seq 1 100); do [ -e "$work/silent" ] && break; sleep 0.05; done
# Host names from a private hosts file (this is a private mount namespace).
printf '127.0.0.1 localhost\n%s scope-a.test\n' "$a" >"$work/hosts"
mount --bind "$work/hosts" /etc/hosts
echo old >"$work/keep"
u=USB-000000000000004242
while IFS='|' read -r name rc text cmd; do
  eval "\"\$vx\" $cmd" >"$work/out" 2>&1
  got=$?
  check "$name: exit status $got" test "$got" = "$rc"
  [ -z "$text" ] || check "$name: says '$text'" grep -qF -- "$text" "$work/out"
done <<EOT
version|0|vxcomm $ver|--version
library version|0|vx_comm_lib $ver (loaded)|--version
silent host|1|no answer from 127.0.0.20 on port 18 within 3000 ms|--timeout 300 query 127.0.0.20 '*IDN?'
zero-padded address|0|VXSIM,MODEL-100,|query 0127.000.000.002 '*IDN?'
short address form|2|'127.2' is not an IPv4 address|query 127.2 '*IDN?'
address with a port|2|TCP port 18 only|query $a:18 '*IDN?'
the hint's VISA name|2|TCPIP0::$a::18::SOCKET)|query $a:18 '*IDN?'
options after the command|0|VXSIM,MODEL-100,|query --timeout 500 --log "$work/qlog" $a '*IDN?'
unknown option after the command|2|vxcomm query: unknown option --frob|query --frob $a '*IDN?'
a block reply to query|1|the reply to BLOCK? 1000 is a block (it starts with #41000); store it with 'vxcomm fetch|query $a 'BLOCK? 1000'
fetch in the call log|0|b100: 100 bytes|--log "$work/flog" fetch $a 'BLOCK? 100' "$work/b100"
upload in the call log|0||--log "$work/ulog" upload $a UPLOAD "$work/b100"
empty address|2|the address is empty|query '' '*IDN?'
short USB serial|2|serial number has 18 characters, this one 3|query USB-123 '*IDN?'
reply that is no block|1|the reply to *IDN? is no block (a block starts with # or four zero bytes); it went on 'VXSIM,MODEL-100|fetch $a '*IDN?' "$work/idn.bin"
unwritable call log|1|cannot write the call log $work/nodir/call.log|--log "$work/nodir/call.log" query $a '*IDN?'
host name|0|VXSIM,MODEL-100,|query TCP-scope-a.test '*IDN?'
no such host|1|cannot resolve no-such-host.test to an IPv4 address|query TCP-no-such-host.test '*IDN?'
no limit on USB|0|over usb|--timeout 0 query $u 'ECHO over usb'
failed fetch|1|no block came in reply to HANG|--timeout 200 fetch $a HANG "$work/keep"
missing upload|1|cannot read $work/missing: No such file or directory|--log "$work/uplog" upload $a UPLOAD "$work/missing"
EOT
kill "$silent" 2>/dev/null
wait "$silent" 2>/dev/null
silent=""
check "failed fetch keeps the file as it was" test "$(cat "$work/keep")" = old
check "failed fetch leaves no temporary file" test "$(ls "$work" | grep -c '^keep.')" = 0
check "missing upload opens nothing" test ! -s "$work/uplog"
check "fetch's block calls are in the call log" grep -q 'vx_comm_readBlockSize(linkId=.*cmd=BLOCK? 100' "$work/flog"
check "upload's block call is in the call log" grep -q 'vx_comm_writeBlockFile(linkId=.*cmd=UPLOAD' "$work/ulog"
# A fetch into - writes the block to standard output, the summary to
# standard error, and makes no file named -.
(cd "$work" && "$vx" fetch "$a" "BLOCK? 5000" - >"$work/dash.out" 2>"$work/dash.err")
check "fetch to - exit status" test $? = 0
check "fetch to - writes the block to standard output" test "$(stat -c %s "$work/dash.out")" = 5000
check "fetch to - makes no file" test ! -e "$work/-"
check "fetch to - sums up on standard error" grep -q 'standard output: 5000 bytes' "$work/dash.err"

# A host name lookup whose server never answers ends with the timeout. The
# resolver is pointed at a silent listener (private mount namespace).
python3 -c 'import socket, sys, time
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.bind(("127.0.0.21", 53))
open(sys.argv[1], "w").close(); time.sleep(60)' "$work/dns" &
dns=$!
for _ in $(seq 1 100); do [ -e "$work/dns" ] && break; sleep 0.05; done
printf 'nameserver 127.0.0.21\noptions timeout:5 attempts:2\n' >"$work/resolv.conf"
# Where the resolver reads it: a link into /run lands in this test's own tmpfs.
conf=$(readlink -f /etc/resolv.conf)
case $conf in /run/*) mkdir -p "$(dirname "$conf")" && cp "$work/resolv.conf" "$conf" ;; *) mount --bind "$work/resolv.conf" "$conf" ;; esac
t0=$(date +%s%N)
"$vx" --timeout 1000 query TCP-nosuchhost.invalid '*IDN?' >/dev/null 2>"$work/err"
rc=$? took=$((($(date +%s%N) - t0) / 1000000))
check "silent name server exit status" test $rc = 1
check "silent name server: says so" grep -q 'cannot resolve nosuchhost.invalid to an IPv4 address: no answer within 1000 ms' "$work/err"
check "silent name server: bounded by the timeout ($took ms)" test $took -lt 3000
case $conf in /run/*) rm -f "$conf" ;; *) umount "$conf" ;; esac
kill $dns 2>/dev/null
wait $dns 2>/dev/null

# A fetch writes through what is not a regular file and replaces only the
# file a link points to, never the link or the node itself.
mkfifo "$work/fifo"
timeout 20 cat "$work/fifo" >"$work/fifo.out" &
reader=$!
timeout 20 "$vx" fetch "$a" "BLOCK? 5000" "$work/fifo" >/dev/null
check "fetch into a FIFO" test $? = 0
wait $reader
check "the FIFO stays a FIFO" test -p "$work/fifo"
check "the FIFO carried the block" test "$(stat -c %s "$work/fifo.out")" = 5000
echo old >"$work/real.bin"
ln -s real.bin "$work/link.bin"
"$vx" fetch "$a" "BLOCK? 6000" "$work/link.bin" >/dev/null
check "fetch through a link" test $? = 0
check "the link stays a link" test -L "$work/link.bin"
check "the file it names holds the block" test "$(stat -c %s "$work/real.bin")" = 6000

# A fetch ended by a signal removes its temporary file. SIGINT is reset to
# its default first: a background job starts with it ignored.
for sig in TERM INT; do
  python3 -c 'import os, signal, sys
signal.signal(signal.SIGINT, signal.SIG_DFL); os.execv(sys.argv[1], sys.argv[1:])' \
    "$vx" --timeout 0 fetch "$a" "BLOCK? 200000 pause=100000:60000" "$work/sig.bin" >/dev/null 2>&1 &
  pid=$!
  for _ in $(seq 1 100); do ls "$work" | grep -q '^sig\.bin\.part' && break; sleep 0.05; done
  sleep 0.3
  kill -$sig $pid
  for _ in $(seq 1 100); do kill -0 $pid 2>/dev/null || break; sleep 0.05; done
  kill -KILL $pid 2>/dev/null
  wait $pid
  check "SIG$sig ends the fetch" test $? -gt 128
  check "SIG$sig leaves no temporary file" test "$(ls "$work" | grep -c '^sig\.bin')" = 0
done

# VISA, through the fixture library found by LD_LIBRARY_PATH: a socket
# name, a USB INSTR name mapped to the second instrument, and a scripted
# instrument of the maker for the search.
usb=USB0::0x03EB::0xAFFF::SNVX0000000000000001::INSTR
printf 'USB0::0x03EB::0xAFFF::4711::INSTR idn Vextron AG,VX-1,4711,1.0\n%s tcp %s\n' "$usb" "$b" >"$work/table"
export VXVISA_TABLE=$work/table
"$vx" query "TCPIP0::$a::18::SOCKET" '*IDN?' >"$work/q"
check "visa socket query" test "$(cat "$work/q")" = VXSIM,MODEL-100,SNVX0000000000000000,1.0
"$vx" query "$usb" '*IDN?' >"$work/q"
check "visa usb query" test "$(cat "$work/q")" = VXSIM,MODEL-101,SNVX0000000000000001,1.0
"$vx" find --iface visa >"$work/find" 2>&1
check "visa find exit status" test $? = 0
check "visa find lists the maker's instrument" grep -Eq '^VX-1 +4711 +USB0::0x03EB::0xAFFF::4711::INSTR$' "$work/find"
# Service requests: the fixture requests one on "SRQ" (RQS, 64, joins its
# status byte 7); the command, its exit status, what its output holds.
while IFS='|' read -r name rc text cmd; do
  eval "\"\$vx\" $cmd" >"$work/out" 2>&1
  got=$?
  check "$name: exit status $got" test "$got" = "$rc"
  check "$name: says '$text'" grep -qF -- "$text" "$work/out"
done <<EOT
srq over VISA|0|71|srq --wait 5000 TCPIP0::$a::18::SOCKET '*IDN?' SRQ
srq that times out|1|VI_ERROR_TMO (0xBFFF0015): Timeout expired before operation completed. (no service request within 200 ms)|srq --wait 200 TCPIP0::$a::18::SOCKET
srq on a byte stream|1|VI_ERROR_NSUP_OPER (0xBFFF0067): The given session or object reference does not support this operation. (this route or instrument has no service requests|srq $a
EOT
# The names the library serves itself, without a VISA library: the name,
# the exit status, what the tool prints (all of it).
while IFS='|' read -r name rc text; do
  env -u LD_LIBRARY_PATH "$vx" query "$name" '*IDN?' >"$work/q" 2>&1
  got=$?
  check "$name without a VISA library: exit status $got" test $got = "$rc"
  check "$name without a VISA library: prints '$text'" test "$(cat "$work/q")" = "$text"
done <<EOT
TCPIP0::$a::5025::SOCKET|0|VXSIM,MODEL-100,SNVX0000000000000000,1.0
TCPIP0::$a::inst0::INSTR|0|VXSIM,MODEL-100,SNVX0000000000000000,1.0
TCPIP0::$a::hislip0::INSTR|0|VXSIM,MODEL-100,SNVX0000000000000000,1.0
tcpip::127.0.0.9::hislip0::INSTR|1|vxcomm: cannot open a link to tcpip::127.0.0.9::hislip0::INSTR: no instrument answered there (the connection was refused or failed, or it does not serve that protocol)
TCPIP0::$a::SOCKET|1|vxcomm: cannot open a link to TCPIP0::$a::SOCKET: no usable VISA library is loaded, and the library does not serve this name itself: a SOCKET name is TCPIP[board]::host::port::SOCKET
TCPIP::$a::5025::SOKET|1|vxcomm: cannot open a link to TCPIP::$a::5025::SOKET: no usable VISA library is loaded, and the library does not serve this name itself: the resource class is not INSTR or SOCKET
EOT
# The instrument controls, and an open's reason, on the names the library
# serves itself: the command, its exit status, text its output holds
# (stdout and stderr).
# 34: no RQS, which a serial poll would take away.
"$vx" send "$a" 'STB 34'
while IFS='|' read -r name rc text cmd; do
  eval "env -u LD_LIBRARY_PATH \"\$vx\" $cmd" >"$work/out" 2>&1
  got=$?
  check "$name: exit status $got" test "$got" = "$rc"
  [ -z "$text" ] || check "$name: says '$text'" grep -qF -- "$text" "$work/out"
done <<EOT
stb over VXI-11|0|34|stb TCPIP0::$a::inst0::INSTR
stb over HiSLIP|0|34|stb TCPIP0::$a::hislip0::INSTR
trigger|0||trigger TCPIP0::$a::inst0::INSTR
clear|0||clear TCPIP0::$a::hislip0::INSTR
remote|0|1|remote TCPIP0::$a::inst0::INSTR remote && "$vx" query $a 'REMOTE?'
local|0|0|local TCPIP0::$a::inst0::INSTR && "$vx" query $a 'REMOTE?'
stb on a byte stream|1|VI_ERROR_NSUP_OPER (0xBFFF0067): The given session or object reference does not support this operation. (this link carries bytes only; send the instrument's own command|stb $a
an unknown remote mode|2|unknown mode 'on'|remote TCPIP0::$a::inst0::INSTR on
no portmapper|1|cannot open a link to TCPIP0::127.0.0.9::INSTR: no VXI-11 core channel at 127.0.0.9|query TCPIP0::127.0.0.9::INSTR '*IDN?'
EOT
# A name only a VISA library serves (USB names open through the USB
# service without one).
env -u LD_LIBRARY_PATH "$vx" query GPIB0::5::INSTR '*IDN?' >/dev/null 2>"$work/err"
check "no visa library exit status" test $? = 1
check "no visa library message" grep -q 'no VISA library could be loaded' "$work/err"
env -u LD_LIBRARY_PATH "$vx" find --iface visa --wait 300 >/dev/null 2>&1
check "find --iface visa without a VISA library fails" test $? = 1
env -u LD_LIBRARY_PATH "$vx" find --iface lan,visa --wait 300 >"$work/find" 2>"$work/err"
check "find without visa still lists the LAN" grep -q "$a\$" "$work/find"
check "find without visa says so" grep -q 'no VISA library could be loaded' "$work/err"
# The USB instrument the test starts (tests/CMakeLists.txt), by its address.
u=USB-000000000000004242
"$vx" find --iface usb --wait 300 >"$work/findusb" 2>&1
check "find lists the USB instrument" grep -Eq "^UM-200 +000000000000004242 +$u\$" "$work/findusb"
check "USB query" test "$("$vx" query "$u" 'ECHO over usb')" = "over usb"
"$vx" fetch "$u" "BLOCK? 70000 bin" "$work/ublk" >/dev/null
check "USB fetch exit status" test $? = 0
want=$("$vx" query "$u" "BLOCKSUM? 70000")
got=$("$vx" upload --reply "$u" UPLOAD "$work/ublk")
check "USB fetched bytes round-trip exactly" test -n "$want" -a "$want" = "$got"
# Another maker's USB488 instrument (tests/CMakeLists.txt), by its VISA
# name, with no VISA library to take it.
c=USB0::0x2A8D::0x0396::CLASS0002::INSTR
env -u LD_LIBRARY_PATH "$vx" find --iface usbtmc --wait 300 >"$work/findtmc" 2>&1
check "find --iface usbtmc lists it by its VISA name" grep -Eq " CLASS0002 +$c\$" "$work/findtmc"
check "USB488 query by VISA name" test "$(env -u LD_LIBRARY_PATH "$vx" query "$c" 'ECHO class')" = "class"
env -u LD_LIBRARY_PATH "$vx" send "$c" 'STB 66'
# That command's connection is gone before the simulator may have run it:
# wait (bounded) until another connection sees it, then serial poll.
for _ in $(seq 50); do
  [ "$(env -u LD_LIBRARY_PATH "$vx" query "$c" '*STB?')" = 66 ] && break
  sleep 0.1
done
check "USB488 status byte" test "$(env -u LD_LIBRARY_PATH "$vx" stb "$c")" = 66
# Nobody on the USB bus socket: the tool names the service to start, once.
mv /run/vx_comm_lib/usb.sock /run/vx_comm_lib/usb.sock.away
"$vx" find --iface usb --wait 300 >"$work/nousb.out" 2>"$work/nousb"
check "find --iface usb without the USB service fails" test $? = 1
check "find without the USB service names it" test "$(grep -c 'start the USB service vxusbd' "$work/nousb")" = 1
check "a find that lists nothing prints no table header" test ! -s "$work/nousb.out"
# A plain find warns about the searches that could not run only with -v,
# and then once each.
for v in "" -v; do
  env -u LD_LIBRARY_PATH "$vx" $v find --wait 300 >/dev/null 2>"$work/plain"
  check "plain find ${v:-without -v}: exit status" test $? = 0
  check "plain find ${v:-without -v}: warnings" test "$(grep -c 'vxusbd\|VISA' "$work/plain")" = "$([ -n "$v" ] && echo 2 || echo 0)"
done
"$vx" query "$u" '*IDN?' >/dev/null 2>"$work/nousb"
check "a USB open without the USB service names it" grep -q 'start the USB service vxusbd' "$work/nousb"
env -u LD_LIBRARY_PATH "$vx" query "$c" '*IDN?' >/dev/null 2>"$work/nousb"
check "a USB VISA name without the USB service names it" grep -q 'start the USB service vxusbd' "$work/nousb"
"$vx" find --iface lan --wait 300 >/dev/null 2>"$work/nousb"
check "a LAN find does not" test "$(grep -c vxusbd "$work/nousb")" = 0
mv /run/vx_comm_lib/usb.sock.away /run/vx_comm_lib/usb.sock

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
