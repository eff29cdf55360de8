"""Independent check of vxsim's HiSLIP framing: a scripted client exercises
every message type the server sends, the exchange is captured on lo, and
Wireshark's HiSLIP dissector (tshark) must decode each message, as the
client saw it, with no malformed packet and no HiSLIP expert info.
Runs only inside tests/netns_run.sh's private network namespace."""
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import hislip_client as hc  # noqa: E402
from hislip_client import *  # noqa: E402,F401,F403

NORMAL, INTERRUPTING = "127.0.0.2", "127.0.0.3"


def isolated():
    return [n for _, n in socket.if_nameindex()] == ["lo"] and os.environ.get("VX_NETNS_ISOLATED") == "1"


def trace(seen):
    """Records every message the client sends or receives, as the dissector
    names it: (type, payload length, message id where it has one)."""
    real_send, real_receive = hc.send, hc.receive

    def traced_send(sock, mtype, control=0, param=0, payload=b""):
        seen.append(record(mtype, control, param, len(payload)))
        real_send(sock, mtype, control, param, payload)

    def traced_receive(sock):
        msg = real_receive(sock)
        seen.append(record(msg[0], msg[1], msg[2], len(msg[3])))
        return msg

    hc.send, hc.receive = traced_send, traced_receive


WITH_ID = {DATA, DATA_END, TRIGGER, INTERRUPTED, ASYNC_INTERRUPTED, ASYNC_STATUS_QUERY, ASYNC_REMOTE_LOCAL_CONTROL}


def record(mtype, control, param, length):
    with_id = mtype in WITH_ID or (mtype == ASYNC_LOCK and control == 0)  # a release names the last message
    return (mtype, length, param if with_id else None)


def scenario():
    lk = Link(NORMAL)
    lk.max_size(64)
    assert lk.query(b"*IDN?").startswith(b"VXSIM")
    assert len(lk.query(b"BLOCK? 200")) == 205  # Data messages, then DataEnd
    lk.write(b"STB 1")
    lk.write(b"*IDN?")
    assert lk.status() == 0x11
    lk.read_messages()
    lk.write(b"SRQ")
    assert hc.receive(lk.async_)[0] == ASYNC_SERVICE_REQUEST
    assert lk.status() == 0x41  # RQS, taken away by the query
    lk.trigger()
    lk.async_call(ASYNC_REMOTE_LOCAL_CONTROL, 3, lk.next_id)
    lk.async_call(ASYNC_LOCK, 1, 100)
    lk.async_call(ASYNC_LOCK_INFO)
    lk.async_call(ASYNC_LOCK, 0, lk.next_id)
    lk.write(b"STB 0")
    hc.send(lk.sync, 99)
    assert hc.receive(lk.sync)[:2] == (ERROR, 1)
    lk.write(b"DELAY 60000 *IDN?")
    assert lk.clear() == 0
    lk.close()
    lk = Link(INTERRUPTING)
    lk.write(b"ECHO first")
    hc.receive(lk.sync)
    second = lk.write(b"ECHO second")
    assert hc.receive(lk.async_)[0] == ASYNC_INTERRUPTED
    assert hc.receive(lk.sync)[0] == INTERRUPTED
    assert all(m[2] == second for m in lk.read_messages())
    lk.close()
    with socket.create_connection((NORMAL, PORT), timeout=5) as s:
        hc.send(s, DATA_END, 0, FIRST_ID, b"x")  # not Initialize: FatalError
        assert hc.receive(s)[0] == FATAL_ERROR


def flatten(node, out):
    for key, value in node.items():
        if isinstance(value, dict):
            flatten(value, out)
        elif key.startswith("hislip."):
            out[key] = value
    return out


def decoded(capture):
    text = subprocess.run(["tshark", "-r", capture, "-o", "tcp.desegment_tcp_streams:TRUE", "-Y", "hislip",
                           "-T", "json"], check=True, capture_output=True, text=True, timeout=60).stdout
    messages = []
    for frame in json.loads(text or "[]"):
        layers = frame["_source"]["layers"]
        pdus = layers["hislip"] if isinstance(layers["hislip"], list) else [layers["hislip"]]
        for pdu in pdus:
            f = flatten(pdu, {})
            mtype = int(f["hislip.messagetype"], 0)
            mid = f.get("hislip.msgpara.messageid")
            messages.append((mtype, int(f["hislip.payloadlength"], 0), int(mid, 0) if mid else None))
    return messages


def main():
    if not isolated():
        print("tshark_check: refusing to run outside tests/netns_run.sh's namespace", file=sys.stderr)
        return 2
    work = tempfile.mkdtemp()
    capture = os.path.join(work, "hislip.pcapng")
    dumpcap = subprocess.Popen(["dumpcap", "-q", "-i", "lo", "-f", "tcp port %d" % PORT, "-w", capture],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        for _ in range(100):  # dumpcap writes the file header once it captures
            if os.path.exists(capture) and os.path.getsize(capture) > 0:
                break
            if dumpcap.poll() is not None:
                print(dumpcap.stderr.read().decode(), file=sys.stderr)
                return 1
            time.sleep(0.05)
        time.sleep(0.2)
        seen = []
        trace(seen)
        scenario()
        time.sleep(0.3)
    finally:
        dumpcap.send_signal(signal.SIGINT)
        dumpcap.wait(timeout=10)
    got = decoded(capture)
    bad = subprocess.run(["tshark", "-r", capture, "-Y", "_ws.malformed || hislip.wrongprologue || hislip.msgnotnull"],
                         check=True, capture_output=True, text=True, timeout=60).stdout
    types = sorted({m[0] for m in got})
    print("tshark decoded %d HiSLIP messages of %d types %s; the client exchanged %d" % (
        len(got), len(types), types, len(seen)))
    ok = True
    if bad.strip():
        print("tshark flags these frames:\n" + bad, file=sys.stderr)
        ok = False
    if sorted(got, key=repr) != sorted(seen, key=repr):
        missing = [m for m in seen if m not in got]
        extra = [m for m in got if m not in seen]
        print("decoded and exchanged messages differ:\n  not decoded: %s\n  not exchanged: %s" % (missing, extra),
              file=sys.stderr)
        ok = False
    server_types = {INITIALIZE_RESPONSE, ASYNC_INITIALIZE_RESPONSE, ASYNC_MAX_MSG_SIZE_RESPONSE, DATA, DATA_END,
                    ASYNC_STATUS_RESPONSE, ASYNC_REMOTE_LOCAL_RESPONSE, ASYNC_LOCK_RESPONSE, ASYNC_LOCK_INFO_RESPONSE,
                    ERROR, FATAL_ERROR, ASYNC_DEVICE_CLEAR_ACKNOWLEDGE, DEVICE_CLEAR_ACKNOWLEDGE, INTERRUPTED,
                    ASYNC_INTERRUPTED, ASYNC_SERVICE_REQUEST}
    if not server_types <= set(types):
        print("not every server message type was seen: %s" % sorted(server_types - set(types)), file=sys.stderr)
        ok = False
    print("1 passed, 0 failed" if ok else "0 passed, 1 failed")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
