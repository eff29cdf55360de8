#!/usr/bin/python3
"""A DNS-SD client of the test's own, independent of the library: asks the mDNS
responder set up by tests/mdns_avahi.sh for its LAN instruments, prints what
it announces and checks it against the instruments the script publishes.

    mdns_query.py PEER [--save DIR]

Each query goes from an ephemeral port to 224.0.0.251:5353, out of the card
that reaches PEER, so the responder answers by unicast and port 5353 is never
bound here. PTR for each service type, then SRV and TXT of each instance and
A and AAAA of its host. --save DIR keeps a few raw answers (fuzzing seeds). Exit
status 0 when every instrument is there as published, 1 when not, 2 when the
query cannot be made."""

import ipaddress
import os
import random
import socket
import struct
import sys
import time

MDNS = ("224.0.0.251", 5353)
T_A, T_PTR, T_TXT, T_AAAA, T_SRV = 1, 12, 16, 28, 33
TYPE_NAMES = {T_A: "a", T_PTR: "ptr", T_TXT: "txt", T_AAAA: "aaaa", T_SRV: "srv"}

# What tests/mdns_avahi.sh publishes: instance -> (service type, port, model, serial).
INSTRUMENTS = {
    "VXSIM HISLIP 0001": ("_hislip._tcp", 4880, "MODEL-H", "SN-H1"),
    "VXSIM SOCKET 0002": ("_scpi-raw._tcp", 5025, "MODEL-S", "SN-S2"),
    "VXSIM VXI11 0003": ("_vxi-11._tcp", 111, "MODEL-V", "SN-V3"),
}
SERVICE_TYPES = ["_hislip._tcp", "_scpi-raw._tcp", "_vxi-11._tcp", "_lxi._tcp"]
PEER_HOST = "vxsim-peer.local"
PEER_V6 = "fd00:198:18::2"  # the peer card's own, which the daemon publishes too
# More on hosts of their own: one without TXT keys or an _lxi instance, one
# with an IPv6 address alone, one where nobody answers:
# (type, instance, port, TXT, host, addresses).
OTHER_HOSTS = [
    ("_scpi-raw._tcp", "VXSIM PLAIN 0004", 5025, (b"txtvers=1",), "vxsim-plain.local",
     ["198.18.0.3", "fd00:198:18::3"]),
    ("_hislip._tcp", "VXSIM SIX 0005", 4880, (b"Model=MODEL-6", b"SerialNumber=SN-6"), "vxsim-six.local",
     ["fd00:198:18::6"]),
    ("_scpi-raw._tcp", "VXSIM SILENT 0006", 5025, (), "vxsim-silent.local", ["198.18.0.9"]),
]


def expected(peer):
    """(type, instance) -> (port, TXT strings, host, addresses) as published."""
    want = {}
    for inst, (stype, port, model, serial) in INSTRUMENTS.items():
        txt = (b"Manufacturer=VXSIM", b"Model=" + model.encode(), b"SerialNumber=" + serial.encode())
        want[(stype, inst)] = (port, txt, PEER_HOST, [peer, PEER_V6])
        want[("_lxi._tcp", inst)] = (80, txt, PEER_HOST, [peer, PEER_V6])
    for stype, inst, port, txt, host, addrs in OTHER_HOSTS:
        want[(stype, inst)] = (port, txt, host, addrs)
    return want


def labels_of(dotted):
    return tuple(p.encode() for p in dotted.split("."))


def encode_name(labels):
    out = b""
    for lab in labels:
        if not 0 < len(lab) < 64:
            raise ValueError("bad label")
        out += bytes([len(lab)]) + lab
    return out + b"\0"


def same_name(a, b):
    return len(a) == len(b) and all(x.lower() == y.lower() for x, y in zip(a, b))


class Malformed(Exception):
    pass


def read_name(msg, at):
    """Labels of the name at `at` and the offset after it. Pointers must lead
    backwards, so a loop cannot be followed; the name stays under 256 bytes."""
    labels, end, total, floor = [], None, 1, at
    while True:
        if at >= len(msg):
            raise Malformed("name runs past the end")
        n = msg[at]
        if n & 0xC0 == 0xC0:
            if at + 1 >= len(msg):
                raise Malformed("cut pointer")
            target = ((n & 0x3F) << 8) | msg[at + 1]
            if end is None:
                end = at + 2
            if target >= floor:
                raise Malformed("pointer does not lead backwards")
            at = floor = target
            continue
        if n & 0xC0:
            raise Malformed("unknown label type")
        if n == 0:
            return tuple(labels), (end if end is not None else at + 1)
        if at + 1 + n > len(msg):
            raise Malformed("label runs past the end")
        total += n + 1
        if total > 255:
            raise Malformed("name longer than 255 bytes")
        labels.append(bytes(msg[at + 1:at + 1 + n]))
        at += 1 + n


def parse(msg):
    """(id, records) of a response; a record is (name, type, data)."""
    if len(msg) < 12:
        raise Malformed("short header")
    ident, flags, qd, an, ns, ar = struct.unpack_from("!6H", msg)
    if not flags & 0x8000:
        raise Malformed("not a response")
    at = 12
    for _ in range(qd):
        _, at = read_name(msg, at)
        at += 4
    records = []
    for _ in range(an + ns + ar):
        name, at = read_name(msg, at)
        if at + 10 > len(msg):
            raise Malformed("cut record header")
        rtype, _, _, rdlen = struct.unpack_from("!HHIH", msg, at)
        at += 10
        if at + rdlen > len(msg):
            raise Malformed("record data runs past the end")
        rd = msg[at:at + rdlen]
        if rtype == T_PTR:
            data = read_name(msg, at)[0]
        elif rtype == T_SRV:
            if rdlen < 7:
                raise Malformed("short SRV")
            data = (struct.unpack_from("!H", msg, at + 4)[0], read_name(msg, at + 6)[0])
        elif rtype == T_TXT:
            strings, k = [], 0
            while k < rdlen:
                if k + 1 + rd[k] > rdlen:
                    raise Malformed("TXT string runs past its record")
                strings.append(bytes(rd[k + 1:k + 1 + rd[k]]))
                k += 1 + rd[k]
            data = tuple(s for s in strings if s)
        elif rtype == T_A:
            if rdlen != 4:
                raise Malformed("A record not 4 bytes")
            data = socket.inet_ntoa(rd)
        elif rtype == T_AAAA:
            if rdlen != 16:
                raise Malformed("AAAA record not 16 bytes")
            data = socket.inet_ntop(socket.AF_INET6, rd)
        else:
            data = bytes(rd)
        records.append((name, rtype, data))
        at += rdlen
    return ident, records


class Querier:
    def __init__(self, peer, save_dir):
        self.peer = peer
        self.save_dir = save_dir
        self.saved = set()
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        probe.connect((peer, 9))  # a route lookup only: UDP connect sends nothing
        self.local = probe.getsockname()[0]
        probe.close()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.bind((self.local, 0))
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(self.local))
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 255)
        self.sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)

    def ask(self, labels, qtype, also=None):
        """Records of the peer's answer to one question (two when `also` is a
        second type): three tries of one second."""
        types = [qtype] + ([also] if also else [])
        for _ in range(3):
            ident = random.randrange(1, 0x10000)
            self.sock.sendto(struct.pack("!6H", ident, 0, len(types), 0, 0, 0)
                             + b"".join(encode_name(labels) + struct.pack("!HH", t, 1) for t in types), MDNS)
            deadline = time.monotonic() + 1.0
            while True:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                self.sock.settimeout(left)
                try:
                    msg, src = self.sock.recvfrom(9000)
                except socket.timeout:
                    break
                if src != (self.peer, 5353):
                    continue
                try:
                    got, records = parse(msg)
                except Malformed as e:
                    print(f"malformed answer from {src[0]}: {e}")
                    continue
                if got == ident:
                    self.save(labels, qtype, msg)
                    return records
        return []

    def save(self, labels, qtype, msg):
        # Every PTR answer, and one each of the others.
        if not self.save_dir:
            return
        kind = TYPE_NAMES.get(qtype, str(qtype))
        key = kind + ("-" + labels[0].decode().strip("_") if qtype == T_PTR else "")
        if key in self.saved:
            return
        self.saved.add(key)
        with open(os.path.join(self.save_dir, "seed-avahi-" + key), "wb") as f:
            f.write(msg)


def browse(q):
    """(type, instance) -> (port, TXT, host, address) of all it finds."""
    found = {}
    for stype in SERVICE_TYPES:
        tname = labels_of(stype) + (b"local",)
        instances = {r[2] for r in q.ask(tname, T_PTR)
                     if r[1] == T_PTR and same_name(r[0], tname) and same_name(r[2][1:], tname)}
        for full in sorted(instances):
            srv = [r[2] for r in q.ask(full, T_SRV) if r[1] == T_SRV and same_name(r[0], full)]
            txt = [r[2] for r in q.ask(full, T_TXT) if r[1] == T_TXT and same_name(r[0], full)]
            port, host = srv[0] if srv else (None, ())
            addrs = sorted({r[2] for r in q.ask(host, T_A, T_AAAA)
                            if r[1] in (T_A, T_AAAA) and same_name(r[0], host)}) if host else []
            found[(stype, full[0].decode(errors="replace"))] = (
                port, txt[0] if txt else (), b".".join(host).decode(errors="replace"), addrs)
    return found


def main(argv):
    args = argv[1:]
    save_dir = None
    if len(args) == 3 and args[1] == "--save":
        save_dir = args[2]
        os.makedirs(save_dir, exist_ok=True)
    elif len(args) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    peer = args[0]
    # It sends only inside the test's namespace, towards the test's own card.
    if os.environ.get("VX_NETNS_ISOLATED") != "1":
        print("mdns_query.py: run me through netns_run.sh and mdns_avahi.sh", file=sys.stderr)
        return 2
    if ipaddress.ip_address(peer) not in ipaddress.ip_network("198.18.0.0/15"):
        print("mdns_query.py: the peer must be a test card's (198.18.0.0/15)", file=sys.stderr)
        return 2
    start = time.monotonic()
    found = browse(Querier(peer, save_dir))
    took = time.monotonic() - start
    for (stype, inst), (port, txt, host, addrs) in sorted(found.items()):
        print(f"{stype:15} {inst!r:21} {host}:{port} A {','.join(addrs) or '-'} "
              f"TXT {' '.join(t.decode(errors='replace') for t in txt)}")
    print(f"{len(found)} services in {took:.2f} s")
    bad = 0
    want_all = expected(peer)
    for key, want in sorted(want_all.items()):
        got = found.get(key)
        if got is None:
            print(f"MISSING {key[0]} {key[1]!r}")
            bad += 1
        elif (got[0], tuple(sorted(got[1])), got[2].lower(), got[3]) != \
                (want[0], tuple(sorted(want[1])), want[2], want[3]):
            print(f"WRONG {key[0]} {key[1]!r}: got {got}, want {want}")
            bad += 1
    for key in sorted(set(found) - set(want_all)):
        print(f"UNEXPECTED {key[0]} {key[1]!r}")
        bad += 1
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
