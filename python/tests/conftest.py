"""The binding's tests talk to the simulator only, inside the private
network namespace of tests/netns_run.sh; they refuse to run anywhere else."""
import json
import os
import socket
import subprocess
import sys

import pytest

USB_SERIAL = "VX0000000000000USB"  # the simulator's USB instrument (tests/python_check.sh)
# Its USB488 instrument of another maker (the same script's --usb-class).
USB_CLASS_NAME = "USB0::0x2A8D::0x0396::CLASS0001::INSTR"


def isolated():
    """Only lo here, inside tests/netns_run.sh: nothing sent leaves the machine."""
    names = [name for _, name in socket.if_nameindex()]
    return names == ["lo"] and os.environ.get("VX_NETNS_ISOLATED") == "1"


def pytest_configure(config):
    if not isolated():
        raise pytest.UsageError("run these tests through tests/netns_run.sh (private network namespace)")


def without_visa(code, *args):
    """Runs `code` in a Python where no VISA library is found (the fixture
    one is on LD_LIBRARY_PATH here), so VISA names reach the library's own
    SOCKET and VXI-11 routes; returns what it printed, read as JSON."""
    env = {k: v for k, v in os.environ.items() if k != "LD_LIBRARY_PATH"}
    out = subprocess.run([sys.executable, "-c", code, *args], env=env, capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


@pytest.fixture(scope="session")
def addrs():
    return os.environ["VX_TEST_ADDRS"].split()


@pytest.fixture
def inst(addrs):
    import vxcomm

    with vxcomm.open("TCP-" + addrs[0], timeout=2000) as i:
        yield i


def pattern(n):
    """The simulator's test pattern, positions 0..n-1."""
    out = bytearray(n)
    period = 65521
    mask = (1 << 64) - 1
    table = bytearray(min(n, period))
    for i in range(len(table)):
        z = (i + 0x9E3779B97F4A7C15) & mask
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & mask
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
        table[i] = (z ^ (z >> 31)) >> 56
    for i in range(n):
        out[i] = table[i % period]
    return bytes(out)


def checksum(data):
    """FNV-1a 64, as the simulator's SINK, UPLOAD and BLOCKSUM? report it."""
    h = 14695981039346656037
    for b in data:
        h = ((h ^ b) * 1099511628211) & ((1 << 64) - 1)
    return "%016x" % h
