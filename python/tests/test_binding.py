import gc
import os
import re
import signal
import socket
import stat
import struct
import subprocess
import sys
import threading
import time

import pytest

import vxcomm
from conftest import USB_SERIAL, checksum, isolated, pattern, without_visa


def test_query_sends_the_command_in_one_write(inst, tmp_path):
    log = tmp_path / "call.log"
    with vxcomm.call_log(log):
        assert inst.query("*IDN?").startswith("VXSIM,")
    text = log.read_text()
    # The command and its line feed go to the library in one call, so it
    # leaves in one transport write.
    assert "count=6, retCount=" in text
    assert "vx_comm_writeBlocking() returns: status=0, retCount=6" in text


def test_read_assembles_a_line_longer_than_its_buffer(inst, monkeypatch):
    monkeypatch.setattr(vxcomm._instrument, "_READ_CHUNK", 8)
    assert inst.query("ECHO abcdefghijklmnopqrstuvwxyz") == "abcdefghijklmnopqrstuvwxyz"
    assert inst.query("ECHO ab") == "ab"  # nothing left over from the long line


def test_write_sends_line_breaks_inside_as_they_are(inst):
    assert inst.write("ECHO a\nECHO b\rc") == len("ECHO a\nECHO b\rc\n")
    assert (inst.read(), inst.read()) == ("a", "b\rc")


def test_read_raw_sees_bytes_a_read_kept(inst):
    inst.write("RAWHEX 61620A636465")  # "ab\ncde" in one piece
    assert inst.read() == "ab"
    assert inst.read_raw() == b"cde"


def test_errors_carry_status_code_and_say_what_was_wrong(inst, addrs):
    inst.timeout = 200
    inst.write("HANG")
    with pytest.raises(vxcomm.TimeoutError) as e:
        inst.read()
    assert (e.value.status, e.value.error_code, e.value.name) == (vxcomm.VI_ERROR_TMO,) * 2 + ("VI_ERROR_TMO",)
    assert isinstance(e.value, TimeoutError) and isinstance(e.value, vxcomm.Error)

    inst.close()
    with pytest.raises(vxcomm.ConnectionLostError):
        inst.write("*IDN?")
    inst.close()  # twice is fine

    for address, says in [
        ("TCP-127.0.0.99", "no connection to TCP-127.0.0.99 (refused, unreachable, or no instrument on port 18)"),
        ("TCP-localhost", "no connection to TCP-localhost (127.0.0.1)"),
        ("TCP-1.2.3", "dotted IPv4 address"),
        ("TCP-", "dotted IPv4 address"),
        ("TCP-a..b", "did not resolve"),  # fails before any lookup: no DNS wait
        ("USB-SHORT", "18 characters"),
    ]:
        with pytest.raises(vxcomm.OpenError, match=re.escape(says)) as e:
            vxcomm.open(address)
        assert e.value.error_code < 0


def test_library_version_and_status_texts():
    assert vxcomm.library_version() == vxcomm.__version__
    assert vxcomm.status_description(vxcomm.VI_ERROR_TMO) == "Timeout expired before operation completed."
    assert vxcomm.status_description(0xBFFF0015) == vxcomm.status_description(vxcomm.VI_ERROR_TMO)
    assert vxcomm.status_description(-1) == "unknown status 0xFFFFFFFF"
    constants = pytest.importorskip("pyvisa.constants")
    assert {name: value for value, name in vxcomm._errors.STATUS_NAMES.items()} == {
        name: getattr(constants, name) for name in vxcomm._errors.STATUS_NAMES.values()}


def test_timeout_none_means_no_limit_on_every_route(addrs, tmp_path):
    log = tmp_path / "tmo.log"
    # The library's "no wait" differs by route; without a limit a read waits
    # in slices (shorter than this reply's delay), a write without limit.
    for address, no_limit, no_wait in [("TCP-" + addrs[0], "tmoMs=0)", "tmoMs=1)"),
                                       ("USB-" + USB_SERIAL, "tmoMs=-1)", "tmoMs=0)")]:
        with vxcomm.open(address, timeout=100) as inst, vxcomm.call_log(log):
            inst.timeout = None
            assert inst.query("DELAY 300 ECHO late") == "late"
            inst.timeout = 0
            inst.timeout = 1500
            text = log.read_text()
            assert no_limit in text and no_wait in text and "tmoMs=1500)" in text
            assert inst.timeout == 1500
            with pytest.raises(ValueError):
                inst.timeout = -1


def test_dropped_instrument_is_closed_with_a_warning(addrs):
    inst = vxcomm.open("TCP-" + addrs[0])
    with pytest.warns(ResourceWarning, match="unclosed"):
        del inst
        gc.collect()
    assert vxcomm.find(interfaces="lan", timeout=300)  # no link left open to refuse it


def test_block_without_line_feed(inst):
    inst.timeout = 5000
    started = time.monotonic()
    got = inst.query_binary_values("BLOCK? 64", datatype="B", expect_termination=False)
    assert got == list(pattern(64)) and time.monotonic() - started < 2
    inst.timeout = 200
    with pytest.raises(vxcomm.TimeoutError) as e:  # awaits the line feed, as pyvisa does
        inst.query_binary_values("BLOCK? 64", datatype="B")
    assert e.value.values == list(pattern(64))
    assert inst.query("*IDN?").startswith("VXSIM,")


def test_library_found_next_to_the_package():
    env = {k: v for k, v in os.environ.items() if k != "VX_COMM_LIB"}
    code = "import vxcomm, vxcomm._library as l; vxcomm.load_library(); print(l.lib()._vx_path)"
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert os.path.dirname(out.stdout.strip()) == os.path.dirname(vxcomm.__file__), out.stderr


@pytest.mark.parametrize(
    "datatype,big,form",
    [("B", False, "def"), ("h", False, "def"), ("h", True, "bin"), ("f", False, "def"), ("d", True, "def")],
)
def test_binary_values_unpack_the_block(inst, datatype, big, form):
    n = 8 * 125
    raw = pattern(n)
    got = inst.query_binary_values("BLOCK? %d %s lf" % (n, form), datatype=datatype, is_big_endian=big)
    want = list(struct.unpack("%s%d%s" % (">" if big else "<", n // struct.calcsize(datatype), datatype), raw))
    assert got == want or (datatype in "fd" and all(a == b or a != a for a, b in zip(got, want)))
    assert inst.query("*IDN?").startswith("VXSIM,")  # the line feed after the block was taken


def test_binary_values_containers_and_checks(inst):
    assert inst.query_binary_values("BLOCK? 6 lf", datatype="B", container=bytes) == pattern(6)
    assert inst.query_binary_values("BLOCK? 6 lf", datatype="B", container=tuple) == tuple(pattern(6))
    with pytest.raises(ValueError):  # 7 bytes are no whole number of int16
        inst.query_binary_values("BLOCK? 7 lf", datatype="h")
    inst.clear()
    with pytest.raises(ValueError):
        inst.query_binary_values("BLOCK? 8 lf", datatype="B", data_points=9)
    numpy = pytest.importorskip("numpy")
    arr = inst.query_binary_values("BLOCK? 8 lf", datatype="h", is_big_endian=True, container=numpy.array)
    assert arr.tolist() == list(struct.unpack(">4h", pattern(8)))


def test_write_binary_values_as_one_block(inst):
    values = [1.5, -2.25, 1e10]
    sent = inst.write_binary_values("UPLOAD:DATA", values, datatype="d", is_big_endian=True)
    data = struct.pack(">3d", *values)
    assert sent == len(data)
    assert inst.read() == "%d,%s" % (len(data), checksum(data))
    assert inst.query("UPLOADARGS?") == ":DATA "


def test_block_files_with_progress(inst, tmp_path):
    n = 3 * (1 << 20) + 5
    seen = []
    path = tmp_path / "in.bin"
    assert inst.read_block_to_file("BLOCK? %d" % n, path, progress=lambda d, t: seen.append((d, t))) == n
    assert seen[0] == (0, n) and seen[-1] == (n, n)
    assert [d for d, _ in seen] == sorted(d for d, _ in seen)
    assert path.read_bytes() == pattern(n)

    seen.clear()
    assert inst.write_block_from_file("UPLOAD", path, progress=lambda d, t: seen.append(d)) == n
    assert seen[-1] == n
    assert inst.read() == "%d,%s" % (n, checksum(pattern(n)))

    plain = tmp_path / "plain.bin"  # without progress: the library's own file calls
    assert inst.read_block_to_file("BLOCK? 1000", plain) == 1000
    assert inst.write_block_from_file("UPLOAD", plain) == 1000
    assert inst.read() == "1000,%s" % checksum(pattern(1000))


def test_raw_bytes(inst):
    assert inst.write_raw(b"ECHO raw\n") == 9
    assert inst.read_raw(4) == b"raw\n"
    inst.write_raw(b"STREAM? 10\n")
    assert inst.read_raw(10) == pattern(10)


def test_find_lists_the_simulated_instruments(addrs):
    found = vxcomm.find(interfaces="lan", timeout=300)
    assert sorted(d.address for d in found) == sorted(addrs)
    assert all(d.model and d.serial for d in found)
    found = vxcomm.find(interfaces=["vxi11"], timeout=300)
    assert sorted(d.address for d in found) == ["TCPIP0::%s::inst0::INSTR" % a for a in sorted(addrs)]
    with vxcomm.open("TCP-" + addrs[0]):
        # The library does not search while a link is open: no empty list
        # that looks like "nothing found".
        with pytest.raises(vxcomm.Error, match="cannot search while a link is open") as e:
            vxcomm.find(interfaces=["LAN"], timeout=100)
        assert e.value.name == "VI_ERROR_RSRC_BUSY"
    with pytest.raises(ValueError):
        vxcomm.find(interfaces="gpib")


def test_parse_devices_keeps_colons_of_the_address():
    text = "M1:S1:TCP-1.2.3.4;M2:S2:USB0::0x03EB::0xAFFF::S2::INSTR;"
    assert vxcomm.parse_devices(text) == [
        vxcomm.Device("M1", "S1", "TCP-1.2.3.4"),
        vxcomm.Device("M2", "S2", "USB0::0x03EB::0xAFFF::S2::INSTR"),
    ]


@pytest.mark.parametrize("call,command,says", [
    ("query_binary_values", "*IDN?", "no block: it is b'VXSIM,MODEL-100,"),  # not cut after the V
    ("read_block", "RAWHEX 2378790A", "no block: it is b'#xy\\n'"),
    ("read_block", "BLOCK? 8 lf", None),  # its line feed is taken with it
    ("read_block", "BLOCK? 8 lf pause=8:300", None),  # even when it comes late
    ("query", "RAWHEX 41FF0A", "b'A\\xff'"),  # no text: an Error with the bytes
])
def test_each_reply_is_taken_whole(inst, call, command, says):
    if says is None:
        getattr(inst, call)(command)
    else:
        with pytest.raises(vxcomm.Error, match=re.escape(says)):
            getattr(inst, call)(command)
    assert inst.query("*IDN?").startswith("VXSIM,MODEL-100,")  # the next reply is this command's
    assert inst.query("ECHO next") == "next"


def _interrupt(done, total):
    if done:
        raise KeyboardInterrupt


@pytest.mark.parametrize("case", ["no block", "interrupted", "whole", "through a link", "device"])
def test_a_block_file_is_replaced_only_by_a_whole_block(inst, tmp_path, case):
    target = tmp_path / "wave.bin"
    target.write_bytes(b"precious data")
    target.chmod(0o640)
    (tmp_path / "link").symlink_to(target)
    path, command, progress, error = {
        "no block": (target, "*IDN?", None, vxcomm.Error),
        "interrupted": (target, "BLOCK? %d" % (3 << 20), _interrupt, KeyboardInterrupt),
        "whole": (target, "BLOCK? 100", None, None),
        "through a link": (tmp_path / "link", "BLOCK? 100", None, None),  # the link stays a link
        "device": (os.devnull, "BLOCK? 100", None, None),  # written straight, never replaced
    }[case]
    if error:
        with pytest.raises(error):
            inst.read_block_to_file(command, path, progress=progress)
    else:
        assert inst.read_block_to_file(command, path, progress=progress) == 100
    want = b"precious data" if error or case == "device" else pattern(100)
    assert target.read_bytes() == want and stat.S_IMODE(target.stat().st_mode) == 0o640
    assert sorted(p.name for p in tmp_path.iterdir()) == ["link", "wave.bin"]  # no temporary file left
    assert (tmp_path / "link").is_symlink() and stat.S_ISCHR(os.stat(os.devnull).st_mode)


@pytest.fixture
def fake_instrument():
    """An instrument on 127.0.0.10 that answers every line with "FAKE"."""
    assert isolated()
    server = socket.create_server(("127.0.0.10", 18))
    server.settimeout(10)

    def serve():
        try:
            conn, _ = server.accept()
        except OSError:
            return
        with conn:
            conn.settimeout(10)
            for _ in range(100):
                try:
                    if not conn.recv(4096):
                        return
                    conn.sendall(b"FAKE\n")
                except OSError:
                    return

    worker = threading.Thread(target=serve, daemon=True)
    worker.start()
    yield
    if worker.is_alive():  # still waiting for its connection: one that ends at once
        socket.create_connection(("127.0.0.10", 18), timeout=2).close()
    worker.join(15)
    server.close()


@pytest.mark.parametrize("address,says", [
    ("TCP-127.0.0.010", None),  # decimal 10, as on the front panel, not octal 8
    ("127.000.000.010", None),
    ("TCP-127.0.0.011", "no connection to TCP-127.0.0.011 (127.0.0.11)"),  # the real target, named
    ("TCP-0x7f.0.0.10", "four decimal numbers 0-255"),
    ("TCP-127.10", "four decimal numbers 0-255"),
])
def test_ipv4_addresses_are_four_decimal_numbers(fake_instrument, address, says):
    if says is None:
        with vxcomm.open(address, timeout=2000) as i:
            assert i.query("*IDN?") == "FAKE"
    else:
        with pytest.raises(vxcomm.OpenError, match=re.escape(says)):
            vxcomm.open(address).close()


def _run_python(code, env=None, timeout=30):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout,
                          env=env)


@pytest.mark.parametrize("via", ["vxcomm", "pyvisa"])
def test_open_of_an_absent_host_ends_within_its_bound(tmp_path, via):
    # 192.0.2.1 stays inside this namespace (its only route is lo), where
    # nothing answers it.
    assert isolated()
    log = tmp_path / "open.log"
    opening = {
        "vxcomm": "vxcomm.open('TCP-192.0.2.1', timeout=500)",
        "pyvisa": "pyvisa.ResourceManager('@vxcomm').open_resource('TCPIP0::192.0.2.1::18::SOCKET', open_timeout=500)",
    }[via]
    code = ("import pyvisa, vxcomm\nvxcomm.start_log(%r)\ntry:\n    %s\nexcept Exception as e:\n    print(e)"
            % (str(log), opening))
    started = time.monotonic()
    out = _run_python(code, timeout=12)
    assert "no connection to TCP-192.0.2.1" in out.stdout, out.stderr
    assert time.monotonic() - started < 10  # the library waits 3 s at most for this timeout
    assert "vx_comm_open(address=TCP-192.0.2.1, tmoMs=500)" in log.read_text()


@pytest.mark.parametrize("via", ["vxcomm", "pyvisa"])
def test_ctrl_c_ends_a_read_without_limit(addrs, tmp_path, via):
    log = tmp_path / "call.log"
    opening = "import vxcomm\nvxcomm.start_log(%r)\n" % str(log) + {
        "vxcomm": "import vxcomm\ninst = vxcomm.open('TCP-%s')\n",
        "pyvisa": "import pyvisa\ninst = pyvisa.ResourceManager('@vxcomm').open_resource("
                  "'TCPIP0::%s::18::SOCKET', read_termination='\\n')\n",
    }[via] % addrs[0]
    code = opening + ("inst.timeout = None\nprint('reading', flush=True)\ntry:\n    inst.query('HANG')\n"
                      "except KeyboardInterrupt:\n    print('interrupted')\n")
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "reading\n"
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=5)
        assert out == "interrupted\n" and time.monotonic() - sent < 3, err
        assert "vx_comm_clear_async(" in log.read_text()  # the reply that may still come is not wanted
    finally:
        child.kill()
        child.wait()


@pytest.mark.parametrize("route", ["TCP", "USB", "pyvisa"])
def test_clear_from_another_thread_ends_a_read_without_limit(addrs, route):
    if route == "pyvisa":
        pyvisa = pytest.importorskip("pyvisa")
        inst = pyvisa.ResourceManager("@vxcomm").open_resource("TCPIP0::%s::18::SOCKET" % addrs[0],
                                                               read_termination="\n")
    else:
        inst = vxcomm.open("TCP-" + addrs[0] if route == "TCP" else "USB-" + USB_SERIAL)
    inst.timeout = None
    ended = []

    def read():
        try:
            inst.query("HANG")
        except Exception as e:  # noqa: BLE001 - the error is what is checked
            ended.append(e)

    reader = threading.Thread(target=read, daemon=True)
    clearer = threading.Thread(target=inst.clear, daemon=True)
    try:
        reader.start()
        time.sleep(0.5)
        clearer.start()
        clearer.join(3)
        reader.join(3)
        assert not clearer.is_alive() and not reader.is_alive()
        assert [e.error_code for e in ended] == [vxcomm.VI_ERROR_ABORT]
    finally:
        inst.close()  # ends the calls a failed check left blocked


def _peer_closed(inst, tmp_path):
    inst.write("CLOSE")
    for _ in range(2):  # not a timeout, now or later
        with pytest.raises(vxcomm.ConnectionLostError, match="the connection is lost: the instrument closed it"):
            inst.read()


def _no_visa_library(inst, tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    code = ("import vxcomm\nfor call in (lambda: vxcomm.open('GPIB0::5::INSTR'), vxcomm.load_visa):\n"
            "    try:\n        call()\n    except vxcomm.Error as e:\n        print(e)\n")
    lines = _run_python(code, env=env).stdout.splitlines()
    assert len(lines) == 2 and all("no VISA library is loaded" in t and "libvisa.so" in t for t in lines), lines


def _missing_file(inst, tmp_path):
    for progress in (None, lambda done, total: None):
        with pytest.raises(vxcomm.FileError, match="/nonexistent.bin"):
            inst.write_block_from_file("UPLOAD", "/nonexistent.bin", progress=progress)
    assert inst.query("*IDN?").startswith("VXSIM,")  # nothing was sent


@pytest.mark.parametrize("case", [_peer_closed, _no_visa_library, _missing_file])
def test_errors_say_what_happened(inst, tmp_path, case):
    case(inst, tmp_path)


@pytest.mark.parametrize("via,bus,says", [
    ("vxcomm", "absent", "nothing serves USB instruments on {}; start the USB service vxusbd"),
    ("vxcomm", "refusing", "nothing serves USB instruments on {}; start the USB service vxusbd"),
    ("pyvisa", "absent", "nothing serves USB instruments on {}; start the USB service vxusbd"),
    ("vxcomm", "served", "no such device on the USB bus"),
])
def test_usb_open_says_when_no_usb_service_runs(tmp_path, monkeypatch, via, bus, says):
    path = tmp_path / "usb.sock"
    if bus != "served":
        monkeypatch.setattr(vxcomm._instrument, "_USB_BUS_SOCKET", str(path))
    if bus == "refusing":
        listener = socket.socket(socket.AF_UNIX)
        listener.bind(str(path))  # bound, not listening: connections are refused
    serial = "VX000000000000GONE"
    with pytest.raises(Exception, match=re.escape(says.format(path))):
        if via == "pyvisa":
            pyvisa = pytest.importorskip("pyvisa")
            pyvisa.ResourceManager("@vxcomm").open_resource("USB0::0x03EB::0xAFFF::%s::INSTR" % serial)
        else:
            vxcomm.open("USB-" + serial)


_OPEN_FAILS = r"""
import json, sys, vxcomm
try:
    if sys.argv[2] == "pyvisa":
        import pyvisa
        pyvisa.ResourceManager("@vxcomm").open_resource(sys.argv[1])
    else:
        vxcomm.open(sys.argv[1], timeout=1000)
except vxcomm.OpenError as e:
    print(json.dumps([e.name, str(e)]))
except Exception as e:
    print(json.dumps([getattr(e, "abbreviation", type(e).__name__), str(e)]))
"""


# Without a VISA library: the library's reason, and a name written wrong is
# the name's fault, not VISA's.
@pytest.mark.parametrize("via,address,status,says", [
    ("vxcomm", "TCPIP:acme-psu:5025:SOCKET", "VI_ERROR_INV_RSRC_NAME", "can open: not a TCPIP or USB resource name"),
    ("vxcomm", "TCPIP0::{}::SOCKET", "VI_ERROR_INV_RSRC_NAME", "a SOCKET name is TCPIP[board]::host::port::SOCKET"),
    ("vxcomm", "TCPIP0::a..b::INSTR", "VI_ERROR_INV_RSRC_NAME", "is no resource name vx_comm_lib can open"),
    ("vxcomm", "TCPIP0::127.0.0.9::INSTR", "VI_ERROR_RSRC_NFOUND", "(no VXI-11 core channel at 127.0.0.9"),
    ("pyvisa", "TCPIP0::127.0.0.9::INSTR", "VI_ERROR_RSRC_NFOUND", "(no VXI-11 core channel at 127.0.0.9"),
])
def test_a_failed_open_gives_the_librarys_reason(addrs, via, address, status, says):
    if via == "pyvisa":
        pytest.importorskip("pyvisa")
    name, text = without_visa(_OPEN_FAILS, address.format(addrs[0]), via)
    assert (name, says in text, "VISA" in text) == (status, True, False), text


def test_find_searches_once_when_the_list_is_cut(addrs, tmp_path):
    with vxcomm.call_log(tmp_path / "log"), pytest.warns(RuntimeWarning, match="cut short at 10 characters"):
        assert vxcomm.find("lan", timeout=200, max_chars=10) == []
    assert (tmp_path / "log").read_text().count("vx_comm_find(devices=") == 1


_CONTROLS = r"""
import json, sys, vxcomm
name, addr, log = sys.argv[1:]
def run(call):
    try:
        return call()
    except vxcomm.Error as e:
        return type(e).__name__
with vxcomm.open("TCP-" + addr) as tcp, vxcomm.open(name) as inst:
    tcp.write("STB 66")
    # Counted over the link itself: a HiSLIP Trigger has no answer, so only
    # the link's own next message surely comes after it.
    triggers = int(inst.query("TRIGCOUNT?"))
    seen = [inst.query("*IDN?") == tcp.query("*IDN?"), run(inst.read_stb), run(inst.trigger),
            int(inst.query("TRIGCOUNT?")) - triggers]
    for mode in ("remote", "local"):
        seen += [run(lambda: inst.remote(mode)), tcp.query("REMOTE?")]
    with vxcomm.call_log(log):
        inst.timeout = 0  # no wait, which is 1 ms where 0 is no limit
    seen.append("tmoMs=1)" in open(log).read())
print(json.dumps(seen))
"""


@pytest.mark.parametrize("name,want", [
    ("TCPIP0::{}::5025::SOCKET", [True, "NotSupportedError", "NotSupportedError", 0] + ["NotSupportedError", "0"] * 2 + [True]),
    ("TCPIP0::{}::INSTR", [True, 66, None, 1, None, "1", None, "0", True]),  # VXI-11
    ("TCPIP0::{}::hislip0::INSTR", [True, 66, None, 1, None, "1", None, "0", True]),
])
def test_controls_on_the_names_the_library_serves_itself(addrs, tmp_path, name, want):
    assert without_visa(_CONTROLS, name.format(addrs[1]), addrs[1], str(tmp_path / "log"))[:len(want)] == want


@pytest.mark.parametrize("mode,sent", [
    ("remote", 3), ("Local", 6), ("lockout", 5), (vxcomm.VI_GPIB_REN_DEASSERT_GTL, 2), (7, None), ("on", None),
])
def test_remote_takes_visa_modes_and_three_names(inst, tmp_path, mode, sent):
    log = tmp_path / "call.log"
    with vxcomm.call_log(log), pytest.raises(ValueError if sent is None else vxcomm.NotSupportedError) as e:
        inst.remote(mode)
    if sent is None:
        assert "vx_comm_remote" not in log.read_text()
    else:
        assert "mode=%d)" % sent in log.read_text()
        assert "remote() is not supported on %s: a raw TCP link carries bytes only" % inst.address in str(e.value)


# The instrument's lock over the names the library serves itself (without a
# VISA library): each step's outcome, a status for a refusal.
_LOCK = r"""
import json, sys, vxcomm
name, addr = sys.argv[1:]
seen = []
def step(call):
    try:
        call()
        seen.append("ok")
    except vxcomm.Error as e:
        seen.append(type(e).__name__ if isinstance(e, vxcomm.NotSupportedError) else e.status)
with vxcomm.open(name, timeout=2000) as a, vxcomm.open(name, timeout=2000) as b:
    with a.lock(0) as held:
        seen.append(held is a)
        step(lambda: b.lock(200))
    with b.lock(2000):  # given back at the end of a's block
        with a.lock:  # as before, the lock of this process's threads
            step(lambda: a.lock(0))
    step(lambda: a.lock(0))
    step(a.unlock)
with vxcomm.open("TCP-" + addr) as raw:
    step(lambda: raw.lock(0))
print(json.dumps(seen))
"""


@pytest.mark.parametrize("form", ["TCPIP0::{}::inst0::INSTR", "TCPIP0::{}::hislip0::INSTR"])
def test_lock_is_a_context_manager_and_still_the_threads_lock(addrs, form):
    locked = vxcomm.VI_ERROR_RSRC_LOCKED
    seen = without_visa(_LOCK, form.format(addrs[1]), addrs[1])
    assert seen == [True, locked, locked, "ok", "ok", "NotSupportedError"]
