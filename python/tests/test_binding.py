import gc
import os
import re
import struct
import subprocess
import sys
import time

import pytest

import vxcomm
from conftest import USB_SERIAL, checksum, pattern


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


def test_timeout_none_means_no_limit_on_every_route(addrs, tmp_path):
    log = tmp_path / "tmo.log"
    # The library's "no limit" and "no wait" differ by route.
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
    with vxcomm.open("TCP-" + addrs[0]):
        assert vxcomm.find(interfaces=["LAN"], timeout=100) == []  # refused while a link is open
    with pytest.raises(ValueError):
        vxcomm.find(interfaces="gpib")


def test_parse_devices_keeps_colons_of_the_address():
    text = "M1:S1:TCP-1.2.3.4;M2:S2:USB0::0x03EB::0xAFFF::S2::INSTR;"
    assert vxcomm.parse_devices(text) == [
        vxcomm.Device("M1", "S1", "TCP-1.2.3.4"),
        vxcomm.Device("M2", "S2", "USB0::0x03EB::0xAFFF::S2::INSTR"),
    ]
