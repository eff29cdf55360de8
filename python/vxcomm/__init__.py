"""Control test instruments through vx_comm_lib from Python.

    import vxcomm
    for found in vxcomm.find(interfaces=("lan", "usb"), timeout=500):
        print(found.model, found.serial, found.address)
    with vxcomm.open("TCP-192.168.1.20", timeout=2000) as inst:
        print(inst.query("*IDN?"))
        samples = inst.query_binary_values("CURV?", datatype="h")
    with vxcomm.open("TCPIP::192.168.1.30::INSTR") as inst:  # VXI-11
        inst.trigger()
        print(inst.read_stb())

The library is found through `vxcomm.load_library(path)`, the environment
variable VX_COMM_LIB, a copy next to the package, or the loader's search
path. Every error status is raised as a vxcomm.Error (TimeoutError,
ConnectionLostError, OpenError, FileError are kinds of it) carrying
`status`, `error_code` and `name`; NotSupportedError is a control
(read_stb, trigger, remote) the link's route cannot do. Timeouts are in milliseconds; None is no limit.
"""
import contextlib
import ctypes
import os
import warnings
from typing import Iterable, Iterator, List, NamedTuple, Optional, Union

from . import _library
from . import _instrument
from ._errors import (
    VI_ERROR_ABORT,
    VI_ERROR_CONN_LOST,
    VI_ERROR_INV_PARAMETER,
    VI_ERROR_INV_RSRC_NAME,
    VI_ERROR_IO,
    VI_ERROR_NENABLED,
    VI_ERROR_NSUP_OPER,
    VI_ERROR_RSRC_LOCKED,
    VI_ERROR_RSRC_BUSY,
    VI_ERROR_RSRC_NFOUND,
    VI_ERROR_SYSTEM_ERROR,
    VI_ERROR_TMO,
    VI_SUCCESS,
    VI_SUCCESS_MAX_CNT,
    VI_SUCCESS_TERM_CHAR,
    ConnectionLostError,
    Error,
    FileError,
    NotSupportedError,
    OpenError,
    TimeoutError,
    check,
    status_name,
)
from ._instrument import (
    VI_GPIB_REN_ADDRESS_GTL,
    VI_GPIB_REN_ASSERT,
    VI_GPIB_REN_ASSERT_ADDRESS,
    VI_GPIB_REN_ASSERT_ADDRESS_LLO,
    VI_GPIB_REN_ASSERT_LLO,
    VI_GPIB_REN_DEASSERT,
    VI_GPIB_REN_DEASSERT_GTL,
    Instrument,
)
from ._library import load_library

__version__ = "0.3.0"

__all__ = [
    "Device", "Error", "FileError", "Instrument", "NotSupportedError", "OpenError", "TimeoutError", "ConnectionLostError", "call_log",
    "find",
    "free_visa", "library_version", "load_library", "load_visa", "open", "parse_devices", "start_log",
    "status_description", "status_name", "stop_log",
    "VI_SUCCESS", "VI_SUCCESS_TERM_CHAR", "VI_SUCCESS_MAX_CNT", "VI_ERROR_SYSTEM_ERROR", "VI_ERROR_TMO",
    "VI_ERROR_CONN_LOST", "VI_ERROR_RSRC_NFOUND", "VI_ERROR_INV_RSRC_NAME", "VI_ERROR_ABORT", "VI_ERROR_RSRC_BUSY",
    "VI_ERROR_NSUP_OPER", "VI_ERROR_RSRC_LOCKED", "VI_ERROR_IO", "VI_ERROR_INV_PARAMETER", "VI_ERROR_NENABLED", "IFACE_LAN", "IFACE_VXI11", "IFACE_MDNS", "IFACE_USB", "IFACE_USBTMC", "IFACE_VISA",
    "VI_GPIB_REN_DEASSERT", "VI_GPIB_REN_ASSERT", "VI_GPIB_REN_DEASSERT_GTL", "VI_GPIB_REN_ASSERT_ADDRESS",
    "VI_GPIB_REN_ASSERT_LLO", "VI_GPIB_REN_ASSERT_ADDRESS_LLO", "VI_GPIB_REN_ADDRESS_GTL",
]

IFACE_LAN = 0x001
IFACE_VXI11 = 0x002
IFACE_MDNS = 0x004
IFACE_USBTMC = 0x008
IFACE_USB = 0x010
IFACE_VISA = 0x300
_IFACES = {"lan": IFACE_LAN, "vxi11": IFACE_VXI11, "mdns": IFACE_MDNS, "usb": IFACE_USB, "usbtmc": IFACE_USBTMC,
           "visa": IFACE_VISA}


class Device(NamedTuple):
    """One instrument of a search: its address opens it."""

    model: str
    serial: str
    address: str


def _iface_bits(interfaces: Union[str, int, Iterable[str]]) -> int:
    if isinstance(interfaces, int):
        return interfaces
    if isinstance(interfaces, str):
        interfaces = [interfaces]
    bits = 0
    for name in interfaces:
        try:
            bits |= _IFACES[name.lower()]
        except KeyError:
            raise ValueError("unknown interface %r (lan, vxi11, mdns, usb, usbtmc, visa)" % name) from None
    return bits


def parse_devices(text: str) -> List[Device]:
    """Splits a device list ("model:serial:address;" entries) into records.
    The address is everything after the second colon, colons included."""
    found = []
    for entry in text.split(";"):
        if not entry:
            continue
        parts = entry.split(":", 2)
        if len(parts) == 3:
            found.append(Device(*parts))
    return found


def find(interfaces: Union[str, int, Iterable[str]] = ("lan", "mdns", "usb", "usbtmc", "visa"),
         timeout: int = 1000, max_chars: int = 1 << 20) -> List[Device]:
    """Searches for instruments; `timeout` is the LAN search's wait in ms.
    "vxi11" (not searched unless asked) finds other makers' LAN
    instruments over VXI-11, as TCPIP0::a.b.c.d::inst0::INSTR addresses.
    "mdns" (searched by default) lists the instruments that DNS-SD
    responders announce: HiSLIP, VXI-11 and raw SCPI addresses.
    "usbtmc" (searched by default) lists every maker's USB instruments
    the USB service serves, as USB0::0xVVVV::0xPPPP::serial::INSTR names.
    The library does not search while a link of the process is open: that
    raises vxcomm.Error VI_ERROR_RSRC_BUSY. One call is one search: a list
    longer than `max_chars` (1 MiB holds far more than a search can find)
    is returned cut, with a warning."""
    links = _instrument.open_links()
    if links:
        raise Error(VI_ERROR_RSRC_BUSY, "vx_comm_find",
                    "vxcomm.find() cannot search while a link is open (%d open: linkId %s); close it first"
                    % (len(links), ", ".join(map(str, links))))
    buf = ctypes.create_string_buffer(max_chars)
    got = ctypes.c_int32(0)
    status = check(
        _library.function("vx_comm_find")(buf, int(timeout), len(buf), ctypes.byref(got), _iface_bits(interfaces)),
        "vx_comm_find",
    )
    if status == VI_SUCCESS_MAX_CNT:
        # Searching again would take as long once more and may find others.
        warnings.warn("vxcomm.find(): the list was cut short at %d characters" % max_chars, RuntimeWarning,
                      stacklevel=2)
    return parse_devices(buf.value.decode("ascii", "replace"))


def open(address: str, timeout: Optional[float] = 2000, encoding: str = "ascii",  # noqa: A001
         write_termination: str = "\n", open_timeout: Union[float, None, str] = "timeout") -> Instrument:
    """Opens a link ("TCP-a.b.c.d" or "TCP-<host name>", "USB-<serial>", or
    a VISA resource name: through the VISA library when there is one,
    TCPIP::host::port::SOCKET, TCPIP::host[::instN]::INSTR (VXI-11) and
    TCPIP::host::hislipN::INSTR (HiSLIP) by the library itself when not). Raises OpenError when no link was made.
    `open_timeout` (ms, None no limit; by default `timeout`) bounds the wait
    for a TCP connection, which the library makes at least 3000 ms."""
    return Instrument(address, timeout=timeout, encoding=encoding, write_termination=write_termination,
                      open_timeout=open_timeout)


def start_log(path: Union[str, "os.PathLike[str]"]) -> None:
    """Traces every call of the library into `path` (created or emptied)."""
    _library.function("vx_usb_startdebug")(os.fsencode(path))


def stop_log() -> None:
    _library.function("vx_usb_stopdebug")()


@contextlib.contextmanager
def call_log(path: Union[str, "os.PathLike[str]"]) -> Iterator[None]:
    """The call log on for the duration of a `with` block."""
    start_log(path)
    try:
        yield
    finally:
        stop_log()


def load_visa() -> None:
    """Loads the installed VISA library so that VISA resource names open;
    raises vxcomm.Error, naming the file looked for, when there is none."""
    status = _library.function("vx_comm_loadVisa")()
    if status < 0:
        raise Error(status, "vx_comm_loadVisa", _instrument.no_visa_text())


def free_visa() -> None:
    _library.function("vx_comm_freeVisa")()


def library_version() -> str:
    """The release of the vx_comm_lib that is loaded, as "0.3.0"."""
    return _library.function("vx_comm_version")().decode("ascii")


def status_description(status: int) -> str:
    """What a status means, as VISA describes it ("unknown status 0x..."
    for a value VISA does not define). Takes the signed ViStatus or its
    unsigned 32-bit pattern (0xBFFF0015)."""
    signed = (int(status) + 2**31) % 2**32 - 2**31
    buf = ctypes.create_string_buffer(256)
    _library.function("vx_comm_statusDesc")(signed, buf, len(buf))
    return buf.value.decode("ascii", "replace")
