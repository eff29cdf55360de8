"""Service requests through the binding and through pyvisa's event calls,
on every route that has them. Each script runs in a Python of its own: the
VISA row with the fixture VISA library (which raises a request when it is
sent "SRQ"), the others without one, so that their names reach the
library's own routes (where the simulator raises one on "SRQ"). A route
that answers VI_ERROR_NSUP_OPER is skipped, saying so; the VISA row must
run."""
import json
import os
import subprocess
import sys

import pytest

import vxcomm
from conftest import USB_CLASS_NAME

VISA_NAME = "GPIB0::5::INSTR"  # the fixture's, to the first instrument

ROUTES = {
    "visa": lambda addrs: VISA_NAME,
    "vxi11": lambda addrs: "TCPIP0::%s::INSTR" % addrs[1],
    "hislip": lambda addrs: "TCPIP0::%s::hislip0::INSTR" % addrs[1],
    "usbtmc": lambda addrs: USB_CLASS_NAME,
}


def run_on(route, addrs, tmp_path, code):
    """Runs `code` with the route's resource name as its argument; returns
    what it printed, read as JSON. A route without service requests prints
    {"nsup": why}: skipped, unless it is the VISA route."""
    env = dict(os.environ)
    if route == "visa":
        table = tmp_path / "visa_table"
        # pyvisa hands the name on in its full form, with the secondary address.
        table.write_text("%s tcp %s\nGPIB0::5::0::INSTR tcp %s\n" % (VISA_NAME, addrs[0], addrs[0]))
        env["VXVISA_TABLE"] = str(table)
    else:
        env.pop("LD_LIBRARY_PATH", None)
    out = subprocess.run([sys.executable, "-c", code, ROUTES[route](addrs)], env=env, capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    seen = json.loads(out.stdout)
    if "nsup" in seen:
        assert route != "visa", seen["nsup"]
        pytest.skip("%s answers VI_ERROR_NSUP_OPER: %s" % (route, seen["nsup"]))
    return seen


_BINDING = r"""
import json, sys, threading, time, vxcomm
seen = {}
with vxcomm.open(sys.argv[1], timeout=5000) as inst:
    try:
        inst.enable_srq()
    except vxcomm.NotSupportedError as e:
        print(json.dumps({"nsup": str(e)}))
        sys.exit(0)
    got = {}
    def wait(timeout):
        try:
            got["stb"] = inst.wait_for_srq(timeout)
        except vxcomm.Error as e:
            got["error"] = type(e).__name__
    waiter = threading.Thread(target=wait, args=(5000,))
    waiter.start()
    time.sleep(0.2)
    seen["query"] = inst.query("*IDN?") != ""  # the wait holds no lock of the instrument's
    inst.write("SRQ")
    waiter.join(10)
    seen["rqs"] = got["stb"] & 0x40 if "stb" in got else got
    seen["dropped"] = inst.srq_dropped
    try:
        inst.wait_for_srq(0)
    except vxcomm.TimeoutError as e:
        seen["none_left"] = e.name
    inst.disable_srq()
    try:
        inst.wait_for_srq(0)
    except vxcomm.Error as e:
        seen["disabled"] = e.name
    inst.enable_srq()
    got.clear()
    waiter = threading.Thread(target=wait, args=(None,))
    waiter.start()
    time.sleep(0.3)
    inst.close()
    waiter.join(10)
    seen["closed"] = got
print(json.dumps(seen))
"""


@pytest.mark.parametrize("route", list(ROUTES))
def test_wait_for_srq(addrs, tmp_path, route):
    seen = run_on(route, addrs, tmp_path, _BINDING)
    assert seen == {"query": True, "rqs": 0x40, "dropped": 0, "none_left": "VI_ERROR_TMO",
                    "disabled": "VI_ERROR_NENABLED", "closed": {"error": "ConnectionLostError"}}


def test_enable_srq_on_raw_tcp_says_why(inst):
    with pytest.raises(vxcomm.NotSupportedError, match=r"enable_srq\(\) is not supported on TCP-.*\*STB\?"):
        inst.enable_srq()


_PYVISA = r"""
import json, sys, threading, pyvisa
from pyvisa.constants import EventMechanism, EventType, StatusCode
rm = pyvisa.ResourceManager("@vxcomm")
seen = {}
def code(call):
    try:
        call()
        return "ok"
    except pyvisa.VisaIOError as e:
        return int(e.error_code)
with rm.open_resource(sys.argv[1], read_termination="\n", write_termination="\n", timeout=5000) as inst:
    srq = EventType.service_request
    try:
        inst.enable_event(srq, EventMechanism.queue)
    except pyvisa.VisaIOError as e:
        if e.error_code != StatusCode.error_nonsupported_operation:
            raise
        print(json.dumps({"nsup": str(e).replace("\n", " ")}))
        sys.exit(0)
    inst.write("SRQ")
    response = inst.wait_on_event(srq, 5000)
    seen["queue"] = [int(response.event.event_type), response.timed_out, inst.read_stb() & 0x40,
                     inst.wait_on_event(srq, 0, capture_timeout=True).timed_out]
    del response  # closes its event context
    inst.disable_event(srq, EventMechanism.queue)
    seen["refused"] = [code(lambda: inst.wait_on_event(srq, 0)),
                       code(lambda: inst.enable_event(EventType.trig, EventMechanism.queue)),
                       code(lambda: inst.enable_event(srq, EventMechanism.suspend_handler)),
                       code(lambda: inst.enable_event(srq, EventMechanism.handler))]  # none installed

    calls, called = [], threading.Event()
    def handler(resource, event, user_handle):
        calls.append([resource is inst, int(event.event_type), user_handle,
                      threading.current_thread() is not threading.main_thread(), resource.read_stb() & 0x40])
        called.set()
    wrapped = inst.wrap_handler(handler)
    handle = inst.install_handler(srq, wrapped, 42)
    inst.enable_event(srq, EventMechanism.handler)
    inst.write("SRQ")
    called.wait(10)
    inst.disable_event(srq, EventMechanism.handler)
    inst.uninstall_handler(srq, wrapped, handle)
    seen["handler"] = calls

    if hasattr(inst, "wait_for_srq"):  # pyvisa has it for GPIB resources only
        threading.Timer(0.3, inst.write, ["SRQ"]).start()
        inst.wait_for_srq(5000)
        seen["wait_for_srq"] = "ok"
    else:
        seen["wait_for_srq"] = "absent"
seen["contexts_left"] = [h for h, s in rm.visalib.sessions.items() if type(s).__name__ == "_EventContext"]
print(json.dumps(seen))
"""


@pytest.mark.parametrize("route", list(ROUTES))
def test_pyvisa_events_and_handlers(addrs, tmp_path, route):
    from pyvisa.constants import EventType, StatusCode

    seen = run_on(route, addrs, tmp_path, _PYVISA)
    srq = int(EventType.service_request)
    assert seen == {
        "queue": [srq, False, 0x40, True],
        "refused": [StatusCode.error_not_enabled, StatusCode.error_invalid_event,
                    StatusCode.error_nonsupported_mechanism, StatusCode.error_handler_not_installed],
        "handler": [[True, srq, 42, True, 0x40]],
        "wait_for_srq": "ok" if route == "visa" else "absent",
        "contexts_left": [],
    }
