import hashlib
import struct
import threading
import time

import pytest

import vxcomm
from conftest import USB_CLASS_NAME, USB_SERIAL, checksum, pattern, without_visa

pyvisa = pytest.importorskip("pyvisa")
numpy = pytest.importorskip("numpy")
from pyvisa.constants import StatusCode  # noqa: E402

MIB = 1 << 20


def script(rm, name):
    """A pyvisa script as written for pyvisa-py; returns what it saw."""
    seen = []
    with rm.open_resource(name, read_termination="\n", write_termination="\n", timeout=5000) as inst:
        seen.append(inst.query("*IDN?"))
        seen.append(inst.query("ECHO one, two"))
        wave = inst.query_binary_values("BLOCK? %d lf" % MIB, datatype="H", is_big_endian=True,
                                        container=numpy.array)
        seen.append((wave.dtype.str, len(wave), hashlib.sha1(wave.astype(">u2").tobytes()).hexdigest()))
        seen.append(inst.query_binary_values("BLOCK? 12 lf", datatype="i"))
        seen.append(inst.query_binary_values("BLOCK? 4096", datatype="B", expect_termination=False)[-3:])
        # The other header form, made by hand: "#A", a 16-bit size, the data.
        seen.append(inst.query_binary_values("RAWHEX 23410400010203040A", datatype="B", header_fmt="hp"))
        values = [0.5, -1.25, 3e9]
        inst.write_binary_values("UPLOAD:DATA ", values, datatype="d", is_big_endian=True)
        seen.append(inst.read())
        seen.append(inst.query_ascii_values("ECHO 1.5,2,-3e2"))
        seen.append(inst.query_ascii_values("ECHO 7;8", converter="d", separator=";", container=numpy.array).tolist())
        inst.write("SPLIT 3 5 abcdefgh")
        seen.append(inst.read_raw())
        inst.write("ECHO first")  # two replies that may come in one piece
        inst.write("ECHO second")
        time.sleep(0.1)
        seen.append((inst.read(), inst.read()))
        inst.write("STREAM? 100")
        seen.append(inst.read_bytes(100))
        inst.timeout = 300
        try:
            inst.query("DELAY 1000 ECHO late")
        except Exception as e:  # noqa: BLE001 - the type is what is compared
            seen.append((type(e).__name__, getattr(e, "error_code", None)))
        inst.timeout = 5000
        seen.append(inst.read())  # the late reply, then business as usual
        seen.append(inst.query("*IDN?"))
        seen.append(inst.timeout)
    return seen


def test_a_pyvisa_py_script_runs_unchanged(addrs):
    name = "TCPIP0::%s::18::SOCKET" % addrs[0]
    with_py = script(pyvisa.ResourceManager("@py"), name)
    with_vxcomm = script(pyvisa.ResourceManager("@vxcomm"), name)
    assert with_vxcomm == with_py
    assert with_vxcomm[2] == (">u2", MIB // 2, hashlib.sha1(pattern(MIB)).hexdigest())
    assert with_vxcomm[4] == list(pattern(4096)[-3:])
    assert with_vxcomm[5] == [1, 2, 3, 4]
    assert with_vxcomm[6] == "24,%s" % checksum(struct.pack(">3d", 0.5, -1.25, 3e9))
    assert with_vxcomm[-4] == ("VisaIOError", StatusCode.error_timeout)


def test_names_search_attributes_and_refusals(addrs, monkeypatch):
    from pyvisa_vxcomm import highlevel, to_library

    monkeypatch.setattr(highlevel, "FIND_TIMEOUT_MS", 100)

    rm = pyvisa.ResourceManager("@vxcomm")
    tcp = {"TCPIP0::%s::18::SOCKET" % a for a in addrs}
    usb = {"USB0::0x03EB::0xAFFF::%s::INSTR" % USB_SERIAL, USB_CLASS_NAME}
    vxi = {"TCPIP0::%s::inst0::INSTR" % a for a in addrs}
    for query, want in [("?*", tcp | usb | vxi), ("?*::INSTR", tcp | usb | vxi), ("?*INSTR", usb | vxi),
                        ("?*SOCKET", tcp), ("TCPIP?*", tcp | vxi), ("USB?*", usb), ("TCPIP?*INSTR", vxi)]:
        assert set(rm.list_resources(query)) == want, query
    assert to_library("TCPIP::localhost::18::SOCKET") == ("TCP-localhost", "SOCKET")
    assert to_library("TCPIP::localhost::5025::SOCKET") == ("TCPIP::localhost::5025::SOCKET", "SOCKET")
    assert to_library("USB1::0x03eb::0xafff::S::0::INSTR") == ("USB-S", "INSTR")
    assert to_library("USB0::0x1234::0xAFFF::S::INSTR")[0] == "USB0::0x1234::0xAFFF::S::INSTR"  # VISA route

    with rm.open_resource("USB0::0x03EB::0xAFFF::%s::INSTR" % USB_SERIAL, read_termination="\n") as inst:
        assert inst.get_visa_attribute(pyvisa.constants.VI_ATTR_RSRC_NAME).endswith(USB_SERIAL + "::0::INSTR")
        inst.timeout = None  # no limit, which the library spells -1 on USB
        assert inst.query("DELAY 300 ECHO late") == "late" and inst.timeout == float("inf")
        inst.send_end = False
        assert not inst.send_end
        # The device is this link's alone from open to close: its lock at once.
        inst.lock_excl(timeout=0)
        inst.unlock()
        for call in (inst.read_stb, inst.assert_trigger, lambda: inst.get_visa_attribute(0x3FFF0199)):
            with pytest.raises(pyvisa.VisaIOError) as e:
                call()
            assert e.value.error_code in (StatusCode.error_nonsupported_operation,
                                          StatusCode.error_nonsupported_attribute)


def test_other_names_go_through_the_visa_library(addrs, tmp_path, monkeypatch):
    # The fixture VISA library (tools/vxvisa, on LD_LIBRARY_PATH here) serves
    # USB names of another vendor, which the backend hands to the library's
    # VISA route: one instrument the search lists by its maker, and one that
    # reaches the simulator, where the TCP route gives the same answers.
    # (pyvisa hands a name on in its full form, with the interface number.)
    found, sim = "USB0::0x1234::0x5678::FOUND::INSTR", "USB0::0x1234::0x5678::SIM::0::INSTR"
    table = tmp_path / "visa_table"
    table.write_text("%s idn Vextron AG,VX-1,FOUND,1.0\n%s tcp %s\n" % (found, sim, addrs[0]))
    monkeypatch.setenv("VXVISA_TABLE", str(table))
    rm = pyvisa.ResourceManager("@vxcomm")
    assert rm.list_resources("USB0::0x1234?*") == (found,)
    with rm.open_resource("TCPIP0::%s::18::SOCKET" % addrs[0], read_termination="\n") as inst:
        idn = inst.query("*IDN?")
    with rm.open_resource(sim, read_termination="\n", write_termination="\n") as inst:
        inst.timeout = 1500
        assert (inst.query("*IDN?"), inst.query("ECHO via visa"), inst.timeout) == (idn, "via visa", 1500)
        inst.clear()
        # The fixture's status byte: triggers times 8 plus the last REN mode.
        inst.assert_trigger()
        inst.control_ren(pyvisa.constants.RENLineOperation.asrt_address)
        assert inst.read_stb() == 8 + 3


_SIDE_BY_SIDE = r"""
import json, sys, pyvisa
seen = {}
for backend in ("@py", "@vxcomm"):
    with pyvisa.ResourceManager(backend).open_resource(sys.argv[1], read_termination="\n",
                                                       write_termination="\n") as inst:
        inst.write("STB 66")
        seen[backend] = [inst.query("*IDN?"), inst.query("ECHO x")]
        try:
            seen[backend].append(inst.read_stb())
            before = int(inst.query("TRIGCOUNT?"))
            inst.assert_trigger()
            seen[backend].append(int(inst.query("TRIGCOUNT?")) - before)
        except pyvisa.VisaIOError as e:
            seen[backend].append(e.error_code)
print(json.dumps(seen))
"""


@pytest.mark.parametrize("name,controls", [
    ("TCPIP0::{}::5025::SOCKET", [StatusCode.error_nonsupported_operation]),
    ("TCPIP0::{}::INSTR", [66, 1]),  # VXI-11
])
def test_socket_and_instr_names_open_without_a_visa_library(addrs, name, controls):
    seen = without_visa(_SIDE_BY_SIDE, name.format(addrs[1]))
    assert seen["@vxcomm"] == seen["@py"] and seen["@vxcomm"][2:] == controls


# Another maker's USB488 instrument on the USB bus (the simulator's class
# device, tests/python_check.sh), by its VISA name with no VISA library.
_USB_CLASS = r"""
import hashlib, json, sys, pyvisa
name = sys.argv[1]
rm = pyvisa.ResourceManager("@vxcomm")
seen = [name in rm.list_resources("USB?*")]
with rm.open_resource(name, read_termination="\n", write_termination="\n") as inst:
    seen.append(inst.query("*IDN?").split(",")[0])
    inst.write("STB 66")
    inst.query("*STB?")  # run before the poll, which takes another way in
    seen.append(inst.read_stb())
    before = int(inst.query("TRIGCOUNT?"))
    inst.assert_trigger()
    seen.append(int(inst.query("TRIGCOUNT?")) - before)
    inst.control_ren(pyvisa.constants.RENLineOperation.asrt_address_llo)
    seen.append(inst.query("RENSTATE?").split(",")[:3])
    block = inst.query_binary_values("BLOCK? 300000 lf", datatype="B", container=bytes)
    seen.append(hashlib.sha1(block).hexdigest())
print(json.dumps(seen))
"""


def test_other_makers_usb_instruments_open_without_a_visa_library():
    seen = without_visa(_USB_CLASS, USB_CLASS_NAME)
    assert seen == [True, "Vextron AG", 66, 1, ["1", "1", "1"], hashlib.sha1(pattern(300000)).hexdigest()]


# HiSLIP, which pyvisa-py 0.5 does not speak: @vxcomm alone, the controls
# seen through a raw link to the same instrument (triggers counted over the
# HiSLIP link: its Trigger has no answer, so only the link's own next
# message surely comes after it).
_HISLIP = r"""
import hashlib, json, sys, pyvisa
name, addr = sys.argv[1:]
rm = pyvisa.ResourceManager("@vxcomm")
with rm.open_resource(name, read_termination="\n", write_termination="\n") as inst, \
        rm.open_resource("TCPIP0::%s::18::SOCKET" % addr, read_termination="\n", write_termination="\n") as raw:
    raw.write("STB 66")
    seen = [inst.query("*IDN?") == raw.query("*IDN?"), inst.read_stb()]
    before = int(inst.query("TRIGCOUNT?"))
    inst.assert_trigger()
    seen.append(int(inst.query("TRIGCOUNT?")) - before)
    for mode in (pyvisa.constants.RENLineOperation.asrt_address, pyvisa.constants.RENLineOperation.address_gtl):
        inst.control_ren(mode)
        seen.append(raw.query("REMOTE?"))
    block = inst.query_binary_values("BLOCK? 300000 lf", datatype="B", container=bytes)
    seen.append(hashlib.sha1(block).hexdigest())
print(json.dumps(seen))
"""


def test_hislip_names_open_without_a_visa_library(addrs):
    seen = without_visa(_HISLIP, "TCPIP0::%s::hislip0::INSTR" % addrs[1], addrs[1])
    assert seen == [True, 66, 1, "1", "0", hashlib.sha1(pattern(300000)).hexdigest()]


@pytest.mark.parametrize("via", ["vxcomm", "pyvisa"])
def test_query_is_one_unit_across_threads(addrs, via):
    if via == "vxcomm":
        inst = vxcomm.open("TCP-" + addrs[0])
    else:
        rm = pyvisa.ResourceManager("@vxcomm")
        inst = rm.open_resource("TCPIP0::%s::18::SOCKET" % addrs[0], read_termination="\n", write_termination="\n")
    wrong = []

    def worker(tag):
        for i in range(300):
            want = "%s%d" % (tag, i)
            try:
                got = inst.query("ECHO " + want) if i % 2 else inst.query_ascii_values("ECHO " + want, converter=str)[0]
            except Exception as e:  # noqa: BLE001 - a thread's error must reach the test
                got = e
            if got != want:
                wrong.append((want, got))

    threads = [threading.Thread(target=worker, args=(tag,)) for tag in "ab"]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    inst.close()
    assert not wrong


# pyvisa's locks over the names the library serves itself (without a VISA
# library): each step's outcome, a status code for a refusal.
_LOCKS = r"""
import json, sys, pyvisa
from pyvisa.constants import AccessModes
name, addr = sys.argv[1:]
rm = pyvisa.ResourceManager("@vxcomm")
seen = []
def step(call):
    try:
        call()
        seen.append("ok")
    except pyvisa.VisaIOError as e:
        seen.append(int(e.error_code))
holder = rm.open_resource(name, access_mode=AccessModes.exclusive_lock, open_timeout=2000)
other = rm.open_resource(name, read_termination="\n", write_termination="\n")
step(lambda: other.lock_excl(timeout=200))
step(lambda: rm.open_resource(name, access_mode=AccessModes.exclusive_lock, open_timeout=200))
step(holder.unlock)
with other.lock_context(timeout=2000):
    seen.append(other.query("*IDN?").startswith("VXSIM,"))
    step(lambda: holder.lock_excl(timeout=0))
step(lambda: holder.lock_excl(timeout=0))
step(lambda: other.lock(timeout=0, requested_key="shared"))
holder.close()
other.close()
with rm.open_resource("TCPIP0::%s::18::SOCKET" % addr) as raw:
    step(lambda: raw.lock_excl(timeout=0))
print(json.dumps(seen))
"""


@pytest.mark.parametrize("form", ["TCPIP0::{}::inst0::INSTR", "TCPIP0::{}::hislip0::INSTR"])
def test_locks_through_pyvisa(addrs, form):
    locked, nsup = int(StatusCode.error_resource_locked), int(StatusCode.error_nonsupported_operation)
    seen = without_visa(_LOCKS, form.format(addrs[1]), addrs[1])
    assert seen == [locked, locked, "ok", True, locked, "ok", nsup, nsup]
