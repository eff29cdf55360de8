"""Records sessions of the simulator's HiSLIP server as seeds of
fuzz_hislip_reply's session mode: it plays each script's operations as the
library sends them and keeps what the server sent on each channel.
Run inside the test namespace with the simulator (docs/fuzzing.md):
  tests/netns_run.sh --sim build/native/bin/vxsim -- python3 tests/fuzz/capture_hislip_session.py DIR
"""
import os
import socket
import struct
import sys
import time

HEADER = struct.Struct(">2sBBIQ")
PORT = 4880
FIRST_ID = 0xFFFFFF00
# The fuzzer's operations.
(INIT, ASYNC_INIT, MAX_SIZE, WRITE_LINE, WRITE_HELD, READ, STATUS, REMOTE, TRIGGER, CLEAR, PREEMPTED_READ) = range(11)


def message(mtype, control=0, param=0, payload=b""):
    return HEADER.pack(b"HS", mtype, control, param, len(payload)) + payload


def take(sock, got, quiet=0.15):
    """Everything the server sends until it is quiet for a moment."""
    sock.settimeout(quiet)
    try:
        while True:
            part = sock.recv(65536)
            if not part:
                return
            got += part
    except socket.timeout:
        pass


def capture(addr, script):
    sync = socket.create_connection((addr, PORT), timeout=5)
    sync.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    asy = None
    got = {"sync": bytearray(), "async": bytearray()}
    next_id, session = FIRST_ID, 0
    for op, arg in script:
        if op == INIT:
            sync.sendall(message(0, 0, 0x01000000 | (ord("V") << 8) | ord("C"), b"hislip0"))
            take(sync, got["sync"])
            session = struct.unpack(">I", bytes(got["sync"][4:8]))[0] & 0xFFFF
        elif op == ASYNC_INIT:
            asy = socket.create_connection((addr, PORT), timeout=5)
            asy.sendall(message(17, 0, session))
            take(asy, got["async"])
        elif op == MAX_SIZE:
            asy.sendall(message(15, 0, 0, struct.pack(">Q", 1 << 20)))
            take(asy, got["async"])
        elif op in (WRITE_LINE, WRITE_HELD):
            text = b"ECHO " + b"w" * arg + b"\n" if op == WRITE_LINE else b"h" * (1 + arg * 13)
            sync.sendall(message(7, 0, next_id, text))
            next_id = (next_id + 2) & 0xFFFFFFFF
            take(sync, got["sync"])
        elif op in (READ, PREEMPTED_READ):
            take(sync, got["sync"])
        elif op == STATUS:
            asy.sendall(message(21, 1, (next_id - 2) & 0xFFFFFFFF))
            take(asy, got["async"])
        elif op == REMOTE:
            asy.sendall(message(10, arg % 7, (next_id - 2) & 0xFFFFFFFF))
            take(asy, got["async"])
        elif op == TRIGGER:
            sync.sendall(message(12, 0, next_id))
            next_id = (next_id + 2) & 0xFFFFFFFF
        elif op == CLEAR:
            asy.sendall(message(19))
            take(asy, got["async"])
            sync.sendall(message(8))
            take(sync, got["sync"])
            next_id = FIRST_ID
    sync.close()
    if asy:
        asy.close()
    return got


def seed(script, got, tmo=9):
    ops = bytes(b for pair in script for b in pair)
    out = bytes([1, tmo, 0])
    for tag, part in ((2, ops), (0, bytes(got["sync"])), (1, bytes(got["async"]))):
        out += bytes([tag]) + struct.pack(">H", len(part)) + part
    return out


SCRIPTS = {
    "seed-session-query": [(INIT, 0), (ASYNC_INIT, 0), (MAX_SIZE, 0), (WRITE_LINE, 3), (READ, 64), (STATUS, 0),
                           (WRITE_LINE, 40), (READ, 7), (READ, 200)],
    "seed-session-controls": [(INIT, 0), (ASYNC_INIT, 0), (MAX_SIZE, 0), (REMOTE, 3), (TRIGGER, 0), (STATUS, 0),
                              (REMOTE, 2), (WRITE_HELD, 4), (STATUS, 0)],
    "seed-session-clear": [(INIT, 0), (ASYNC_INIT, 0), (MAX_SIZE, 0), (WRITE_LINE, 90), (CLEAR, 0),
                           (WRITE_LINE, 5), (READ, 33), (STATUS, 0), (CLEAR, 0), (WRITE_LINE, 1), (READ, 64)],
}


def main():
    out = sys.argv[1]
    addr = sys.argv[2] if len(sys.argv) > 2 else "127.0.0.2"
    for name, script in SCRIPTS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(seed(script, capture(addr, script)))
        time.sleep(0.1)


if __name__ == "__main__":
    main()
