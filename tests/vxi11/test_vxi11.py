"""The simulator's VXI-11 server, seen by an independent client (pyvisa-py)
and by raw RPC calls for what pyvisa-py cannot show: the faults, the abort
channel, the portmapper's UDP answers. The instruments and their faults are
set by tests/CMakeLists.txt (test vxi11_pyvisa); FAULTS below mirrors them."""
import socket
import struct
import threading
import time

import pytest

NORMAL = "127.0.0.2"
FAULTS = {  # address: --vxi11-fault values
    "127.0.0.3": ["frag=5", "pmap-nolast"],
    "127.0.0.4": ["refuse=11"],
    "127.0.0.5": ["slow=400"],
    "127.0.0.6": ["noanswer"],
    "127.0.0.7": ["maxrecv=0"],
    "127.0.0.8": ["maxrecv=4294967295"],
}
CORE, ABORT, PMAP = 0x0607AF, 0x0607B0, 100000
END, TERMCHAR = 8, 128
REQCNT, CHR, RX_END = 1, 2, 4
WRITE, READ, READSTB, TRIGGER, CLEAR, REMOTE, LOCAL, DESTROY = 11, 12, 13, 14, 15, 16, 17, 23


def recv_exact(sock, n):
    out = b""
    while len(out) < n:
        part = sock.recv(n - len(out))
        if not part:
            raise ConnectionError("closed by the simulator")
        out += part
    return out


def read_record(sock):
    """One reply record: (payload, fragment sizes)."""
    data, sizes = b"", []
    while len(sizes) < 10000:
        (mark,) = struct.unpack(">I", recv_exact(sock, 4))
        sizes.append(mark & 0x7FFFFFFF)
        data += recv_exact(sock, mark & 0x7FFFFFFF)
        if mark & 0x80000000:
            return data, sizes
    raise AssertionError("no last fragment")


def call_msg(xid, prog, vers, proc, args):
    return struct.pack(">6I4I", xid, 0, 2, prog, vers, proc, 0, 0, 0, 0) + args


def accepted_results(reply, xid):
    got_xid, mtype, stat, _flavor, vlen, accept = struct.unpack(">6I", reply[:24])
    assert (got_xid, mtype, stat, vlen, accept) == (xid, 1, 0, 0, 0)
    return reply[24:]


def opaque(data):
    return struct.pack(">I", len(data)) + data + b"\0" * (-len(data) % 4)


class Rpc:
    """A bare ONC RPC client over TCP."""

    def __init__(self, addr, port, prog, vers=1):
        self.sock = socket.create_connection((addr, port), timeout=5)
        self.prog, self.vers, self.xid = prog, vers, 0x1000

    def send(self, proc, args=b""):
        self.xid += 1
        msg = call_msg(self.xid, self.prog, self.vers, proc, args)
        self.sock.sendall(struct.pack(">I", 0x80000000 | len(msg)) + msg)
        return self.xid

    def result(self, xid):
        reply, self.sizes = read_record(self.sock)
        return accepted_results(reply, xid)

    def call(self, proc, args=b""):
        return self.result(self.send(proc, args))

    def close(self):
        self.sock.close()


def core_port(addr):
    """GETPORT over UDP, unicast (the TCP portmapper of 127.0.0.3 leaves its
    replies open-ended)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(5)
        s.sendto(call_msg(5, PMAP, 2, 3, struct.pack(">4I", CORE, 1, 6, 0)), (addr, 111))
        reply, source = s.recvfrom(512)
    assert source == (addr, 111)
    return struct.unpack(">I", accepted_results(reply, 5))[0]


class Link:
    def __init__(self, addr):
        self.addr = addr
        self.core = Rpc(addr, core_port(addr), CORE)
        res = self.core.call(10, struct.pack(">iII", 7, 0, 1000) + opaque(b"inst0"))
        self.error, self.lid, self.abort_port, self.max_recv = struct.unpack(">4I", res)

    def write(self, data, flags=END, io_timeout=2000):
        res = self.core.call(WRITE, struct.pack(">4I", self.lid, io_timeout, 0, flags) + opaque(data))
        return struct.unpack(">2I", res)

    def read_send(self, size=65536, io_timeout=2000, flags=0, term=0):
        return self.core.send(READ, struct.pack(">6I", self.lid, size, io_timeout, 0, flags, term))

    def read_result(self, xid):
        res = self.core.result(xid)
        error, reason, n = struct.unpack(">3I", res[:12])
        return error, reason, res[12 : 12 + n]

    def read(self, **kw):
        return self.read_result(self.read_send(**kw))

    def generic(self, proc):
        res = self.core.call(proc, struct.pack(">4I", self.lid, 0, 1000, 2000))
        return struct.unpack(">%dI" % (len(res) // 4), res)

    def query(self, text):
        assert self.write(text) == (0, len(text))
        error, reason, data = self.read()
        assert (error, reason) == (0, RX_END)
        return data

    def abort(self):
        channel = Rpc(self.addr, self.abort_port, ABORT)
        try:
            (error,) = struct.unpack(">I", channel.call(1, struct.pack(">I", self.lid)))
        finally:
            channel.close()
        return error

    def close(self):
        self.core.close()


@pytest.fixture
def link():
    lk = Link(NORMAL)
    yield lk
    lk.close()


# ------------------------------------------------------------ pyvisa-py


@pytest.fixture(scope="module")
def rm():
    import pyvisa

    manager = pyvisa.ResourceManager("@py")
    yield manager
    manager.close()


def check_block(res, n):
    """A definite-length block: over VXI-11 read up to the END bit, over a
    socket (no END there) by its length."""
    res.write("BLOCK? %d" % n)
    header = "#%d%d" % (len(str(n)), n)
    if res.resource_name.endswith("INSTR"):
        term, res.read_termination = res.read_termination, None
        data = res.read_raw()
        res.read_termination = term
    else:
        data = res.read_bytes(len(header) + n)
    assert data[: len(header)].decode() == header and len(data) == len(header) + n
    fnv = 0xCBF29CE484222325
    for b in data[len(header) :]:
        fnv = ((fnv ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
    assert res.query("BLOCKSUM? %d" % n).strip() == "%d,%016x" % (n, fnv)


def test_pyvisa_instr(rm):
    inst = rm.open_resource("TCPIP::%s::INSTR" % NORMAL, timeout=2000, read_termination="\n")
    try:
        assert inst.query("*IDN?") == "VXSIM,MODEL-100,SNVX0000000000000000,1.0"
        check_block(inst, 100000)
        inst.write("STB 66")
        assert inst.read_stb() == 66
        assert inst.read_stb() == 2  # the serial poll took RQS away
        inst.write("*IDN?")
        assert inst.read_stb() == 2 | 0x10  # MAV while the reply waits
        inst.clear()
        assert inst.read_stb() == 2  # the clear dropped it
        inst.write("STB 0")
        before = int(inst.query("TRIGCOUNT?"))
        inst.assert_trigger()
        assert int(inst.query("TRIGCOUNT?")) == before + 1
    finally:
        inst.close()


def test_pyvisa_socket(rm):
    inst = rm.open_resource("TCPIP::%s::5025::SOCKET" % NORMAL, timeout=2000, read_termination="\n")
    try:
        assert inst.query("*IDN?") == "VXSIM,MODEL-100,SNVX0000000000000000,1.0"
        check_block(inst, 100000)
    finally:
        inst.close()


def test_pyvisa_over_fragmented_replies(rm):
    """pyvisa-py copes with replies in 5-byte fragments and a portmapper reply
    without the last-fragment bit."""
    inst = rm.open_resource("TCPIP::127.0.0.3::INSTR", timeout=2000, read_termination="\n")
    try:
        assert inst.query("*IDN?") == "VXSIM,MODEL-101,SNVX0000000000000001,1.0"
    finally:
        inst.close()


# ------------------------------------------------------------ faults


def test_replies_come_in_fragments():
    lk = Link("127.0.0.3")
    try:
        assert lk.query(b"*IDN?") == b"VXSIM,MODEL-101,SNVX0000000000000001,1.0\n"
        assert len(lk.core.sizes) > 5 and max(lk.core.sizes) == 5
    finally:
        lk.close()


def test_portmapper_reply_without_last_fragment_bit():
    for addr, last in ((NORMAL, True), ("127.0.0.3", False)):
        with socket.create_connection((addr, 111), timeout=5) as s:
            msg = call_msg(9, PMAP, 2, 3, struct.pack(">4I", CORE, 1, 6, 0))
            s.sendall(struct.pack(">I", 0x80000000 | len(msg)) + msg)
            payload = b""
            while len(payload) < 28:  # the whole GETPORT reply
                (mark,) = struct.unpack(">I", recv_exact(s, 4))
                payload += recv_exact(s, mark & 0x7FFFFFFF)
            assert bool(mark & 0x80000000) == last, addr
            assert struct.unpack(">I", accepted_results(payload, 9))[0] == 1024


def test_refused_link():
    lk = Link("127.0.0.4")
    try:
        assert (lk.error, lk.lid) == (11, 0)
    finally:
        lk.close()


@pytest.mark.parametrize("addr,size", [(NORMAL, 1048576), ("127.0.0.7", 0), ("127.0.0.8", 4294967295)])
def test_max_recv_size(addr, size):
    lk = Link(addr)
    try:
        assert lk.max_recv == size
    finally:
        lk.close()


def test_slow_read_times_out_with_error_15():
    lk = Link("127.0.0.5")
    try:
        assert lk.write(b"*IDN?") == (0, 5)
        assert lk.read(io_timeout=100) == (15, 0, b"")
        error, reason, data = lk.read(io_timeout=2000)
        assert (error, reason) == (0, RX_END) and data.startswith(b"VXSIM,MODEL-103")
    finally:
        lk.close()


def test_noanswer_read_ends_only_by_abort():
    lk = Link("127.0.0.6")
    try:
        assert lk.write(b"*IDN?") == (0, 5)
        xid = lk.read_send(io_timeout=100)
        lk.core.sock.settimeout(0.4)
        with pytest.raises(socket.timeout):
            lk.core.sock.recv(1, socket.MSG_PEEK)
        lk.core.sock.settimeout(5)
        assert lk.abort() == 0
        assert lk.read_result(xid) == (23, 0, b"")
    finally:
        lk.close()


# ------------------------------------------------------------ procedures


def test_abort_ends_a_blocked_read_and_clear_drops_the_pending_query(link):
    assert link.write(b"DELAY 60000 *IDN?") == (0, 17)
    xid = link.read_send(io_timeout=60000)
    timer = threading.Timer(0.2, link.abort)
    started = time.monotonic()
    timer.start()
    try:
        assert link.read_result(xid) == (23, 0, b"")
    finally:
        timer.join()
    assert time.monotonic() - started < 5
    assert link.generic(CLEAR) == (0,)
    assert link.query(b"ECHO after") == b"after\n"


def test_clear_drops_partial_input(link):
    assert link.write(b"ECHO lost", flags=0) == (0, 9)
    assert link.generic(CLEAR) == (0,)
    assert link.query(b"ECHO kept") == b"kept\n"


def test_read_stops_at_request_size_and_term_char(link):
    assert link.write(b"ECHO ab,cdef") == (0, 12)
    assert link.read(size=2) == (0, REQCNT, b"ab")
    assert link.read(flags=TERMCHAR, term=ord(",")) == (0, CHR, b",")
    assert link.read() == (0, RX_END, b"cdef\n")


def test_remote_local_and_trigger_are_seen_by_the_instrument(link):
    assert link.generic(REMOTE) == (0,)
    assert link.query(b"REMOTE?") == b"1\n"
    assert link.generic(LOCAL) == (0,)
    assert link.query(b"REMOTE?") == b"0\n"
    before = int(link.query(b"TRIGCOUNT?"))
    assert link.generic(TRIGGER) == (0,)
    assert int(link.query(b"TRIGCOUNT?")) == before + 1


def test_destroyed_link_is_invalid(link):
    assert link.generic(DESTROY) == (0,)
    assert link.write(b"*IDN?") == (4, 0)
    assert link.abort() == 4


def test_getport_broadcast_gets_one_answer_per_instrument():
    wanted = {NORMAL, *FAULTS}
    msg = call_msg(77, PMAP, 2, 3, struct.pack(">4I", CORE, 1, 6, 0))
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        s.settimeout(0.3)
        s.sendto(msg, ("255.255.255.255", 111))
        seen = {}
        for _ in range(64):
            try:
                reply, (addr, _port) = s.recvfrom(512)
            except socket.timeout:
                break
            seen[addr] = struct.unpack(">I", accepted_results(reply, 77))[0]
        assert seen == {a: 1024 for a in wanted}
        # A request to one instrument's address gets its answer only.
        s.sendto(msg, ("127.0.0.3", 111))
        reply, (addr, _port) = s.recvfrom(512)
        assert addr == "127.0.0.3"
        with pytest.raises(socket.timeout):
            s.recvfrom(512)
