"""An open link, with the calls scripters know from VISA wrappers."""
import contextlib
import ctypes
import os
import re
import secrets
import socket
import stat
import struct
import sys
import threading
import time
import warnings
import weakref
from typing import Any, Callable, Iterable, List, Optional, Tuple, Union

from . import _library
from ._errors import (
    VI_ERROR_ABORT,
    VI_ERROR_CONN_LOST,
    VI_ERROR_INV_RSRC_NAME,
    VI_ERROR_NENABLED,
    VI_ERROR_NSUP_OPER,
    VI_ERROR_RSRC_NFOUND,
    VI_ERROR_SYSTEM_ERROR,
    VI_ERROR_TMO,
    ConnectionLostError,
    Error,
    FileError,
    NotSupportedError,
    OpenError,
    TimeoutError,
    check,
)

_READ_CHUNK = 64 * 1024
_BLOCK_PIECE = 1 << 20
_COMPACT_AT = 1 << 16
_MAX_EMPTY_READS = 1000  # reads that bring nothing in a row before we give up
# A read without a time limit waits in slices this long (ms), so that Ctrl-C
# and a clear() from another thread end it.
_SLICE_MS = 200
_SHOWN = 80  # bytes of a bad reply shown in its error
_USB_BUS_SOCKET = "/run/vx_comm_lib/usb.sock"

Progress = Callable[[int, int], None]
_MARKS = [bytes((b,)) for b in range(256)]

# Routes. SOCKET, VXI11 and HISLIP are the VISA names the library serves
# itself when no VISA library is loaded (raw TCP to a port, VXI-11,
# HiSLIP); their timeouts read as TCP's.
TCP, USB, VISA, SOCKET, VXI11, HISLIP = "tcp", "usb", "visa", "socket", "vxi11", "hislip"
# Any maker's USBTMC instrument by its VISA name, served through the USB bus
# (Linux) when no VISA library is loaded.
USBTMC = "usbtmc"
_TCP_LIKE = (TCP, SOCKET, VXI11, HISLIP)
_SERIAL_LENGTH = 18
_NOT_CONNECTED = {
    TCP: "refused, unreachable, or no instrument on port 18",
    USB: "no such device on the USB bus, or it is open already",
    USBTMC: "no such USB instrument on the USB bus, or it is open already",
    VISA: "the VISA library did not open it",
    SOCKET: "refused, unreachable, or nothing listens on that port",
    VXI11: "refused, unreachable, or no VXI-11 server there",
    HISLIP: "refused, unreachable, or no HiSLIP server there",
}
# The host: a name, dotted IPv4, or an IPv6 literal in brackets.
_SOCKET_NAME = re.compile(r"TCPIP[0-9]*::(?:\[[^\]]+\]|[^:\[]+)::([0-9]{1,5})::SOCKET", re.IGNORECASE)
_USB_INSTR_NAME = re.compile(r"USB[0-9]*::(?:0x[0-9a-f]{1,4}|[0-9]{1,5})::(?:0x[0-9a-f]{1,4}|[0-9]{1,5})::[^:]+"
                             r"(?:::[0-9]{1,3})?::INSTR", re.IGNORECASE)
_INSTR_NAME = re.compile(r"TCPIP[0-9]*::(?:\[[^\]]+\]|[^:\[]+)(?:::([^:]+))?::INSTR", re.IGNORECASE)

# VISA's REN modes (viGpibControlREN), and the names remote() takes for the
# three a scripter wants.
VI_GPIB_REN_DEASSERT = 0
VI_GPIB_REN_ASSERT = 1
VI_GPIB_REN_DEASSERT_GTL = 2
VI_GPIB_REN_ASSERT_ADDRESS = 3
VI_GPIB_REN_ASSERT_LLO = 4
VI_GPIB_REN_ASSERT_ADDRESS_LLO = 5
VI_GPIB_REN_ADDRESS_GTL = 6
REN_MODES = {"remote": VI_GPIB_REN_ASSERT_ADDRESS, "local": VI_GPIB_REN_ADDRESS_GTL,
             "lockout": VI_GPIB_REN_ASSERT_ADDRESS_LLO}
_NO_CONTROL = {
    TCP: "a raw TCP link carries bytes only; send the instrument's own command (*STB?, *TRG) instead, or open "
         "it over VXI-11 (TCPIP::host::INSTR) if it serves that",
    SOCKET: "a raw TCP link carries bytes only; send the instrument's own command (*STB?, *TRG) instead, or "
            "open it over VXI-11 (TCPIP::host::INSTR) if it serves that",
    USB: "direct USB links have no such control yet; send the instrument's own command (*STB?, *TRG) instead",
    USBTMC: "the instrument does not declare it in its USB488 capabilities; send its own command (*STB?, *TRG) "
            "instead",
    VXI11: "the VXI-11 server does not do it",
    HISLIP: "the HiSLIP server does not do it",
    VISA: "the VISA library does not do it for this resource",
}

# The links this process has open through the binding; the library does not
# search while any is open.
_open_links = set()
_open_lock = threading.Lock()


def open_links() -> List[int]:
    with _open_lock:
        return sorted(_open_links)


def _forget(link: int) -> None:
    with _open_lock:
        _open_links.discard(link)


def no_visa_text() -> str:
    """Why the VISA route cannot be used: the library found no usable VISA
    library, and where it looked."""
    if sys.platform == "win32":
        where = "visa32.dll in the program's folder or in System32"
    else:
        where = "libvisa.so through the loader's search path (LD_LIBRARY_PATH, the ldconfig cache, /lib, /usr/lib)"
    return ("no VISA library is loaded: vx_comm_lib looked for %s and found none, or one without all the VISA "
            "calls it needs; install a VISA library there, or open the instrument by a TCP- or USB- address "
            "(TCPIP::host::port::SOCKET and TCPIP::host::INSTR names open without one, and on Linux "
            "USB::vendor::product::serial::INSTR names through the USB service)" % where)


def native_route(name: str) -> Optional[str]:
    """SOCKET, VXI11, HISLIP or USBTMC for a VISA name the library serves
    itself when no VISA library is loaded, None for the others (GPIB, ...)."""
    socket_name = _SOCKET_NAME.fullmatch(name)
    if socket_name:
        return SOCKET if 1 <= int(socket_name.group(1)) <= 65535 else None
    instr = _INSTR_NAME.fullmatch(name)
    if instr:
        return HISLIP if (instr.group(1) or "").lower().startswith("hislip") else VXI11
    if _USB_INSTR_NAME.fullmatch(name):
        return USBTMC
    return None


def usb_service_problem() -> Optional[str]:
    """On Linux, why no USB instrument can be found: nothing serves the USB
    bus socket, or it refuses this user; None when it answers (or elsewhere)."""
    if not sys.platform.startswith("linux"):
        return None
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        try:
            s.connect(_USB_BUS_SOCKET)
        except PermissionError:
            return ("the USB service's socket %s does not admit this user; join the group plugdev "
                    "(sudo usermod -aG plugdev $USER) and log in again" % _USB_BUS_SOCKET)
        except OSError:
            return ("nothing serves USB instruments on %s; start the USB service vxusbd "
                    "(sudo systemctl enable --now vxusbd.socket, or run vxusbd --foreground)" % _USB_BUS_SOCKET)
    return None


def route_of(address: str) -> str:
    """The route the library takes for an address, from its text alone."""
    if address.startswith("TCP-") or address[:1].isdigit():
        return TCP
    if address.startswith("USB-"):
        return USB
    return VISA


def dotted_quad(host: str) -> Optional[str]:
    """The IPv4 address `host` spells as exactly four decimal numbers 0-255
    (leading zeros allowed: "192.168.001.010" is 192.168.1.10), in its
    plain form; None for anything else."""
    parts = host.split(".")
    if len(parts) != 4 or not all(re.fullmatch(r"[0-9]{1,3}", p) and int(p) <= 255 for p in parts):
        return None
    return ".".join(str(int(p)) for p in parts)


def _numeric(host: str) -> bool:
    # What the C resolver would read as a number, not look up as a name:
    # digits and dots, or any form inet_aton takes ("127.1", "0x7f.1", "010.0.0.1").
    if re.fullmatch(r"[0-9.]*", host):
        return True
    try:
        socket.inet_aton(host)
    except (OSError, ValueError):
        return False
    return True


def library_address(address: str) -> str:
    """The address as the library takes it: a TCP address in its plain
    dotted form, a host name resolved to its IPv4 address. Raises OpenError
    for what cannot be an address."""
    route = route_of(address)
    if route == TCP:
        host = address[4:] if address.startswith("TCP-") else address
        if _numeric(host):
            plain = dotted_quad(host)
            if plain is None:
                raise OpenError(VI_ERROR_INV_RSRC_NAME, "vx_comm_open",
                                "%r is no TCP address: it needs a dotted IPv4 address a.b.c.d, four decimal "
                                "numbers 0-255" % address)
            return "TCP-" + plain
        try:
            infos = socket.getaddrinfo(host, 18, socket.AF_INET, socket.SOCK_STREAM)
        except (OSError, UnicodeError) as e:
            raise OpenError(VI_ERROR_RSRC_NFOUND, "vx_comm_open",
                            "the host name %r did not resolve to an IPv4 address (%s)" % (host, e)) from None
        return "TCP-" + infos[0][4][0]
    if route == USB and len(address) - 4 != _SERIAL_LENGTH:
        raise OpenError(VI_ERROR_INV_RSRC_NAME, "vx_comm_open",
                        "a USB serial number has %d characters; %r has %d"
                        % (_SERIAL_LENGTH, address[4:], len(address) - 4))
    return address


def library_timeout(route: str, ms: Optional[float]) -> int:
    """The library's timeout for `ms` milliseconds on a route: None waits
    without limit (0 on TCP, raw SOCKET, VXI-11 and HiSLIP, -1 elsewhere), 0 does
    not wait (where 0 means no limit, the shortest wait, 1 ms)."""
    if ms is None:
        return 0 if route in _TCP_LIKE else -1
    if ms < 0:
        raise ValueError("a timeout cannot be negative (None waits without limit)")
    value = min(int(round(ms)), 2**31 - 1)
    if value == 0 and route in _TCP_LIKE:
        return 1
    return value


def _close_dropped(link: int, address: str) -> None:
    # A link whose Instrument was dropped unclosed: close it as a file is,
    # and say so once.
    _library.function("vx_comm_close")(link)
    _forget(link)
    warnings.warn("unclosed vxcomm.Instrument %r (link %d)" % (address, link), ResourceWarning, stacklevel=2)


def _c_text(text: str, encoding: str) -> bytes:
    data = text.encode(encoding)
    if b"\0" in data:
        raise ValueError("a command cannot hold a NUL byte")
    return data


def _struct_format(datatype: str, is_big_endian: bool, count: int) -> str:
    return "%s%d%s" % (">" if is_big_endian else "<", count, datatype)


def _convert(raw: bytes, datatype: str, is_big_endian: bool, container: Any) -> Any:
    """The values of a block in the container asked for: list, tuple,
    bytes, bytearray, numpy.array or numpy.ndarray (a typed array straight
    from the bytes), or any other callable taking the values."""
    if container in (bytes, bytearray):
        return container(raw)
    module = getattr(container, "__module__", "") or ""
    if module.startswith("numpy"):
        import numpy  # only when asked for

        dtype = numpy.dtype(datatype).newbyteorder(">" if is_big_endian else "<")
        return numpy.frombuffer(raw, dtype=dtype).copy()
    count = len(raw) // struct.calcsize("<" + datatype)
    return container(struct.unpack(_struct_format(datatype, is_big_endian, count), raw))


def _shown(data: bytes) -> str:
    return repr(bytes(data[:_SHOWN])) + (" and %d bytes more" % (len(data) - _SHOWN) if len(data) > _SHOWN else "")


def _create_beside(target: str, old: Optional[os.stat_result]) -> Tuple[str, Any]:
    """A new file beside `target` for its next content, with the mode of the
    file it replaces (or the usual mode of a new file)."""
    mode = stat.S_IMODE(old.st_mode) if old is not None else 0o666
    for _ in range(100):
        temp = "%s.part%s" % (target, secrets.token_hex(4))
        try:
            fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), mode)
        except FileExistsError:
            continue
        try:
            if old is not None:
                os.chmod(temp, mode)  # as it was, whatever the umask
            return temp, os.fdopen(fd, "wb")
        except BaseException:
            os.close(fd)
            os.unlink(temp)
            raise
    raise FileExistsError("no free name for a temporary file beside %s" % target)


class _Lock:
    """An instrument's `lock`. Used as is (`with inst.lock:`), the lock of
    this process's threads, as an RLock. Called, `inst.lock(timeout)`, the
    instrument's exclusive lock against other programs (vx_comm_lock),
    given back by `inst.unlock()` or at the end of a `with` block."""

    def __init__(self, inst: "Instrument") -> None:
        self._threads = threading.RLock()
        self._inst = weakref.ref(inst)

    def acquire(self, *args: Any, **kwargs: Any) -> bool:
        return self._threads.acquire(*args, **kwargs)

    def release(self) -> None:
        self._threads.release()

    def __enter__(self) -> bool:
        return self._threads.acquire()

    def __exit__(self, *exc: Any) -> None:
        self._threads.release()

    def __call__(self, timeout: Union[float, None, str] = "timeout") -> "_HeldLock":
        inst = self._inst()
        if inst is None:
            raise ValueError("the instrument is gone")
        inst._lock_instrument(timeout)
        return _HeldLock(inst)


class _HeldLock:
    """The instrument's exclusive lock, taken; a `with` block gives it back
    at its end."""

    def __init__(self, inst: "Instrument") -> None:
        self._inst = inst

    def __enter__(self) -> "Instrument":
        return self._inst

    def __exit__(self, *exc: Any) -> None:
        if self._inst._link is not None:  # a close gave it back already
            self._inst.unlock()


_LOCK_NO_LIMIT = 0x7FFFFFFF
_NO_SRQ = {
    TCP: "a raw TCP link carries bytes only; poll the instrument's *STB? instead",
    SOCKET: "a raw TCP link carries bytes only; poll the instrument's *STB? instead",
    USB: "the maker's own USB devices send no service requests; poll the instrument's *STB? instead",
    USBTMC: "the interface is not USB488 with an interrupt-IN endpoint to send them on; poll read_stb() instead",
    VXI11: "the VXI-11 server does not do it",
    HISLIP: "the HiSLIP server does not do it",
    VISA: "the VISA library has no service request events (viEnableEvent, viWaitOnEvent) for this resource",
}
_NO_LOCK = {
    TCP: "a raw TCP link has no locks",
    SOCKET: "a raw TCP link has no locks",
    VISA: "the VISA library has no viLock",
}


class Instrument:
    """A link opened by vxcomm.open(); use it in a `with` block.

    Timeouts are in milliseconds, as in VISA wrappers; None means no limit,
    0 no wait. The bytes read past a reply line are kept here, so every
    read call sees them in order. query() and its kin hold the instrument's
    lock from the command to the end of the reply, so threads sharing an
    instrument never get each other's replies.
    """

    def __init__(self, address: str, timeout: Optional[float] = 2000, encoding: str = "ascii",
                 write_termination: str = "\n", open_timeout: Union[float, None, str] = "timeout"):
        self.address = address
        self.route = route_of(address)
        self.encoding = encoding
        self.write_termination = write_termination
        self.lock = _Lock(self)
        self._pending = bytearray()
        self._rpos = 0
        self._lf_owed = False  # a block ended before its line feed came
        self._abort = False  # clear() asks the read under way to end
        self._chunk = ctypes.create_string_buffer(_READ_CHUNK)
        self._got = ctypes.c_int32(0)
        self._got_ref = ctypes.byref(self._got)
        self._read_fn = _library.bare_function("vx_comm_read")
        self._write_fn = _library.bare_function("vx_comm_writeBlocking")
        target = library_address(address)
        # A VISA library, when there is one, takes every VISA name, as the
        # library routes them once it is loaded; without one, the library
        # opens SOCKET and TCPIP INSTR names itself and refuses the others.
        visa_missing = self.route == VISA and _library.function("vx_comm_loadVisa")() < 0
        if visa_missing:
            self.route = native_route(address) or VISA
        wait = library_timeout(self.route, timeout if open_timeout == "timeout" else open_timeout)
        link = ctypes.c_int32(0)
        check(_library.function("vx_comm_open")(_c_text(target, encoding), wait, ctypes.byref(link)), "vx_comm_open")
        if link.value < 1:
            shown = address if target == address else "%s (%s)" % (address, target[4:])
            # The library's words, without the "failed opening a physical
            # link" that closes every failed open.
            reason = _library.last_error()
            generic = "failed opening a physical link"
            reason = "" if reason == generic else reason[:-len("; " + generic)] if reason.endswith("; " + generic) \
                else reason
            refused = reason.partition("does not serve this name itself: ")[2]
            if refused and address[:5].upper() == "TCPIP":
                # A TCPIP name the library would serve, written wrong: the
                # name is at fault, not a missing VISA library.
                raise OpenError(VI_ERROR_INV_RSRC_NAME, "vx_comm_open",
                                "%r is no resource name vx_comm_lib can open: %s" % (address, refused),
                                reason=reason)
            why = reason or _NOT_CONNECTED[self.route]
            if self.route in (USB, USBTMC):
                why = usb_service_problem() or why
            elif self.route == VISA and visa_missing:
                why = no_visa_text()
            raise OpenError(VI_ERROR_RSRC_NFOUND, "vx_comm_open", "no connection to %s (%s)" % (shown, why),
                            reason=reason)
        self._link: Optional[int] = link.value
        with _open_lock:
            _open_links.add(link.value)
        self._finalizer = weakref.finalize(self, _close_dropped, link.value, address)
        self._timeout: Optional[float] = None
        self._lib_tmo: Optional[int] = None  # what the library was last told
        # Service requests lost to a full queue before the one the last
        # wait_for_srq() returned.
        self.srq_dropped = 0
        try:
            self.timeout = timeout
        except BaseException:
            self.close()
            raise

    # ------------------------------------------------------------ life --

    @property
    def link_id(self) -> int:
        if self._link is None:
            raise ConnectionLostError(VI_ERROR_CONN_LOST, "", "the link is closed")
        return self._link

    def close(self) -> None:
        """Closes the link; calls still running on it end with
        ConnectionLostError. Closing twice does nothing."""
        link, self._link = self._link, None
        if link is not None:
            self._finalizer.detach()
            _library.function("vx_comm_close")(link)
            _forget(link)

    def __enter__(self) -> "Instrument":
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return "<vxcomm.Instrument %r link %s>" % (self.address, self._link)

    # ------------------------------------------------------ settings --

    @property
    def timeout(self) -> Optional[float]:
        """The link timeout in milliseconds; None waits without limit,
        0 does not wait, on every route."""
        return self._timeout

    @timeout.setter
    def timeout(self, ms: Optional[float]) -> None:
        value = library_timeout(self.route, ms)
        # Reads without a limit wait in slices; writes keep the limit given.
        self._write_tmo = value
        self._read_tmo = _SLICE_MS if ms is None else value
        self._timeout = ms
        self._use_tmo(self._read_tmo)

    def _use_tmo(self, value: int) -> None:
        if value != self._lib_tmo:
            check(_library.function("vx_comm_setTmoMs")(self.link_id, value), "vx_comm_setTmoMs")
            self._lib_tmo = value

    def clear(self) -> None:
        """Device clear: discards waiting input and any partial line or
        block. From another thread it first ends a read under way there
        (which raises vxcomm.Error VI_ERROR_ABORT): one without a time limit
        at once, one with a limit when that runs out."""
        link = self.link_id
        self._abort = True
        with self.lock:
            self._abort = False
            self._drop_input()
            check(_library.function("vx_comm_clear")(link), "vx_comm_clear")

    def _drop_input(self) -> None:
        self._pending.clear()
        self._rpos = 0
        self._lf_owed = False

    def _interrupted(self) -> None:
        # Ctrl-C ended a wait for the instrument: what came of the reply is
        # dropped, and the library's unlocked clear drains the link.
        self._drop_input()
        if self._link is not None:
            _library.function("vx_comm_clear_async")(self._link)

    # ------------------------------------------------------ controls --

    def _control(self, call: str, what: str, fn: Callable[[int], int]) -> None:
        # One control call under the instrument's lock, waiting up to the
        # timeout (a read's slices are for the byte stream only).
        with self.lock:
            self._use_tmo(self._write_tmo)
            status = fn(self.link_id)
        if status == VI_ERROR_NSUP_OPER:
            raise NotSupportedError(status, call, "%s is not supported on %s: %s"
                                    % (what, self.address, _NO_CONTROL[self.route]))
        check(status, call)

    def read_stb(self) -> int:
        """The status byte, read as a serial poll (VXI-11 device_readstb,
        HiSLIP AsyncStatusQuery, USB488 READ_STATUS_BYTE, VISA viReadSTB).
        Raises NotSupportedError on raw TCP, on the maker's direct USB links
        and on a USB instrument without USB488, where "*STB?" asks the
        instrument instead."""
        stb = ctypes.c_uint16(0)
        self._control("vx_comm_readStb", "read_stb()",
                      lambda link: _library.function("vx_comm_readStb")(link, ctypes.byref(stb)))
        return stb.value

    def trigger(self) -> None:
        """Sends the device trigger (VXI-11 device_trigger, HiSLIP Trigger,
        USB488 TRIGGER, VISA viAssertTrigger). NotSupportedError as read_stb()."""
        self._control("vx_comm_trigger", "trigger()", _library.function("vx_comm_trigger"))

    def remote(self, mode: Union[int, str]) -> None:
        """Sets the remote state: one of VISA's REN modes (VI_GPIB_REN_*,
        0 to 6), or "remote" (VI_GPIB_REN_ASSERT_ADDRESS), "local"
        (VI_GPIB_REN_ADDRESS_GTL) or "lockout" (remote with local lockout,
        VI_GPIB_REN_ASSERT_ADDRESS_LLO). NotSupportedError as read_stb()."""
        if isinstance(mode, str):
            try:
                value = REN_MODES[mode.lower()]
            except KeyError:
                raise ValueError("unknown remote mode %r (remote, local, lockout, or a VI_GPIB_REN_* value)"
                                 % mode) from None
        else:
            value = int(mode)
            if not VI_GPIB_REN_DEASSERT <= value <= VI_GPIB_REN_ADDRESS_GTL:
                raise ValueError("remote mode %d is none of VISA's REN modes 0 to 6" % value)
        self._control("vx_comm_remote", "remote()", lambda link: _library.function("vx_comm_remote")(link, value))

    # ---------------------------------------------- service requests --

    def enable_srq(self) -> None:
        """Starts collecting the instrument's service requests for
        wait_for_srq() (vx_comm_enableSrq); requests before this are not
        kept. Enabling twice does nothing. Raises NotSupportedError on a
        route without them (raw TCP, direct USB, a VISA library without
        events)."""
        with self.lock:
            status = _library.function("vx_comm_enableSrq")(self.link_id, 1)
        if status == VI_ERROR_NSUP_OPER:
            raise NotSupportedError(status, "vx_comm_enableSrq", "enable_srq() is not supported on %s: %s"
                                    % (self.address, _NO_SRQ[self.route]))
        check(status, "vx_comm_enableSrq")

    def disable_srq(self) -> None:
        """Stops collecting service requests and forgets those not yet
        waited for; a wait under way ends with vxcomm.Error VI_ERROR_NENABLED."""
        with self.lock:
            status = _library.function("vx_comm_enableSrq")(self.link_id, 0)
        check(status, "vx_comm_enableSrq")

    def wait_for_srq(self, timeout: Union[float, None, str] = "timeout") -> int:
        """Waits for the next service request (enable_srq() first) and
        returns the status byte read with it; up to `timeout` ms (the
        instrument's timeout by default, None without limit, 0 takes one
        already queued). Requests that came while none was awaited are
        queued (50 at most); `srq_dropped` tells how many were lost to a
        full queue before the one returned. Other threads go on with the
        instrument meanwhile. Raises TimeoutError when none came,
        vxcomm.Error VI_ERROR_NENABLED when not enabled, VI_ERROR_ABORT
        when clear() ended the wait, ConnectionLostError when close() did."""
        if timeout == "timeout":
            timeout = self._timeout
        if timeout is not None and timeout < 0:
            raise ValueError("a timeout cannot be negative (None waits without limit)")
        _ = self.link_id  # raises ConnectionLostError on a closed instrument
        limit = _SLICE_MS if timeout is None else int(min(round(timeout), _LOCK_NO_LIMIT))
        for _ in range(1 << 62):
            # Without a limit the wait goes in slices, so that Ctrl-C ends it;
            # linkId 0 (closed meanwhile) is refused as a lost connection.
            status, stb, dropped = self._wait_srq(self._link or 0, limit)
            if status != VI_ERROR_TMO or timeout is not None:
                break
        if status >= 0:
            self.srq_dropped = dropped
            return stb
        reason = _library.last_error()
        if status == VI_ERROR_TMO:
            raise TimeoutError(status, "vx_comm_waitSrq", "no service request from %s within %s ms"
                               % (self.address, timeout), reason=reason)
        if status == VI_ERROR_NENABLED:
            raise Error(status, "vx_comm_waitSrq", "service requests are not enabled on %s: call enable_srq() "
                        "first" % self.address, reason=reason)
        if status == VI_ERROR_ABORT:
            raise Error(status, "vx_comm_waitSrq", "clear() ended the wait for a service request", reason=reason)
        if status == VI_ERROR_CONN_LOST:
            raise ConnectionLostError(status, "vx_comm_waitSrq", "the link to %s was closed or lost while waiting "
                                      "for a service request" % self.address, reason=reason)
        raise Error(status, "vx_comm_waitSrq", reason=reason)

    @staticmethod
    def _wait_srq(link: int, ms: int) -> Tuple[int, int, int]:
        """One vx_comm_waitSrq: (status, status byte, dropped). It takes no
        lock of the instrument's: a request without a status byte is
        followed by a serial poll under the library's own lock, which waits
        up to the timeout the link has then."""
        stb, dropped = ctypes.c_uint16(0), ctypes.c_int32(0)
        status = _library.function("vx_comm_waitSrq")(link, ms, ctypes.byref(stb), ctypes.byref(dropped))
        return status, stb.value, dropped.value

    # ------------------------------------------------------- locking --

    def _lock_instrument(self, timeout: Union[float, None, str]) -> None:
        if timeout == "timeout":
            timeout = self._timeout
        wait = _LOCK_NO_LIMIT if timeout is None else int(min(max(timeout, 0), _LOCK_NO_LIMIT))
        with self.lock:
            status = _library.function("vx_comm_lock")(self.link_id, wait)
        if status == VI_ERROR_NSUP_OPER:
            raise NotSupportedError(status, "vx_comm_lock", "lock() is not supported on %s: %s"
                                    % (self.address, _NO_LOCK.get(self.route, "the route has no locks")))
        check(status, "vx_comm_lock")

    def unlock(self) -> None:
        """Gives back the instrument's exclusive lock (see `lock`)."""
        with self.lock:
            status = _library.function("vx_comm_unlock")(self.link_id)
        check(status, "vx_comm_unlock")

    # ------------------------------------------------ buffered input --

    def buffered(self) -> int:
        """Bytes read from the link and not yet handed out."""
        return len(self._pending) - self._rpos

    def _buffered(self) -> int:
        return len(self._pending) - self._rpos

    def _take(self, n: int) -> bytes:
        start = self._rpos
        data = bytes(self._pending[start:start + n])
        self._rpos = start + len(data)
        if self._rpos >= len(self._pending):
            self._pending.clear()
            self._rpos = 0
        elif self._rpos >= _COMPACT_AT:
            del self._pending[: self._rpos]
            self._rpos = 0
        return data

    def _receive(self, buffer: Any, size: int) -> int:
        """One read of the link into `buffer`: at least one byte, what has
        arrived. Waits up to the timeout; without one, in slices, so that
        Ctrl-C (KeyboardInterrupt, after which the link is cleared) and a
        clear() from another thread (VI_ERROR_ABORT) end the wait."""
        try:
            if self._abort:
                raise Error(VI_ERROR_ABORT, "vx_comm_read", "clear() ended the read")
            if self._lib_tmo != self._read_tmo:
                self._use_tmo(self._read_tmo)
            start = time.monotonic()
            deadline = None if self._timeout is None else start + self._timeout / 1000.0
            empty = 0
            for _ in range(1 << 62):
                self._got.value = 0
                # linkId 0 (closed) is refused by the library as a lost connection.
                status = self._read_fn(self._link or 0, buffer, size, self._got_ref)
                if status >= 0:
                    if self._got.value > 0:
                        return self._got.value
                    empty += 1
                    if empty >= _MAX_EMPTY_READS:
                        raise Error(VI_ERROR_SYSTEM_ERROR, "vx_comm_read", "the link keeps returning nothing")
                    continue
                if status != VI_ERROR_TMO:
                    check(status, "vx_comm_read")
                if self._abort:
                    raise Error(VI_ERROR_ABORT, "vx_comm_read", "clear() ended the read")
                now = time.monotonic()
                if deadline is not None and now >= deadline:
                    check(status, "vx_comm_read")
            raise Error(VI_ERROR_SYSTEM_ERROR, "vx_comm_read", "unbounded wait")
        except KeyboardInterrupt:
            self._interrupted()
            raise

    def _fill(self, limit: int = _READ_CHUNK) -> None:
        """One read of the link into the buffer: what has arrived."""
        got = self._receive(self._chunk, min(max(limit, 1), _READ_CHUNK))
        self._pending += ctypes.string_at(self._chunk, got)

    def _want(self, n: int) -> None:
        while self._buffered() < n:
            self._fill()

    def _skip_owed_lf(self) -> None:
        # The line feed of a block that came after the block's read ended.
        if self._lf_owed:
            self._want(1)
            self._lf_owed = False
            if self._pending[self._rpos] == 0x0A:
                self._take(1)

    def read_until(self, term: Optional[int], count: int, opaque: int = 0) -> Tuple[bytes, bool]:
        """Up to `count` bytes, ending after the byte `term` when it comes
        first (term None: what has arrived); the first `opaque` bytes are
        not searched for it. Returns the bytes and whether they end with
        `term`."""
        with self.lock:
            if term is None:
                if not self._buffered():
                    self._fill(count)
                return self._take(count), False
            mark = _MARKS[term]
            scanned = self._rpos + max(opaque, 0)
            for _ in range(1 << 30):
                end = min(len(self._pending), self._rpos + count)
                at = self._pending.find(mark, scanned, end)
                if at >= 0:
                    return self._take(at + 1 - self._rpos), True
                if self._buffered() >= count:
                    return self._take(count), False
                scanned = max(scanned, end)
                self._fill()
            raise Error(VI_ERROR_SYSTEM_ERROR, "vx_comm_read", "unbounded reply")

    def read_whole_line(self, term: int, count: int) -> Optional[bytes]:
        """The fast path of read_reply() at the start of a reply with
        nothing buffered: one read of the link, handed out as it came when
        it is exactly one line ending in `term`, of at most `count` bytes,
        that begins no block (the usual short reply). Otherwise None, with
        the bytes kept for read_reply()."""
        with self.lock:
            if self._buffered():
                return None
            got = self._receive(self._chunk, _READ_CHUNK)
            data = ctypes.string_at(self._chunk, got)
            if got <= count and data[0] != 0x23 and data.find(_MARKS[term]) == got - 1:
                return data
            self._pending += data
            return None

    def read_some(self, count: int) -> bytes:
        """read_until(None, count) without the copy through the buffer when
        nothing is kept: what one read of the link brings, up to `count`."""
        with self.lock:
            if self._buffered() or count < 1:
                return self.read_until(None, count)[0]
            return ctypes.string_at(self._chunk, self._receive(self._chunk, min(count, _READ_CHUNK)))

    def read_reply(self, term: int, count: int, opaque: int, fresh: bool) -> Tuple[bytes, bool, int, bool]:
        """read_until() for a reader that tracks replies. At the start of
        one (`fresh`) it learns how far a definite-length block it begins
        with runs; inside that block `term` is data, and the block's end
        ends the read unless `term` has arrived right after it. Returns the
        bytes, whether they end with `term`, the block bytes still ahead,
        and whether the read ended at the block's end."""
        with self.lock:
            if fresh:
                if not self._buffered():
                    self._fill()
                opaque = self.block_extent() if self._pending[self._rpos] == 0x23 else 0
            if opaque <= 0:
                data, ended = self.read_until(term, count)
                return data, ended, 0, False
            for _ in range(1 << 30):
                have = self._buffered()
                if count <= opaque and have >= count:
                    return self._take(count), False, opaque - count, False
                if count > opaque and have >= opaque:
                    at = self._pending.find(_MARKS[term], self._rpos + opaque,
                                            min(len(self._pending), self._rpos + count))
                    if at >= 0:
                        return self._take(at + 1 - self._rpos), True, 0, False
                    return self._take(opaque), False, 0, True
                self._fill()
            raise Error(VI_ERROR_SYSTEM_ERROR, "vx_comm_read", "unbounded reply")

    def block_extent(self) -> int:
        """At the start of a reply: how many bytes run to the end of the
        definite-length block it begins with ("#", a digit n, n digits of
        length, the data), or 0 when it begins with no such header. Waits
        only for the bytes the header needs."""
        with self.lock:
            for _ in range(16):  # each round has one byte more at least
                have, at = self._buffered(), self._rpos
                if have >= 1 and self._pending[at] != 0x23:
                    return 0
                head = self._pending[at:at + 11]
                if have >= 2:
                    digits = head[1] - 0x30
                    if not 1 <= digits <= 9:
                        return 0
                    if have >= 2 + digits:
                        text = bytes(head[2:2 + digits])
                        return 2 + digits + int(text) if text.isdigit() else 0
                    if 0x0A in head:
                        return 0
                self._fill()
            return 0

    def _read_into(self, out: bytearray, offset: int = 0) -> None:
        """Fills out[offset:] exactly: buffered bytes first, then the link,
        straight into `out` but for the last piece, which comes through the
        buffer with whatever follows it (the line feed after a block)."""
        while offset < len(out):
            n = min(self._buffered(), len(out) - offset)
            if n:
                out[offset:offset + n] = self._take(n)
                offset += n
                continue
            rest = len(out) - offset
            if rest <= _READ_CHUNK:
                self._fill()
                continue
            view = (ctypes.c_char * rest).from_buffer(out, offset)
            try:
                offset += self._receive(view, rest)
            finally:
                del view

    def _read_exactly(self, n: int) -> bytes:
        out = bytearray(n)
        self._read_into(out)
        return bytes(out)

    # --------------------------------------------------------- lines --

    def write(self, message: str, termination: Optional[str] = None) -> int:
        """Sends the message as it is, line breaks inside included, then the
        write termination (unless it ends with it already); returns the
        bytes sent."""
        term = self.write_termination if termination is None else termination
        if term and not message.endswith(term):
            message += term
        return self.write_raw(message.encode(self.encoding))

    def read(self) -> str:
        """Reads one reply line, without its line feed (and a CR before it).
        A reply that is no text in the encoding raises vxcomm.Error with its
        bytes in `data`; the line is taken all the same."""
        with self.lock:
            self._skip_owed_lf()
            line, _ = self.read_until(0x0A, 2**31 - 1)
        if line.endswith(b"\n"):
            line = line[:-1]
            if line.endswith(b"\r"):
                line = line[:-1]
        try:
            return line.decode(self.encoding)
        except UnicodeDecodeError as e:
            error = Error(VI_ERROR_SYSTEM_ERROR, "read", "the reply is no %s text (%s): %s"
                          % (self.encoding, e.reason, _shown(line)))
            error.data = line
            raise error from None

    def query(self, message: str, delay: Optional[float] = None) -> str:
        """write() then read(); `delay` seconds between them, if given."""
        with self.lock:
            self.write(message)
            if delay:
                time.sleep(delay)
            return self.read()

    # ----------------------------------------------------------- raw --

    def write_raw(self, data: bytes) -> int:
        """Sends the bytes as they are; returns how many went."""
        data = bytes(data)
        with self.lock:
            if self._lib_tmo != self._write_tmo:
                self._use_tmo(self._write_tmo)
            self._got.value = 0
            status = self._write_fn(self._link or 0, data or None, len(data), self._got_ref)
            if status < 0:
                check(status, "vx_comm_writeBlocking")
            return self._got.value

    def read_raw(self, size: Optional[int] = None) -> bytes:
        """Exactly `size` bytes, or, without a size, what has arrived (at
        most 64 KiB), bytes kept by an earlier read() first."""
        with self.lock:
            if size is None:
                return self.read_until(None, _READ_CHUNK)[0]
            if size < 0 or size > 2**31 - 1:
                raise ValueError("size must be 0 to 2147483647")
            return self._read_exactly(size)

    # -------------------------------------------------------- blocks --

    def _header_size(self) -> Optional[int]:
        """The size a block header at the start of the input gives ("#", a
        digit n, n digits; or four zero bytes, then the size least
        significant byte first), taking the header; None, taking nothing,
        when the input starts with no such header."""
        for _ in range(1 << 30):  # each round has one byte more at least
            at, have, p = self._rpos, self._buffered(), self._pending
            if have >= 1 and p[at] == 0x23:
                if have >= 2:
                    digits = p[at + 1] - 0x30
                    if not 1 <= digits <= 9:
                        return None
                    text = bytes(p[at + 2:at + 2 + min(digits, have - 2)])
                    if text.strip(b"0123456789 "):
                        return None
                    if len(text) == digits:
                        if not text.strip().isdigit():
                            return None
                        self._take(2 + digits)
                        return int(text)
            elif have >= 1 and p[at] == 0:
                head = bytes(p[at:at + min(8, have)])
                if head[:4].strip(b"\0"):
                    return None
                if len(head) == 8:
                    self._take(8)
                    return struct.unpack("<I", head[4:])[0]
            elif have >= 1:
                return None
            self._fill()
        return None

    def _block_size(self) -> int:
        """Reads a block header. A reply that starts with none is taken
        whole (its line, or what came of it within the timeout) and shown
        in the error, so the next read gets the next reply."""
        self._skip_owed_lf()
        size = self._header_size()
        if size is not None:
            return size
        try:
            reply, _ = self.read_until(0x0A, 2**31 - 1)
        except TimeoutError:
            reply = self._take(self._buffered())
        raise Error(VI_ERROR_SYSTEM_ERROR, "read_block", "the reply is no block: it is %s" % _shown(reply))

    def _read_block(self, command: Optional[str], sink: Callable[[bytes], None],
                    progress: Optional[Progress]) -> int:
        with self.lock:
            if command:
                self.write(command)
            total = self._block_size()
            try:
                if progress:
                    progress(0, total)
                done = 0
                while done < total:
                    piece = bytearray(min(_BLOCK_PIECE, total - done))
                    self._read_into(piece)
                    sink(piece)
                    done += len(piece)
                    if progress:
                        progress(done, total)
            except KeyboardInterrupt:
                self._interrupted()  # the rest of the block is not wanted
                raise
            # The line feed that follows a block is taken with it; one not
            # there yet is taken by the next read of a line or block.
            if self._buffered() and self._pending[self._rpos] == 0x0A:
                self._take(1)
            else:
                self._lf_owed = not self._buffered()
            return done

    def read_binary_values(self, datatype: str = "f", is_big_endian: bool = False, container: Any = list,
                           expect_termination: bool = True, data_points: Optional[int] = None) -> Any:
        """Reads an IEEE 488.2 block (the query already sent) and unpacks it
        with the struct `datatype` ('b', 'B', 'h', 'H', 'i', 'I', 'q', 'Q',
        'f', 'd'). container: list, tuple, bytes, bytearray, numpy.array.
        expect_termination=True takes the line feed after the block, waiting
        for it up to the timeout as pyvisa does (TimeoutError, the values
        in its `values`); False returns as soon as the data is in."""
        return self._binary_values(None, datatype, is_big_endian, container, expect_termination, data_points)

    def query_binary_values(self, message: str, datatype: str = "f", is_big_endian: bool = False,
                            container: Any = list, expect_termination: bool = True,
                            data_points: Optional[int] = None) -> Any:
        """Sends `message` and reads its block reply as read_binary_values()."""
        return self._binary_values(message, datatype, is_big_endian, container, expect_termination, data_points)

    def query_ascii_values(self, message: str, converter: Callable[[str], Any] = float, separator: str = ",",
                           container: Any = list) -> Any:
        """Sends `message` and splits its reply line into values."""
        with self.lock:
            line = self.query(message)
        return container([converter(v) for v in line.split(separator) if v.strip()])

    def _binary_values(self, command: Optional[str], datatype: str, is_big_endian: bool, container: Any,
                       expect_termination: bool, data_points: Optional[int]) -> Any:
        item = struct.calcsize("<" + datatype)
        chunks = []
        late = None
        with self.lock:
            self._read_block(command, chunks.append, None)
            if expect_termination and self._lf_owed:
                try:
                    self._skip_owed_lf()
                except TimeoutError as e:
                    late = e
        raw = b"".join(chunks)
        if len(raw) % item:
            raise ValueError("a block of %d bytes does not hold whole %r values" % (len(raw), datatype))
        if data_points is not None and data_points * item != len(raw):
            raise ValueError("expected %d values, the block holds %d" % (data_points, len(raw) // item))
        values = _convert(raw, datatype, is_big_endian, container)
        if late is not None:
            late.values = values  # the block came whole; only its line feed did not
            raise late
        return values

    def write_binary_values(self, message: str, values: Iterable[Any], datatype: str = "f",
                            is_big_endian: bool = False, termination: Optional[str] = None) -> int:
        """Sends `message`, a separator and the values packed as `datatype`
        in one definite-length block; `termination` (say "\\n") follows the
        block when the instrument wants one. Returns the data bytes sent."""
        seq = list(values)
        data = struct.pack(_struct_format(datatype, is_big_endian, len(seq)), *seq)
        with self.lock:
            self.write_block(message, data)
            if termination:
                self.write_raw(termination.encode(self.encoding))
        return len(data)

    def write_block(self, message: Optional[str], data: bytes) -> None:
        """Sends `message`, a separator and `data` as one definite-length block."""
        data = bytes(data)
        cmd = _c_text(message, self.encoding) if message else None
        with self.lock:
            self._use_tmo(self._write_tmo)
            check(_library.function("vx_comm_writeBlock")(self.link_id, cmd, data or None, len(data)),
                  "vx_comm_writeBlock")

    def read_block(self, message: Optional[str] = None) -> bytes:
        """The data of one block, after sending `message` if given. The line
        feed after it is taken too; a reply that is no block raises
        vxcomm.Error and is taken whole."""
        chunks = []
        self._read_block(message, chunks.append, None)
        return b"".join(chunks)

    def read_block_to_file(self, message: Optional[str], path: "os.PathLike[str] | str",
                           progress: Optional[Progress] = None) -> int:
        """Receives one block into a file; progress(done, total) is called
        after every piece when given. Returns the bytes written. A regular
        file (or a new name) gets the block whole or not at all: it is
        written beside it first and renamed over it at the end; anything
        else (a pipe, a device) is written straight."""
        target = os.path.realpath(os.fspath(path))  # a link stays, its file gets the block
        try:
            old: Optional[os.stat_result] = os.stat(target)
        except FileNotFoundError:
            old = None
        if old is not None and not stat.S_ISREG(old.st_mode):
            with open(target, "wb") as f:
                return self._read_block(message, f.write, progress)
        temp, f = _create_beside(target, old)
        try:
            with f:
                done = self._read_block(message, f.write, progress)
            os.replace(temp, target)
        except BaseException:
            with contextlib.suppress(OSError):
                os.unlink(temp)
            raise
        return done

    def write_block_from_file(self, message: Optional[str], path: "os.PathLike[str] | str",
                              progress: Optional[Progress] = None) -> int:
        """Sends a file's bytes as one block after `message`; progress(done,
        total) after every piece when given. Returns the bytes sent. A file
        that cannot be read raises vxcomm.FileError before anything is sent."""
        path = os.fspath(path)
        cmd = _c_text(message, self.encoding) if message else None
        try:
            f = open(path, "rb")
        except OSError as e:
            raise FileError("vx_comm_writeBlockFile", path, e) from None
        with f, self.lock:
            total = os.fstat(f.fileno()).st_size
            self._use_tmo(self._write_tmo)
            if progress is None:
                check(_library.function("vx_comm_writeBlockFile")(self.link_id, cmd, os.fsencode(path)),
                      "vx_comm_writeBlockFile")
                return total
            check(_library.function("vx_comm_writeBlockSize")(self.link_id, cmd, total), "vx_comm_writeBlockSize")
            done = 0
            progress(0, total)
            while done < total:
                piece = f.read(min(_BLOCK_PIECE, total - done))
                if not piece:
                    raise OSError("%s shrank while it was sent" % path)
                self.write_raw(piece)
                done += len(piece)
                progress(done, total)
            return done
