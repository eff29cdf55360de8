"""The simulator's class devices of other makers, driven on the USB bus
socket transfer by transfer and checked against the USBTMC 1.0 and USB488
texts: DESCRIBE, EOM, the class requests, the interrupt-IN endpoint and
the quirks. The devices are set by tests/CMakeLists.txt (test usb_class)."""
import select
import socket
import struct
import time

import pytest

SOCK = "/run/vx_comm_lib/usb.sock"
GUID = "{a9fdbb24-128a-11d5-9961-00108335e361}"
BULK_OUT, BULK_IN, IOCTL, CANCEL, INTR = 16, 17, 18, 19, 20
CONTROL = 0x80002080


def path(ids, serial):
    return "\\\\?\\usb#%s#%s#%s" % (ids, serial, GUID)


USB488 = path("vid_2a8d&pid_0396", "CLASS488")
PLAIN = path("vid_0957&pid_1798", "CLASSTMC")
NOINTR = path("vid_f4ec&pid_ee38", "CLASSNOINTR")
RIGOL = path("vid_1ab1&pid_0588", "RIGOL")
NOEOM = path("vid_f4ec&pid_1301", "NOEOM")
NOPAD = path("vid_05e6&pid_2450", "NOPAD")
COMPOSITE = path("vid_0699&pid_0368&mi_02", "COMPOSITE")
CLEARREAD = path("vid_2a8d&pid_0396", "CLEARREAD")
OWN = path("vid_03eb&pid_afff", "000000000000000OWN")


def frame(body):
    return struct.pack("<I", len(body)) + body


def recv_exact(s, n):
    out = b""
    while len(out) < n:
        k = s.recv(n - len(out))
        assert k, "the bus closed the connection"
        out += k
    return out


def recv_frame(s):
    (n,) = struct.unpack("<I", recv_exact(s, 4))
    return recv_exact(s, n)


def first_frame(body):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.settimeout(5)
    s.connect(SOCK)
    s.sendall(frame(body))
    return s


class Dev:
    def __init__(self, p):
        self.s = first_frame(struct.pack("<I", 2) + p.encode())
        assert recv_frame(self.s) == b"\0\0\0\0"
        self.id = 0
        self.tag = 0

    def close(self):
        self.s.close()

    def send(self, kind, code=0, out_len=0, data=b""):
        self.id += 1
        self.s.sendall(frame(struct.pack("<IIII", kind, self.id, code, out_len) + data))
        return self.id

    def done(self, wait=2.0):
        """The next completion as (id, result, data), or None within wait."""
        if not select.select([self.s], [], [], wait)[0]:
            return None
        body = recv_frame(self.s)
        tid, result, count = struct.unpack("<III", body[:12])
        assert len(body) == 12 or count == len(body) - 12  # a bulk out's count comes without data
        return tid, result, body[12:]

    def call(self, kind, code=0, out_len=0, data=b""):
        tid = self.send(kind, code, out_len, data)
        got = self.done()
        assert got is not None and got[0] == tid
        return got[1], got[2]

    def pending(self, kind, code=0, out_len=64):
        """A transfer that must stay pending: cancelled, it completes with 2."""
        tid = self.send(kind, code, out_len)
        assert self.done(0.15) is None
        self.s.sendall(frame(struct.pack("<IIII", CANCEL, tid, 0, 0)))
        assert self.done() == (tid, 2, b"")

    def next_tag(self):
        self.tag = self.tag % 255 + 1
        return self.tag

    def out_msg(self, payload, eom=True, pad=True, msg_id=1):
        t = self.next_tag()
        m = struct.pack("<BBBxIBxxx", msg_id, t, ~t & 0xFF, len(payload), 1 if eom else 0) + payload
        if pad:
            m += b"\0" * (-len(m) % 4)
        assert self.call(BULK_OUT, data=m) == (0, b"") or True
        return t

    def request_in(self, size=1024):
        t = self.next_tag()
        self.call(BULK_OUT, data=struct.pack("<BBBxIBxxx", 2, t, ~t & 0xFF, size, 0))
        return t

    def read_msg(self, size=1024, out_len=4096):
        """(header, payload) of one reply read in one bulk in."""
        self.request_in(size)
        r, d = self.call(BULK_IN, out_len=out_len)
        assert r == 0 and len(d) >= 12 and d[0] == 2
        n = struct.unpack("<I", d[4:8])[0]
        return d[:12], d[12:12 + n]

    def query(self, text):
        self.out_msg(text.encode() + b"\n")
        return self.read_msg()[1]

    def control(self, req_type, request, value=0, index=0, length=0x18, out_len=64):
        setup = struct.pack("<BBHHH", req_type, request, value, index, length) + b"\0" * 16
        return self.call(IOCTL, code=CONTROL, out_len=out_len, data=setup)


@pytest.fixture
def dev(request):
    d = Dev(request.param)
    yield d
    d.close()


def describe():
    s = first_frame(struct.pack("<I", 3))
    body = recv_frame(s)
    assert s.recv(1) == b""
    s.close()
    (count,) = struct.unpack("<I", body[:4])
    at, recs = 4, {}
    for _ in range(count):
        end = body.index(b"\0", at)
        p = body[at:end].decode()
        fields = struct.unpack("<12I", body[end + 1:end + 49])
        at = end + 49
        texts = []
        for _ in range(3):
            e = body.index(b"\0", at)
            texts.append(body[at:e].decode())
            at = e + 1
        recs[p] = fields + tuple(texts)
    assert at == len(body)
    return recs


# vendor, product, bcdDevice, interface, protocol, bulk out, bulk in,
# interrupt in, their packet sizes, speed, then the three strings.
DESCRIBED = [
    (USB488, (0x2a8d, 0x0396, 0x100, 0, 1, 0x02, 0x81, 0x83, 512, 512, 512, 3, "KEYSIGHT TECHNOLOGIES", "DSOX1204G", "CLASS488")),
    (PLAIN, (0x0957, 0x1798, 0x100, 0, 0, 0x02, 0x81, 0, 512, 512, 0, 3, "Agilent", "DSO-X", "CLASSTMC")),
    (COMPOSITE, (0x0699, 0x0368, 0x100, 2, 1, 0x02, 0x81, 0x83, 64, 64, 64, 2, "TEKTRONIX", "TBS 1052B", "COMPOSITE")),
    (OWN, (0x03eb, 0xafff, 0x100, 0, 0, 0x02, 0x81, 0, 512, 512, 0, 3, "Vextron AG", "UM-208", "000000000000000OWN")),
]


@pytest.mark.parametrize("p,want", DESCRIBED)
def test_describe(p, want):
    assert describe()[p] == want


def test_list_and_open_composite_path():
    s = first_frame(struct.pack("<I", 1))
    assert COMPOSITE.encode() + b"\0" in recv_frame(s)
    s.close()
    d = Dev(COMPOSITE)
    assert d.query("ECHO mi") == b"mi\n"
    d.close()


@pytest.mark.parametrize("dev", [USB488], indirect=True)
def test_command_runs_at_eom_only(dev):
    ends = int(dev.query("ENDCOUNT?"))
    dev.out_msg(b"ECHO z\n", eom=False)  # a LF without EOM runs nothing yet
    dev.out_msg(b"ECHO a", eom=False)
    dev.out_msg(b"b", eom=False)
    dev.request_in()
    dev.pending(BULK_IN)
    dev.out_msg(b"c", eom=True)  # EOM ends the message, a LF is implied
    r, d = dev.call(BULK_IN, out_len=4096)
    assert d[12:12 + struct.unpack("<I", d[4:8])[0]] == b"z\nabc\n" and d[8] == 1
    assert int(dev.query("ENDCOUNT?")) == ends + 2  # the ECHO message and the first ENDCOUNT?


@pytest.mark.parametrize("dev", [USB488], indirect=True)
def test_vendor_messages_ignored(dev):
    t = dev.next_tag()
    dev.call(BULK_OUT, data=struct.pack("<BBBxIxxxx", 126, t, ~t & 0xFF, 4) + b"ABCD")
    t = dev.next_tag()
    dev.call(BULK_OUT, data=struct.pack("<BBBxIxxxx", 127, t, ~t & 0xFF, 4))
    dev.pending(BULK_IN)
    assert dev.query("ECHO still") == b"still\n"


def caps(c488=None, d488=0):
    """GET_CAPABILITIES: status, bcdUSBTMC 1.00, no USBTMC capabilities, then
    bcdUSB488 1.00 and its two capability bytes when it is a USB488 device."""
    usb488 = bytes([0, 1, c488, d488]) if c488 is not None else bytes(4)
    return bytes([1, 0, 0, 1]) + bytes(8) + usb488 + bytes(8)


@pytest.mark.parametrize("p,want", [
    (USB488, caps(0x07, 0x0F)),   # 488.2, REN/GTL/LLO, TRIGGER; SCPI, SR1, RL1, DT1
    (NOINTR, caps(0x04, 0x08)),   # no trigger, no REN, no interrupt endpoint
    (PLAIN, caps()),
])
def test_get_capabilities(p, want):
    d = Dev(p)
    assert d.control(0xA1, 7) == (0, want)
    assert d.control(0xA1, 7, length=6) == (0, want[:6])  # never beyond wLength
    d.close()


def test_read_status_byte_through_the_interrupt_endpoint():
    d, other = Dev(USB488), Dev(USB488)
    d.out_msg(b"STB 34\n")
    assert d.query("*STB?") == b"34\n"  # run before the request
    assert d.control(0xA1, 128, value=5, length=3) == (0, bytes([1, 5, 0]))
    for x in (d, other):  # every open connection gets it
        assert x.call(INTR, code=0, out_len=8) == (0, bytes([0x85, 34]))
    x = other
    x.pending(INTR, code=0)  # nothing more
    assert x.call(INTR, code=2, out_len=8) == (1, b"")
    d.out_msg(b"STB 0\n")
    d.close()
    other.close()


@pytest.mark.parametrize("p,tag,want", [
    (NOINTR, 9, (0, bytes([1, 9, 7]))),     # the STB in the control reply
    (NOINTR, 1, (0, bytes([0x80, 1, 0]))),  # bTag outside 2..127
    (NOINTR, 128, (0, bytes([0x80, 128, 0]))),
    (PLAIN, 9, (1, b"")),                   # not USB488: stalls
])
def test_read_status_byte_in_the_control_reply(p, tag, want):
    d = Dev(p)
    d.out_msg(b"STB 7\n")
    assert d.query("*STB?") == b"7\n"
    assert d.control(0xA1, 128, value=tag, length=3) == want
    if p == NOINTR:
        assert d.call(INTR, code=0, out_len=8) == (1, b"")  # no interrupt endpoint
    d.out_msg(b"STB 0\n")
    d.close()


def test_service_request_kept_apart_and_queue_bound():
    d = Dev(USB488)
    d.out_msg(b"SRQ\n")
    for tag in range(2, 22):  # 20 answers: the 4 oldest dropped
        assert d.control(0xA1, 128, value=tag, length=3)[0] == 0
    assert d.call(INTR, code=1, out_len=8) == (0, bytes([0x81, 0x40]))
    got = [d.call(INTR, code=0, out_len=8)[1][0] for _ in range(16)]
    assert got == [0x80 | t for t in range(6, 22)]
    d.pending(INTR, code=0)
    d.pending(INTR, code=1)
    d.out_msg(b"STB 0\n")
    d.close()


def ren_state(d):
    ren, remote, lockout, locals_ = d.query("RENSTATE?").decode().strip().split(",")
    return ren + remote + lockout, int(locals_)


@pytest.mark.parametrize("p,ok", [(USB488, True), (NOINTR, False), (PLAIN, False)])
def test_ren_local_lockout(p, ok):
    d = Dev(p)
    _, base = ren_state(d)
    # The query is itself a message, which with REN asserted makes the
    # device remote: a GO_TO_LOCAL shows in the count of returns to local.
    for req, value, state, locals_ in [(160, 1, "110", 0), (162, 0, "111", 0), (161, 0, "111", 1),
                                       (160, 0, "000", 2)]:
        assert d.control(0xA1, req, value=value, length=1) == ((0, b"\x01") if ok else (1, b""))
        if ok:
            assert ren_state(d) == (state, base + locals_)
    d.close()


def test_trigger_message():
    for p, counts in [(USB488, True), (NOINTR, False), (PLAIN, False)]:
        d = Dev(p)
        before = int(d.query("TRIGCOUNT?"))
        t = d.next_tag()
        d.call(BULK_OUT, data=struct.pack("<BBBx8x", 128, t, ~t & 0xFF))
        assert int(d.query("TRIGCOUNT?")) == before + (1 if counts else 0)
        d.close()


@pytest.mark.parametrize("dev", [USB488], indirect=True)
def test_abort_bulk_in(dev):
    dev.out_msg(b"BLOCK? 3000\n")
    tag = dev.request_in(4000)
    assert dev.call(BULK_IN, out_len=512)[0] == 0  # a part of the reply read
    # wrong endpoint: stall; another tag: not in progress; then the abort
    assert dev.control(0xA2, 3, value=tag, index=0x02, length=2) == (1, b"")
    assert dev.control(0xA2, 3, value=tag ^ 1, index=0x81, length=2) == (0, bytes([0x81, tag]))
    assert dev.control(0xA2, 3, value=tag, index=0x81, length=2) == (0, bytes([1, tag]))
    assert dev.control(0xA2, 4, index=0x81, length=8) == (0, bytes([1, 0, 0, 0]) + struct.pack("<I", 500))
    assert dev.control(0xA2, 3, value=tag, index=0x81, length=2) == (0, bytes([0x80, tag]))  # nothing left


@pytest.mark.parametrize("dev", [USB488], indirect=True)
def test_abort_bulk_out(dev):
    t = dev.next_tag()
    dev.call(BULK_OUT, data=struct.pack("<BBBxIBxxx", 1, t, ~t & 0xFF, 100, 1) + b"ECHO partial")
    assert dev.control(0xA2, 1, value=t, index=0x81, length=2) == (1, b"")
    assert dev.control(0xA2, 1, value=t ^ 1, index=0x02, length=2) == (0, bytes([0x81, t]))
    assert dev.control(0xA2, 1, value=t, index=0x02, length=2) == (0, bytes([1, t]))
    assert dev.control(0xA2, 2, index=0x02, length=8) == (0, bytes([1, 0, 0, 0]) + struct.pack("<I", 12))
    assert dev.query("ECHO after") == b"after\n"


@pytest.mark.parametrize("dev", [USB488], indirect=True)
def test_clear_ends_a_running_delay(dev):
    """INITIATE_CLEAR ends a command still running, as VXI-11's device_clear:
    its reply never comes after the clear."""
    dev.out_msg(b"DELAY 300 ECHO late\n")
    assert dev.control(0xA1, 5, length=1) == (0, b"\x01")
    assert dev.control(0xA1, 6, length=2) == (0, bytes([1, 0]))
    time.sleep(0.5)
    assert dev.query("ECHO own") == b"own\n"


def test_clear_asks_to_read_bulk_in_first():
    d = Dev(CLEARREAD)
    assert d.control(0xA1, 5, length=1) == (0, b"\x01")
    assert d.control(0xA1, 6, length=2) == (0, bytes([2, 1]))
    r, data = d.call(BULK_IN, out_len=512)
    assert r == 0 and data[12:20] == b"LEFTOVER"
    assert d.control(0xA1, 6, length=2) == (0, bytes([1, 0]))
    assert d.query("ECHO clean") == b"clean\n"
    d.close()


def test_quirks():
    d = Dev(RIGOL)  # whole reply in one message, header once, no EOM
    d.out_msg(b"BLOCK? 300\n")
    d.request_in(40)
    r, first = d.call(BULK_IN, out_len=64)
    assert struct.unpack("<I", first[4:8])[0] == 305 and first[8] == 0 and len(first) == 64  # "#3300" + 300
    r, rest = d.call(BULK_IN, out_len=4096)
    assert len(first) - 12 + len(rest) == 308 and rest[-3:] == bytes(3)  # alignment zeros with the last piece
    d.close()
    d = Dev(NOEOM)
    d.out_msg(b"ECHO x\n")
    header, payload = d.read_msg()
    assert payload == b"x\n" and header[8] == 0
    d.close()
    d = Dev(NOPAD)  # the alignment zeros become data: the next command fails
    d.out_msg(b"ECHO ok\n", pad=False)
    assert d.read_msg()[1] == b"ok\n"
    d.out_msg(b"*CLS\n", pad=True)  # 3 zeros follow
    d.out_msg(b"ECHO lost\n", pad=False)
    d.request_in()
    d.pending(BULK_IN)
    d.close()


def test_own_device_keeps_vendor_echo():
    d = Dev(OWN)
    t = d.next_tag()
    d.call(BULK_OUT, data=struct.pack("<BBBxIxxxx", 126, t, ~t & 0xFF, 4) + b"ABCD")
    t = d.next_tag()
    d.call(BULK_OUT, data=struct.pack("<BBBxIxxxx", 127, t, ~t & 0xFF, 4))
    r, data = d.call(BULK_IN, out_len=64)
    assert data[0] == 127 and data[12:16] == b"ABCD"
    assert d.control(0xA1, 7)[0] == 1  # no class requests
    d.close()
