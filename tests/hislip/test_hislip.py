"""The simulator's HiSLIP server, driven message by message: the exchanges a
client relies on and each fault. The instruments and their faults are set by
tests/CMakeLists.txt (test hislip_faults); FAULTS below mirrors them."""
import select
import socket
import struct
import time

import pytest

from hislip_client import *  # noqa: F401,F403 (message types and the client)

NORMAL = "127.0.0.2"
FAULTS = {  # address: --hislip-fault values
    "127.0.0.3": ["slow=400"],
    "127.0.0.4": ["interrupt"],
    "127.0.0.5": ["fatal"],
    "127.0.0.6": ["encrypt"],
    "127.0.0.7": ["sameid"],
    "127.0.0.8": ["maxmsg=100000000"],
    "127.0.0.9": ["stb-early"],
    "127.0.0.10": ["interrupted-late"],
    "127.0.0.11": ["overlap"],
    "127.0.0.12": ["maxmsg=64"],
    "127.0.0.13": ["error"],
}


def readable(sock, wait=0.0):
    return bool(select.select([sock], [], [], wait)[0])


def closed(sock):
    sock.settimeout(2)
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True


@pytest.fixture
def link():
    lk = Link(NORMAL)
    yield lk
    lk.close()


def test_open_and_query(link):
    assert (link.version, link.overlap) == (0x0100, 0) and link.session_id != 0
    assert link.async_init == (ASYNC_INITIALIZE_RESPONSE, 0, 0x5658, b"")  # vendor "VX"
    assert link.max_size(1 << 20) == 1 << 20
    mid = link.write(b"*IDN?")
    assert mid == FIRST_ID
    assert link.read_messages() == [(DATA_END, 0, FIRST_ID, b"VXSIM,MODEL-100,SNVX0000000000000000,1.0\n")]
    assert link.query(b"ECHO x") == b"x\n"  # the next id, FIRST_ID + 2, checked by query


def test_reply_in_messages_within_the_client_maximum(link):
    link.max_size(64)
    mid = link.write(b"BLOCK? 1000")
    msgs = link.read_messages()
    assert [m[0] for m in msgs] == [DATA] * (len(msgs) - 1) + [DATA_END]
    assert all(m[2] == mid and 16 + len(m[3]) <= 64 for m in msgs)
    assert b"".join(m[3] for m in msgs)[:6] == b"#41000" and sum(len(m[3]) for m in msgs) == 1006


def test_data_messages_make_one_program_message(link):
    link.write(b"ECHO ab", end=False)
    assert link.query(b"c") == b"abc\n"


def test_status_byte_mav_until_rmt_delivered(link):
    link.write(b"STB 66")
    link.write(b"*IDN?")
    assert link.status() == 66 | 0x10  # the reply waits; the query takes RQS (64) away
    link.read_messages()
    link.rmt = 0
    assert link.status() == 2 | 0x10  # read, but its delivery not confirmed
    link.write(b"*IDN?")
    link.read_messages()
    assert link.status() == 2  # RMT-delivered in the query
    link.write(b"STB 0")


def test_service_requests_reach_the_async_channel_of_every_session(link):
    # A second session, whose asynchronous channel comes after the requests.
    late = socket.create_connection((NORMAL, PORT), timeout=5)
    try:
        send(late, INITIALIZE, 0, 0x01005458, b"hislip0")
        mtype, _, param, _ = receive(late)
        assert mtype == INITIALIZE_RESPONSE
        link.write(b"SRQ")
        link.write(b"SRQ")
        # One AsyncServiceRequest per request: no status byte, no payload.
        request = (ASYNC_SERVICE_REQUEST, 0, 0, b"")
        assert [receive(link.async_) for _ in range(2)] == [request] * 2
        assert not readable(link.async_, 0.2)
        with socket.create_connection((NORMAL, PORT), timeout=5) as late_async:
            send(late_async, ASYNC_INITIALIZE, 0, param & 0xFFFF)
            assert receive(late_async)[0] == ASYNC_INITIALIZE_RESPONSE
            assert [receive(late_async) for _ in range(2)] == [request] * 2
            assert not readable(late_async, 0.2)
        assert link.status() & 0x40  # RQS stays until a status query
        assert link.status() & 0x40 == 0  # which takes it away
    finally:
        late.close()


def test_device_clear_drops_input_and_output_and_resets_ids(link):
    before = int(link.query(b"CLEARCOUNT?"))
    link.write(b"ECHO lost", end=False)
    link.write(b"DELAY 60000 *IDN?")
    started = time.monotonic()
    assert link.clear() == 0
    assert time.monotonic() - started < 2
    assert link.write(b"ECHO kept") == FIRST_ID
    assert link.read_messages() == [(DATA_END, 0, FIRST_ID, b"kept\n")]
    assert int(link.query(b"CLEARCOUNT?")) == before + 1


def fnv1a(data):
    h = 14695981039346656037
    for b in data:
        h = ((h ^ b) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return h


@pytest.mark.parametrize("cut", ["block reply, new query", "block reply, clear", "upload, clear"])
def test_bulk_transfer_cut_short_then_whole_again(link, cut):
    """A long block reply or upload abandoned half way (a new query in
    synchronized mode, or a device clear): the next ones arrive whole."""
    if cut == "upload, clear":
        link.write(b"UPLOAD #9100000000" + bytes(1000000), end=False)
        link.write(bytes(1000000), end=False)
        assert link.clear() == 0
    else:
        first = link.write(b"BLOCK? 100000000")  # more than the sockets hold
        assert receive(link.sync)[:3] == (DATA, 0, first)
        if cut == "block reply, clear":
            assert link.clear() == 0
        else:
            second = link.write(b"ECHO next")
            assert receive(link.async_)[:3] == (ASYNC_INTERRUPTED, 0, second)
            for _ in range(100):  # the old reply's messages already framed come first
                msg = receive(link.sync)
                if msg[0] != DATA or msg[2] != first:
                    break
            assert msg[:3] == (INTERRUPTED, 0, second)
            assert link.read_messages() == [(DATA_END, 0, second, b"next\n")]
    n = 200000
    block = link.query(b"BLOCK? %d" % n)
    assert block[:8] == b"#6200000" and len(block) == 8 + n
    assert link.query(b"BLOCKSUM? %d" % n) == b"%d,%016x\n" % (n, fnv1a(block[8:]))
    data = block[8:] * 9  # more than the engine's socket pair holds, in two messages
    link.write(b"UPLOAD #7%d" % len(data) + data[:900000], end=False)
    assert link.query(data[900000:]) == b"%d,%016x\n" % (len(data), fnv1a(data))


def test_trigger_counts(link):
    before = int(link.query(b"TRIGCOUNT?"))
    link.trigger()
    assert int(link.query(b"TRIGCOUNT?")) == before + 1


@pytest.mark.parametrize("code,remote", [(3, 1), (6, 0), (5, 1), (2, 0), (1, 0), (0, 0)])
def test_remote_local(link, code, remote):
    link.async_call(ASYNC_REMOTE_LOCAL_CONTROL, 6)  # start in local
    assert link.async_call(ASYNC_REMOTE_LOCAL_CONTROL, code, link.next_id) == (ASYNC_REMOTE_LOCAL_RESPONSE, 0, 0, b"")
    assert link.query(b"REMOTE?") == b"%d\n" % remote


def test_remote_local_unknown_code_is_an_error(link):
    assert link.async_call(ASYNC_REMOTE_LOCAL_CONTROL, 9)[:2] == (ERROR, 2)


def test_lock(link):
    other = Link(NORMAL)
    try:
        assert link.async_call(ASYNC_LOCK, 1, 1000)[:2] == (ASYNC_LOCK_RESPONSE, 1)
        assert link.async_call(ASYNC_LOCK_INFO)[:3] == (ASYNC_LOCK_INFO_RESPONSE, 1, 1)
        assert other.async_call(ASYNC_LOCK, 1, 0)[:2] == (ASYNC_LOCK_RESPONSE, 0)
        assert other.async_call(ASYNC_LOCK, 1, 0, b"shared")[:2] == (ASYNC_LOCK_RESPONSE, 3)
        assert link.async_call(ASYNC_LOCK, 0, link.next_id)[:2] == (ASYNC_LOCK_RESPONSE, 1)
        assert link.async_call(ASYNC_LOCK, 0, link.next_id)[:2] == (ASYNC_LOCK_RESPONSE, 3)
    finally:
        other.close()


def test_same_instrument_over_hislip_and_socket(link):
    link.write(b"STB 5")
    # The write is only sent; a query on the same link waits until it ran.
    assert link.query(b"*STB?") == b"5\n"
    with socket.create_connection((NORMAL, 5025), timeout=5) as s:
        s.sendall(b"*STB?\n")
        assert s.recv(64) == b"5\n"
    link.write(b"STB 0")


# ------------------------------------------------------------ protocol errors


def raw_first(message):
    with socket.create_connection((NORMAL, PORT), timeout=5) as s:
        s.sendall(message)
        return receive(s)[:2]


@pytest.mark.parametrize("message,expected", [
    (b"XS" + bytes(14), (FATAL_ERROR, 1)),  # bad prologue
    (HEADER.pack(b"HS", DATA_END, 0, 0, 0), (FATAL_ERROR, 3)),  # not Initialize first
    (HEADER.pack(b"HS", ASYNC_INITIALIZE, 0, 0xFFFF, 0), (FATAL_ERROR, 3)),  # no such session
])
def test_bad_openings(message, expected):
    assert raw_first(message) == expected


def test_data_before_the_async_channel_is_fatal():
    with socket.create_connection((NORMAL, PORT), timeout=5) as s:
        send(s, INITIALIZE, 0, 0x01005458, b"hislip0")
        assert receive(s)[0] == INITIALIZE_RESPONSE
        send(s, DATA_END, 0, FIRST_ID, b"*IDN?")
        assert receive(s)[:2] == (FATAL_ERROR, 2)
        assert closed(s)


def test_unknown_message_type_is_an_error(link):
    send(link.sync, 99, 0, 0)
    assert receive(link.sync)[:2] == (ERROR, 1)
    assert link.query(b"ECHO still") == b"still\n"


def test_message_over_the_maximum_is_refused_and_the_link_goes_on():
    lk = Link("127.0.0.12")
    try:
        assert lk.max_size() == 64
        lk.write(b"ECHO " + b"x" * 100)
        assert lk.read_messages()[0][:2] == (ERROR, 4)
        assert lk.query(b"ECHO " + b"y" * 59) == b"y" * 59 + b"\n"
    finally:
        lk.close()


# ------------------------------------------------------------ faults


def test_slow_reply():
    lk = Link("127.0.0.3")
    try:
        started = time.monotonic()
        assert lk.query(b"ECHO late") == b"late\n"
        assert time.monotonic() - started >= 0.38
    finally:
        lk.close()


@pytest.mark.parametrize("addr,interrupted_first", [("127.0.0.4", True), ("127.0.0.10", False)])
def test_interrupted_query(addr, interrupted_first):
    """The reply's last byte is held; a new query abandons it. Interrupted
    and AsyncInterrupted carry the new message's id, in either order."""
    lk = Link(addr)
    try:
        if addr == "127.0.0.10":
            # This instrument holds nothing: a long reply is what gets interrupted.
            first = lk.write(b"SPLIT 2 1500 abcd")
        else:
            first = lk.write(b"ECHO first")
            assert receive(lk.sync) == (DATA, 0, first, b"first")
        second = lk.write(b"ECHO second")
        assert receive(lk.async_) == (ASYNC_INTERRUPTED, 0, second, b"")
        assert readable(lk.sync) == interrupted_first
        assert receive(lk.sync) == (INTERRUPTED, 0, second, b"")
        msgs = lk.read_messages()
        assert all(m[2] == second for m in msgs) and b"".join(m[3] for m in msgs) == b"second\n"
    finally:
        lk.close()


def test_fatal_error_closes_both_channels():
    lk = Link("127.0.0.5")
    try:
        lk.write(b"*IDN?")
        assert receive(lk.sync)[:2] == (FATAL_ERROR, 128)
        assert receive(lk.async_)[:2] == (FATAL_ERROR, 128)
        assert closed(lk.sync) and closed(lk.async_)
    finally:
        lk.close()


def test_server_that_requires_encryption():
    lk = Link("127.0.0.6")
    try:
        assert (lk.version, lk.init_control) == (0x0200, 0)
        assert lk.async_init[:2] == (ASYNC_INITIALIZE_RESPONSE, 1)
        lk.write(b"*IDN?")
        assert receive(lk.sync)[:2] == (FATAL_ERROR, 5)
        assert closed(lk.sync)
    finally:
        lk.close()


def test_two_sessions_with_the_same_id():
    a = Link("127.0.0.7")
    b = Link("127.0.0.7")
    try:
        assert a.session_id == b.session_id
        assert (a.query(b"ECHO a"), b.query(b"ECHO b")) == (b"a\n", b"b\n")
        b.write(b"ECHO waits")
        assert b.status() & 0x10 and not a.status() & 0x10
    finally:
        a.close()
        b.close()


def test_maximum_message_size_of_100_million():
    lk = Link("127.0.0.8")
    try:
        assert lk.max_size() == 100000000
        assert lk.query(b"ECHO big") == b"big\n"
    finally:
        lk.close()


def test_status_response_while_the_reply_is_on_its_way():
    lk = Link("127.0.0.9")
    try:
        mid = lk.write(b"ECHO held")
        assert receive(lk.sync) == (DATA, 0, mid, b"held")
        assert not readable(lk.sync, 0.3)
        assert lk.status() & 0x10
        assert readable(lk.sync, 0.5)
        assert receive(lk.sync) == (DATA_END, 0, mid, b"\n")
    finally:
        lk.close()


@pytest.mark.parametrize("addr,prefer,mode", [(NORMAL, 0, 0), (NORMAL, 1, 1), ("127.0.0.11", 0, 1)])
def test_mode_after_clear(addr, prefer, mode):
    lk = Link(addr)
    try:
        assert lk.overlap == (addr != NORMAL)
        assert lk.clear(prefer) == mode
        if mode:
            # Overlapped: queries may be sent back to back, each answered with its id.
            a, b = lk.write(b"SPLIT 2 100 ab"), lk.write(b"ECHO c")
            assert lk.read_messages() == [(DATA_END, 0, a, b"ab\n")]
            assert lk.read_messages() == [(DATA_END, 0, b, b"c\n")]
    finally:
        lk.close()
