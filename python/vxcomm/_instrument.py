"""An open link, with the calls scripters know from VISA wrappers."""
import ctypes
import os
import re
import socket
import struct
import threading
import time
import warnings
import weakref
from typing import Any, Callable, Iterable, Optional, Tuple

from . import _library
from ._errors import (
    VI_ERROR_CONN_LOST,
    VI_ERROR_INV_RSRC_NAME,
    VI_ERROR_RSRC_NFOUND,
    VI_ERROR_SYSTEM_ERROR,
    ConnectionLostError,
    Error,
    OpenError,
    TimeoutError,
    check,
)

_READ_CHUNK = 64 * 1024
_BLOCK_PIECE = 1 << 20
_COMPACT_AT = 1 << 16
_MAX_EMPTY_READS = 1000  # reads that bring nothing in a row before we give up

Progress = Callable[[int, int], None]
_MARKS = [bytes((b,)) for b in range(256)]

TCP, USB, VISA = "tcp", "usb", "visa"
_SERIAL_LENGTH = 18
_NOT_CONNECTED = {
    TCP: "refused, unreachable, or no instrument on port 18",
    USB: "no such device on the USB bus, or it is open already",
    VISA: "the VISA library did not open it",
}


def route_of(address: str) -> str:
    """The route the library takes for an address, from its text alone."""
    if address.startswith("TCP-") or address[:1].isdigit():
        return TCP
    if address.startswith("USB-"):
        return USB
    return VISA


def _dotted_quad(host: str) -> bool:
    parts = host.split(".")
    return len(parts) == 4 and all(p.isdigit() and len(p) <= 3 and int(p) <= 255 for p in parts)


def library_address(address: str) -> str:
    """The address as the library takes it: a TCP host name resolved to its
    IPv4 address. Raises OpenError for what cannot be an address."""
    route = route_of(address)
    if route == TCP:
        host = address[4:] if address.startswith("TCP-") else address
        if not host or re.fullmatch(r"[0-9.]+", host):
            if not _dotted_quad(host):
                raise OpenError(VI_ERROR_INV_RSRC_NAME, "vx_comm_open",
                                "%r is no TCP address: it needs a dotted IPv4 address a.b.c.d" % address)
            return "TCP-" + host
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
    without limit (0 on TCP, -1 elsewhere), 0 does not wait (TCP, where 0
    means no limit, gets its shortest wait, 1 ms)."""
    if ms is None:
        return 0 if route == TCP else -1
    if ms < 0:
        raise ValueError("a timeout cannot be negative (None waits without limit)")
    value = min(int(round(ms)), 2**31 - 1)
    if value == 0 and route == TCP:
        return 1
    return value


def _close_dropped(link: int, address: str) -> None:
    # A link whose Instrument was dropped unclosed: close it as a file is,
    # and say so once.
    _library.function("vx_comm_close")(link)
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


class Instrument:
    """A link opened by vxcomm.open(); use it in a `with` block.

    Timeouts are in milliseconds, as in VISA wrappers; None means no limit,
    0 no wait. The bytes read past a reply line are kept here, so every
    read call sees them in order. query() and its kin hold the instrument's
    lock from the command to the end of the reply, so threads sharing an
    instrument never get each other's replies.
    """

    def __init__(self, address: str, timeout: Optional[float] = 2000, encoding: str = "ascii",
                 write_termination: str = "\n"):
        self.address = address
        self.route = route_of(address)
        self.encoding = encoding
        self.write_termination = write_termination
        self.lock = threading.RLock()
        self._pending = bytearray()
        self._rpos = 0
        self._chunk = ctypes.create_string_buffer(_READ_CHUNK)
        self._got = ctypes.c_int32(0)
        self._got_ref = ctypes.byref(self._got)
        self._read_fn = _library.bare_function("vx_comm_read")
        self._write_fn = _library.bare_function("vx_comm_writeBlocking")
        target = library_address(address)
        if self.route == VISA:
            _library.function("vx_comm_loadVisa")()  # its status shows in the open
        link = ctypes.c_int32(0)
        check(_library.function("vx_comm_open")(_c_text(target, encoding), 0, ctypes.byref(link)), "vx_comm_open")
        if link.value < 1:
            shown = address if target == address else "%s (%s)" % (address, target[4:])
            raise OpenError(VI_ERROR_RSRC_NFOUND, "vx_comm_open",
                            "no connection to %s (%s)" % (shown, _NOT_CONNECTED[self.route]))
        self._link: Optional[int] = link.value
        self._finalizer = weakref.finalize(self, _close_dropped, link.value, address)
        self._timeout: Optional[float] = None
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
        check(_library.function("vx_comm_setTmoMs")(self.link_id, value), "vx_comm_setTmoMs")
        self._timeout = ms

    def clear(self) -> None:
        """Device clear: discards waiting input and any partial line or block."""
        with self.lock:
            self._pending.clear()
            self._rpos = 0
            check(_library.function("vx_comm_clear")(self.link_id), "vx_comm_clear")

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

    def _fill(self, limit: int = _READ_CHUNK) -> None:
        """One read of the link into the buffer: what has arrived."""
        size = min(max(limit, 1), _READ_CHUNK)
        for _ in range(_MAX_EMPTY_READS):
            self._got.value = 0
            # linkId 0 (closed) is refused by the library as a lost connection.
            status = self._read_fn(self._link or 0, self._chunk, size, self._got_ref)
            if status < 0:
                check(status, "vx_comm_read")
            if self._got.value > 0:
                self._pending += ctypes.string_at(self._chunk, self._got.value)
                return
        raise Error(VI_ERROR_SYSTEM_ERROR, "vx_comm_read", "the link keeps returning nothing")

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
        """Fills out[offset:] exactly: buffered bytes first, then the link."""
        n = min(self._buffered(), len(out) - offset)
        if n:
            out[offset:offset + n] = self._take(n)
            offset += n
        rest = len(out) - offset
        if rest:
            got = ctypes.c_int32(0)
            view = (ctypes.c_char * rest).from_buffer(out, offset)
            check(_library.function("vx_comm_readBlocking")(self.link_id, view, rest, ctypes.byref(got)),
                  "vx_comm_readBlocking")
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
        """Reads one reply line, without its line feed (and a CR before it)."""
        line, _ = self.read_until(0x0A, 2**31 - 1)
        if line.endswith(b"\n"):
            line = line[:-1]
            if line.endswith(b"\r"):
                line = line[:-1]
        return line.decode(self.encoding)

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

    def _block_size(self) -> int:
        """Reads a block header: "#" and a definite length, or the binary
        form (four zero bytes, then the size least significant byte first)."""
        mark = self._read_exactly(1)
        if mark == b"#":
            digits = self._read_exactly(1)
            if not b"1" <= digits <= b"9":
                raise Error(VI_ERROR_SYSTEM_ERROR, "read_block", "a block header needs a length digit, got %r" % digits)
            text = self._read_exactly(int(digits))
            if not text.strip().isdigit():
                raise Error(VI_ERROR_SYSTEM_ERROR, "read_block", "bad block length %r" % text)
            return int(text)
        if mark == b"\0":
            field = self._read_exactly(7)
            if field[:3] != b"\0\0\0":
                raise Error(VI_ERROR_SYSTEM_ERROR, "read_block", "bad binary block header")
            return struct.unpack("<I", field[3:])[0]
        raise Error(VI_ERROR_SYSTEM_ERROR, "read_block", "the reply is no block: it starts with %r" % mark)

    def _read_block(self, command: Optional[str], sink: Callable[[bytes], None],
                    progress: Optional[Progress]) -> int:
        with self.lock:
            if command:
                self.write(command)
            total = self._block_size()
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
            if expect_termination:
                try:
                    self._read_exactly(1)
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
            check(_library.function("vx_comm_writeBlock")(self.link_id, cmd, data or None, len(data)),
                  "vx_comm_writeBlock")

    def read_block(self, message: Optional[str] = None) -> bytes:
        """The data of one block, after sending `message` if given. The line
        feed an instrument may send after it is left unread."""
        chunks = []
        self._read_block(message, chunks.append, None)
        return b"".join(chunks)

    def read_block_to_file(self, message: Optional[str], path: "os.PathLike[str] | str",
                           progress: Optional[Progress] = None) -> int:
        """Receives one block into a file; progress(done, total) is called
        after every piece when given. Returns the bytes written."""
        with open(os.fspath(path), "wb") as f:
            return self._read_block(message, f.write, progress)

    def write_block_from_file(self, message: Optional[str], path: "os.PathLike[str] | str",
                              progress: Optional[Progress] = None) -> int:
        """Sends a file's bytes as one block after `message`; progress(done,
        total) after every piece when given. Returns the bytes sent."""
        path = os.fspath(path)
        cmd = _c_text(message, self.encoding) if message else None
        with self.lock:
            if progress is None:
                check(_library.function("vx_comm_writeBlockFile")(self.link_id, cmd, os.fsencode(path)),
                      "vx_comm_writeBlockFile")
                return os.path.getsize(path)
            total = os.path.getsize(path)
            check(_library.function("vx_comm_writeBlockSize")(self.link_id, cmd, total), "vx_comm_writeBlockSize")
            done = 0
            progress(0, total)
            with open(path, "rb") as f:
                while done < total:
                    piece = f.read(min(_BLOCK_PIECE, total - done))
                    if not piece:
                        raise OSError("%s shrank while it was sent" % path)
                    self.write_raw(piece)
                    done += len(piece)
                    progress(done, total)
            return done
