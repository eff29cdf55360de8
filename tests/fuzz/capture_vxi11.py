#!/usr/bin/env python3
"""Seeds for fuzz_rpc_reply and fuzz_portmap_reply, captured from vxsim.

Speaks VXI-11 to the simulator (plain at 127.0.0.2, 5-byte fragments at
127.0.0.3) and keeps the bytes it answered: the core channel's replies to
create_link, device_write, device_read, device_readstb and destroy_link as
one stream, and the portmapper's GETPORT replies over UDP. Each seed is laid
out as its fuzzer reads it (the xid before the first call's at the front,
the parameters at the back). Run inside the test network namespace:

  tests/netns_run.sh --sim build/native/bin/vxsim --addr 127.0.0.2 --addr 127.0.0.3 \\
      --sim-arg --vxi11-fault --sim-arg frag=5 -- python3 tests/fuzz/capture_vxi11.py tests/fuzz/corpus
"""
import os
import socket
import struct
import sys

CORE, PMAP = 0x0607AF, 100000


def call(xid, prog, vers, proc, args):
    return struct.pack(">10I", xid, 0, 2, prog, vers, proc, 0, 0, 0, 0) + args


def opaque(b):
    return struct.pack(">I", len(b)) + b + b"\0" * (-len(b) % 4)


def record(body):
    return struct.pack(">I", 0x80000000 | len(body)) + body


def read_record(sock):
    """One whole reply record, returned as the raw bytes (marks and all)."""
    raw = b""
    while True:
        mark = recv_exactly(sock, 4)
        n = struct.unpack(">I", mark)[0]
        raw += mark + recv_exactly(sock, n & 0x7FFFFFFF)
        if n & 0x80000000:
            return raw


def recv_exactly(sock, n):
    b = b""
    while len(b) < n:
        got = sock.recv(n - len(b))
        if not got:
            raise EOFError
        b += got
    return b


def trailer(values):
    """FuzzedDataProvider takes integers from the back, most significant byte first."""
    consumed = b"".join(v.to_bytes(n, "big") for v, n in values)
    return consumed[::-1]


def getport_udp(host, xid):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(2)
    s.sendto(call(xid, PMAP, 2, 3, struct.pack(">4I", CORE, 1, 6, 0)), (host, 111))
    reply = s.recv(600)
    s.close()
    return reply


def session(host, xid0):
    s = socket.create_connection((host, 1024), timeout=5)
    xid, stream = xid0, b""
    calls = [
        (10, struct.pack(">3I", 1, 0, 0) + opaque(b"inst0")),            # create_link
        (11, None),                                                       # device_write "*IDN?\n"
        (12, None),                                                       # device_read 256
        (13, None),                                                       # device_readstb
        (23, None),                                                       # destroy_link
    ]
    lid = 0
    for proc, args in calls:
        xid += 1
        if proc == 11:
            args = struct.pack(">4I", lid, 1000, 0, 8) + opaque(b"*IDN?\n")
        elif proc == 12:
            args = struct.pack(">6I", lid, 256, 1000, 0, 0, 0)
        elif proc == 13:
            args = struct.pack(">4I", lid, 0, 0, 1000)
        elif proc == 23:
            args = struct.pack(">I", lid)
        s.sendall(record(call(xid, CORE, 1, proc, args)))
        raw = read_record(s)
        stream += raw
        if proc == 10:
            # results after the 24-byte reply header: error, lid, abortPort, maxRecvSize
            body = b""
            at = 0
            while at < len(raw):
                n = struct.unpack(">I", raw[at:at + 4])[0] & 0x7FFFFFFF
                body += raw[at + 4:at + 4 + n]
                at += 4 + n
            lid = struct.unpack(">I", body[28:32])[0]
    s.close()
    return stream


def main():
    out = sys.argv[1]
    os.makedirs(os.path.join(out, "rpc_reply"), exist_ok=True)
    os.makedirs(os.path.join(out, "portmap_reply"), exist_ok=True)
    for host, name in (("127.0.0.2", "plain"), ("127.0.0.3", "fragments")):
        xid0 = 0x1000
        stream = session(host, xid0)
        # record reader: limit 4096, enough 0, no pieces, the whole stream;
        # calls: no events, sends at once, five calls in the captured order.
        params = [(4096, 2), (0, 1), (0, 1), (len(stream), 3), (0, 1), (0, 2), (1023, 2), (0, 1), (5 - 1, 1)]
        for proc in range(5):
            params += [(proc, 1), (2000, 2), (256, 2)]
        with open(os.path.join(out, "rpc_reply", "seed-vxsim-session-" + name), "wb") as f:
            f.write(struct.pack(">I", xid0) + stream + trailer(params))
        # the same stream with its replies arriving late and in pieces
        late = params[:4] + [(3, 1), (8 - 1, 1), (1500, 2), (0, 1), (40 - 1, 1), (2500, 2), (0, 1),
                             (200 - 1, 1), (10, 2), (0, 1)] + params[5:]
        with open(os.path.join(out, "rpc_reply", "seed-vxsim-session-late-" + name), "wb") as f:
            f.write(struct.pack(">I", xid0) + stream + trailer(late))
        xid = 0x2000
        dgram = getport_udp(host, xid)
        # list of room 4; the true reply, a repeat, and another sender's
        with open(os.path.join(out, "portmap_reply", "seed-vxsim-getport-" + name), "wb") as f:
            f.write(struct.pack(">I", xid) + dgram * 3 +
                    trailer([(4, 1), (len(dgram), 2), (2, 1), (len(dgram), 2), (2, 1), (len(dgram), 2), (9, 1)]))


if __name__ == "__main__":
    main()
