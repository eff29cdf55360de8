"""pyvisa over this library (@vxcomm) against pyvisa-py (@py), side by side
in one run against the simulator, on a raw SOCKET (port 5025, with a plain
socket as the floor of both), on VXI-11 (inst0::INSTR) and on HiSLIP
(hislip0::INSTR; pyvisa-py 0.5 speaks no HiSLIP and opens that name as the
VXI-11 device "hislip0", which the simulator serves too): *IDN? queries a
second (3000 a round, the clients taking turns every 300), and MiB/s of a
block read with query_binary_values. Best of 15 rounds, alternating which
goes first, and the median of the per-round ratios; every block is checked.

    python3 bench/pyvisa_bench.py ADDRESS [--queries N] [--block-mib M]
                                  [--rounds R] [--resource TAIL]...

Runs only inside an isolated network namespace (tests/netns_run.sh).
"""
import argparse
import hashlib
import os
import socket
import statistics
import sys
import time

import numpy
import pyvisa

QUERY_SLICES = 10  # a round's queries, in turns of the clients


def isolated():
    return [n for _, n in socket.if_nameindex()] == ["lo"] and os.environ.get("VX_NETNS_ISOLATED") == "1"


def pattern_digest(n):
    """sha1 of the simulator's pattern, positions 0..n-1."""
    mask = (1 << 64) - 1
    table = bytearray(65521)
    for i in range(len(table)):
        z = (i + 0x9E3779B97F4A7C15) & mask
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & mask
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
        table[i] = (z ^ (z >> 31)) >> 56
    whole, rest = divmod(n, len(table))
    return hashlib.sha1(bytes(table) * whole + bytes(table[:rest])).hexdigest()


class Pyvisa:
    """A SOCKET resource reads up to a line feed (and its blocks end with
    one); a VXI-11 INSTR resource reads up to the reply's END, as its
    protocol marks replies, so pyvisa-py asks no termination character of
    the instrument."""

    def __init__(self, backend, name):
        self.rm = pyvisa.ResourceManager(backend)
        self.socket = name.endswith("::SOCKET")
        self.inst = self.rm.open_resource(name, read_termination="\n" if self.socket else None,
                                          write_termination="\n", timeout=20000)

    def query(self):
        return self.inst.query("*IDN?")

    def block(self, n):
        return self.inst.query_binary_values("BLOCK? %d%s" % (n, " lf" if self.socket else ""), datatype="B",
                                             container=numpy.array).tobytes()

    def close(self):
        self.inst.close()
        self.rm.close()


class Plain:
    """A plain socket client: one send per command, recv until done."""

    def __init__(self, addr, port):
        self.s = socket.create_connection((addr, port), timeout=20)
        self.s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.buf = bytearray()

    def _until(self, n):
        while len(self.buf) < n:
            self.buf += self.s.recv(1 << 20)

    def query(self):
        self.s.sendall(b"*IDN?\n")
        while b"\n" not in self.buf:
            self.buf += self.s.recv(65536)
        line, _, rest = bytes(self.buf).partition(b"\n")
        self.buf = bytearray(rest)
        return line.decode()

    def block(self, n):
        self.s.sendall(b"BLOCK? %d lf\n" % n)
        self._until(2)
        head = 2 + int(self.buf[1:2])
        self._until(head + n + 1)
        data = bytes(self.buf[head:head + n])
        del self.buf[: head + n + 1]
        return data

    def close(self):
        self.s.close()


def measure(clients, work, rounds, slices=1):
    """Per client its best rate over `rounds`, and the median over the
    rounds of @vxcomm's rate over @py's in that round. A round runs `work`
    `slices` times a client, the clients taking turns slice by slice in an
    order that alternates, so that the pairs share the machine's load of the
    moment (another program's burst would otherwise fall on one client's
    whole round)."""
    best = {name: 0.0 for name in clients}
    ratios = []
    for r in range(rounds):
        amount = {name: 0.0 for name in clients}
        spent = {name: 0.0 for name in clients}
        for s in range(slices):
            order = list(clients) if (r + s) % 2 == 0 else list(reversed(clients))
            for name in order:
                started = time.perf_counter()
                amount[name] += work(clients[name])
                spent[name] += time.perf_counter() - started
        rate = {name: amount[name] / spent[name] for name in clients}
        for name in clients:
            best[name] = max(best[name], rate[name])
        ratios.append(rate["pyvisa @vxcomm"] / rate["pyvisa @py"])
    return best, statistics.median(ratios)


def run(a, tail):
    name = "TCPIP0::%s::%s" % (a.addr, tail)
    clients = {"pyvisa @vxcomm": Pyvisa("@vxcomm", name), "pyvisa @py": Pyvisa("@py", name)}
    if tail.endswith("::SOCKET"):
        clients["plain socket"] = Plain(a.addr, int(tail.split("::")[0]))
    n = a.block_mib << 20
    want = pattern_digest(n)

    per_slice = max(1, a.queries // QUERY_SLICES)

    def queries(c):
        for _ in range(per_slice):
            if not c.query().startswith("VXSIM,"):
                raise SystemExit("pyvisa_bench: wrong reply")
        return per_slice

    def block(c):
        if hashlib.sha1(c.block(n)).hexdigest() != want:
            raise SystemExit("pyvisa_bench: the block differs from the pattern")
        return n / (1 << 20)

    q, q_ratio = measure(clients, queries, a.rounds, QUERY_SLICES)
    b, b_ratio = measure(clients, block, a.rounds)
    for c in clients.values():
        c.close()
    plain = "plain socket" in clients
    print("%s (best of %d rounds; %d queries a round in slices of %d, the clients alternating; one %d MiB block a round)" % (
        name, a.rounds, per_slice * QUERY_SLICES, per_slice, a.block_mib))
    print("| figure | pyvisa @vxcomm | pyvisa @py |%s @vxcomm / @py (median of rounds) |" % (
        " plain socket |" if plain else ""))
    print("|---|---|---|%s---|" % ("---|" if plain else ""))
    print("| `query(\"*IDN?\")` | %.0f /s | %.0f /s |%s %.2f |" % (
        q["pyvisa @vxcomm"], q["pyvisa @py"], " %.0f /s |" % q["plain socket"] if plain else "", q_ratio))
    print("| `query_binary_values`, %d MiB block | %.1f MiB/s | %.1f MiB/s |%s %.2f |" % (
        a.block_mib, b["pyvisa @vxcomm"], b["pyvisa @py"], " %.1f MiB/s |" % b["plain socket"] if plain else "",
        b_ratio))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("addr")
    p.add_argument("--queries", type=int, default=3000)
    p.add_argument("--block-mib", type=int, default=16)
    p.add_argument("--rounds", type=int, default=15)
    p.add_argument("--resource", action="append",
                   help="the resource name after TCPIP0::ADDRESS:: (default: 5025::SOCKET, inst0::INSTR, hislip0::INSTR)")
    a = p.parse_args()
    if not isolated():
        sys.exit("pyvisa_bench: refusing to run outside an isolated network namespace (tests/netns_run.sh)")
    for tail in a.resource or ["5025::SOCKET", "inst0::INSTR", "hislip0::INSTR"]:
        run(a, tail)


if __name__ == "__main__":
    main()
