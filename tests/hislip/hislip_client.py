"""A bare HiSLIP client (raw sockets, struct) for the simulator's checks:
it sends exactly what a test asks and hands back every message as it came."""
import socket
import struct

PORT = 4880
HEADER = struct.Struct(">2sBBIQ")
(INITIALIZE, INITIALIZE_RESPONSE, FATAL_ERROR, ERROR, ASYNC_LOCK, ASYNC_LOCK_RESPONSE, DATA, DATA_END,
 DEVICE_CLEAR_COMPLETE, DEVICE_CLEAR_ACKNOWLEDGE, ASYNC_REMOTE_LOCAL_CONTROL, ASYNC_REMOTE_LOCAL_RESPONSE, TRIGGER,
 INTERRUPTED, ASYNC_INTERRUPTED, ASYNC_MAX_MSG_SIZE, ASYNC_MAX_MSG_SIZE_RESPONSE, ASYNC_INITIALIZE,
 ASYNC_INITIALIZE_RESPONSE, ASYNC_DEVICE_CLEAR, ASYNC_SERVICE_REQUEST, ASYNC_STATUS_QUERY, ASYNC_STATUS_RESPONSE,
 ASYNC_DEVICE_CLEAR_ACKNOWLEDGE, ASYNC_LOCK_INFO, ASYNC_LOCK_INFO_RESPONSE) = range(26)
FIRST_ID = 0xFFFFFF00


def recv_exact(sock, n):
    out = b""
    while len(out) < n:
        part = sock.recv(n - len(out))
        if not part:
            raise ConnectionError("closed by the simulator")
        out += part
    return out


def send(sock, mtype, control=0, param=0, payload=b""):
    sock.sendall(HEADER.pack(b"HS", mtype, control, param, len(payload)) + payload)


def receive(sock):
    """One message: (type, control, param, payload)."""
    prologue, mtype, control, param, length = HEADER.unpack(recv_exact(sock, HEADER.size))
    assert prologue == b"HS"
    return mtype, control, param, recv_exact(sock, length)


class Link:
    """Both channels of one session, opened as a client does."""

    def __init__(self, addr, version=0x0100, sub_address=b"hislip0", timeout=5):
        self.sync = socket.create_connection((addr, PORT), timeout=timeout)
        self.sync.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        send(self.sync, INITIALIZE, 0, (version << 16) | 0x5458, sub_address)  # vendor "TX"
        mtype, self.overlap, param, _ = receive(self.sync)
        assert mtype == INITIALIZE_RESPONSE, mtype
        self.version, self.session_id = param >> 16, param & 0xFFFF
        self.overlap &= 1
        self.init_control = self.overlap
        self.async_ = socket.create_connection((addr, PORT), timeout=timeout)
        self.async_.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        send(self.async_, ASYNC_INITIALIZE, 0, self.session_id)
        self.async_init = receive(self.async_)
        self.next_id = FIRST_ID
        self.rmt = 0

    def max_size(self, size=1 << 20):
        send(self.async_, ASYNC_MAX_MSG_SIZE, 0, 0, struct.pack(">Q", size))
        mtype, _, _, payload = receive(self.async_)
        assert mtype == ASYNC_MAX_MSG_SIZE_RESPONSE, mtype
        return struct.unpack(">Q", payload)[0]

    def write(self, data, end=True):
        """One Data or DataEnd message; returns its message id."""
        mid = self.next_id
        send(self.sync, DATA_END if end else DATA, self.rmt, mid, data)
        self.rmt = 0
        self.next_id = (self.next_id + 2) & 0xFFFFFFFF
        return mid

    def trigger(self):
        mid = self.next_id
        send(self.sync, TRIGGER, self.rmt, mid)
        self.rmt = 0
        self.next_id = (self.next_id + 2) & 0xFFFFFFFF
        return mid

    def read_messages(self, limit=100):
        """Sync messages up to and including the first DataEnd (or an error)."""
        got = []
        for _ in range(limit):
            msg = receive(self.sync)
            got.append(msg)
            if msg[0] in (DATA_END, FATAL_ERROR, ERROR):
                if msg[0] == DATA_END:
                    self.rmt = 1
                return got
        raise AssertionError("no DataEnd in %d messages" % limit)

    def query(self, text):
        mid = self.write(text)
        msgs = self.read_messages()
        assert all(m[0] in (DATA, DATA_END) and m[2] == mid for m in msgs), msgs
        return b"".join(m[3] for m in msgs)

    def status(self):
        send(self.async_, ASYNC_STATUS_QUERY, self.rmt, self.next_id)
        self.rmt = 0
        mtype, control, _, _ = receive(self.async_)
        assert mtype == ASYNC_STATUS_RESPONSE, mtype
        return control

    def clear(self, prefer_overlap=0):
        send(self.async_, ASYNC_DEVICE_CLEAR)
        mtype, feature, _, _ = receive(self.async_)
        assert mtype == ASYNC_DEVICE_CLEAR_ACKNOWLEDGE, mtype
        send(self.sync, DEVICE_CLEAR_COMPLETE, feature | prefer_overlap)
        # Whatever was already on its way before the acknowledge is dropped.
        for _ in range(1000):
            msg = receive(self.sync)
            if msg[0] == DEVICE_CLEAR_ACKNOWLEDGE:
                self.next_id, self.rmt = FIRST_ID, 0
                self.overlap = msg[1] & 1
                return msg[1]
        raise AssertionError("no DeviceClearAcknowledge")

    def async_call(self, mtype, control=0, param=0, payload=b""):
        send(self.async_, mtype, control, param, payload)
        return receive(self.async_)

    def close(self):
        self.sync.close()
        self.async_.close()
