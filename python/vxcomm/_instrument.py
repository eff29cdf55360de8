"""An open link, with the calls scripters know from VISA wrappers."""
import ctypes
import os
import struct
from typing import Any, Callable, Iterable, Optional, Sequence

from . import _library
from ._errors import VI_SUCCESS_MAX_CNT, ConnectionLostError, OpenError, check

_READ_CHUNK = 64 * 1024
_BLOCK_PIECE = 1 << 20
_NO_LIMIT = 0  # the library's timeout for "wait as long as it takes"

Progress = Callable[[int, int], None]


def _count() -> ctypes.c_int32:
    return ctypes.c_int32(0)


def _c_text(text: str, encoding: str) -> bytes:
    data = text.encode(encoding)
    if b"\0" in data:
        raise ValueError("a command cannot hold a NUL byte")
    return data


def _command_line(message: str, encoding: str) -> bytes:
    """The command ended by its line feed, so that it leaves in one write.
    The library ends a command at its first CR or LF: one inside the text
    would silently drop the rest, so it is refused here."""
    data = _c_text(message, encoding)
    if data.endswith(b"\n"):
        data = data[:-1]
    if b"\n" in data or b"\r" in data:
        raise ValueError("a command cannot hold a line break before its end: %r" % message)
    return data + b"\n"


def _struct_format(datatype: str, is_big_endian: bool, count: int) -> str:
    return "%s%d%s" % (">" if is_big_endian else "<", count, datatype)


def _wrap(values: Sequence[Any], container: Any, datatype: str, is_big_endian: bool, raw: bytes) -> Any:
    if container in (list, tuple):
        return container(values)
    if container in (bytes, bytearray):
        return container(raw)
    # Any other container is handed the values; numpy.array and
    # numpy.ndarray get a typed array straight from the bytes.
    module = getattr(container, "__module__", "") or ""
    if module.startswith("numpy"):
        import numpy  # only when asked for

        dtype = numpy.dtype(datatype).newbyteorder(">" if is_big_endian else "<")
        return numpy.frombuffer(raw, dtype=dtype).copy()
    return container(values)


class Instrument:
    """A link opened by vxcomm.open(); use it in a `with` block.

    Timeouts are in milliseconds, as in VISA wrappers; None means no limit.
    """

    def __init__(self, address: str, timeout: Optional[float] = 2000, encoding: str = "ascii"):
        self.address = address
        self.encoding = encoding
        link = _count()
        check(_library.function("vx_comm_open")(_c_text(address, encoding), 0, ctypes.byref(link)), "vx_comm_open")
        if link.value < 1:
            raise OpenError(0, "vx_comm_open", "no link could be made to %r (linkId -1)" % address)
        self._link: Optional[int] = link.value
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
            raise ConnectionLostError(-(2**31) + 0x3FFF00A6, "", "the link is closed")
        return self._link

    def close(self) -> None:
        """Closes the link; calls still running on it end with
        ConnectionLostError. Closing twice does nothing."""
        link, self._link = self._link, None
        if link is not None:
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
        """The link timeout in milliseconds; None waits without limit."""
        return self._timeout

    @timeout.setter
    def timeout(self, ms: Optional[float]) -> None:
        if ms is None:
            value = _NO_LIMIT
        else:
            if ms < 0:
                raise ValueError("a timeout cannot be negative")
            value = max(1, min(int(round(ms)), 2**31 - 1))
        check(_library.function("vx_comm_setTmoMs")(self.link_id, value), "vx_comm_setTmoMs")
        self._timeout = ms

    def clear(self) -> None:
        """Device clear: discards waiting input and any partial line or block."""
        check(_library.function("vx_comm_clear")(self.link_id), "vx_comm_clear")

    # --------------------------------------------------------- lines --

    def write(self, message: str) -> int:
        """Sends one command line; returns the bytes sent, line feed included."""
        data = _command_line(message, self.encoding)
        sent = _count()
        check(_library.function("vx_comm_puts")(self.link_id, data, len(data), ctypes.byref(sent)), "vx_comm_puts")
        return sent.value

    def read(self) -> str:
        """Reads one reply line, without its line feed (and a CR before it)."""
        parts = []
        buf = ctypes.create_string_buffer(_READ_CHUNK)
        while True:
            got = _count()
            check(_library.function("vx_comm_gets")(self.link_id, buf, len(buf), ctypes.byref(got)), "vx_comm_gets")
            piece = buf.raw[: got.value]
            parts.append(piece)
            # A line longer than the buffer comes in several calls; the
            # library keeps the rest for the next one.
            if got.value < len(buf) - 1 or piece.endswith((b"\n", b"\0")):
                break
        line = b"".join(parts)
        if line.endswith(b"\n"):
            line = line[:-1]
            if line.endswith(b"\r"):
                line = line[:-1]
        return line.decode(self.encoding)

    def query(self, message: str, delay: Optional[float] = None) -> str:
        """write() then read(); `delay` seconds between them, if given."""
        self.write(message)
        if delay:
            import time

            time.sleep(delay)
        return self.read()

    # ----------------------------------------------------------- raw --

    def write_raw(self, data: bytes) -> int:
        """Sends the bytes as they are; returns how many went."""
        data = bytes(data)
        sent = _count()
        buf = ctypes.create_string_buffer(data, len(data)) if data else None
        check(
            _library.function("vx_comm_writeBlocking")(self.link_id, buf, len(data), ctypes.byref(sent)),
            "vx_comm_writeBlocking",
        )
        return sent.value

    def read_raw(self, size: Optional[int] = None) -> bytes:
        """Exactly `size` bytes, or, without a size, what one read brings
        (at most 64 KiB). Bytes that a read() kept after its line are not
        seen here."""
        if size is None:
            buf = ctypes.create_string_buffer(_READ_CHUNK)
            got = _count()
            check(_library.function("vx_comm_read")(self.link_id, buf, len(buf), ctypes.byref(got)), "vx_comm_read")
            return buf.raw[: got.value]
        if size < 0 or size > 2**31 - 1:
            raise ValueError("size must be 0 to 2147483647")
        buf = ctypes.create_string_buffer(max(size, 1))
        got = _count()
        check(
            _library.function("vx_comm_readBlocking")(self.link_id, buf, size, ctypes.byref(got)),
            "vx_comm_readBlocking",
        )
        return buf.raw[: got.value]

    # -------------------------------------------------------- blocks --

    def _read_block(self, command: Optional[str], sink: Callable[[bytes], None],
                    progress: Optional[Progress]) -> int:
        size = _count()
        cmd = _c_text(command, self.encoding) if command else None
        check(_library.function("vx_comm_readBlockSize")(self.link_id, cmd, ctypes.byref(size)),
              "vx_comm_readBlockSize")
        total, done = size.value, 0
        if progress:
            progress(0, total)
        buf = ctypes.create_string_buffer(min(max(total, 1), _BLOCK_PIECE))
        read_data = _library.function("vx_comm_readBlockData")
        while done < total:
            got = _count()
            status = check(read_data(self.link_id, buf, len(buf), ctypes.byref(got)), "vx_comm_readBlockData")
            sink(buf.raw[: got.value])
            done += got.value
            if progress:
                progress(done, total)
            if status != VI_SUCCESS_MAX_CNT:
                break
        return done

    def _expect_termination(self) -> None:
        end = self.read_raw(1)
        if end != b"\n":
            raise ValueError("expected a line feed after the block, got %r" % end)

    def read_binary_values(self, datatype: str = "f", is_big_endian: bool = False, container: Any = list,
                           expect_termination: bool = True, data_points: Optional[int] = None) -> Any:
        """Reads an IEEE 488.2 block (the query already sent) and unpacks it
        with the struct `datatype` ('b', 'B', 'h', 'H', 'i', 'I', 'q', 'Q',
        'f', 'd'). With expect_termination the line feed after the block is
        read too. container: list, tuple, bytes, bytearray, numpy.array."""
        return self._binary_values(None, datatype, is_big_endian, container, expect_termination, data_points)

    def query_binary_values(self, message: str, datatype: str = "f", is_big_endian: bool = False,
                            container: Any = list, expect_termination: bool = True,
                            data_points: Optional[int] = None) -> Any:
        """Sends `message` and reads its block reply as read_binary_values()."""
        _command_line(message, self.encoding)  # the same checks as write()
        return self._binary_values(message, datatype, is_big_endian, container, expect_termination, data_points)

    def _binary_values(self, command: Optional[str], datatype: str, is_big_endian: bool, container: Any,
                       expect_termination: bool, data_points: Optional[int]) -> Any:
        item = struct.calcsize("<" + datatype)
        chunks = []
        self._read_block(command, chunks.append, None)
        if expect_termination:
            self._expect_termination()
        raw = b"".join(chunks)
        if len(raw) % item:
            raise ValueError("a block of %d bytes does not hold whole %r values" % (len(raw), datatype))
        count = len(raw) // item
        if data_points is not None and data_points != count:
            raise ValueError("expected %d values, the block holds %d" % (data_points, count))
        values = struct.unpack(_struct_format(datatype, is_big_endian, count), raw)
        return _wrap(values, container, datatype, is_big_endian, raw)

    def write_binary_values(self, message: str, values: Iterable[Any], datatype: str = "f",
                            is_big_endian: bool = False, termination: Optional[str] = None) -> int:
        """Sends `message`, a separator and the values packed as `datatype`
        in one definite-length block; `termination` (say "\\n") follows the
        block when the instrument wants one. Returns the data bytes sent."""
        seq = list(values)
        data = struct.pack(_struct_format(datatype, is_big_endian, len(seq)), *seq)
        self.write_block(message, data)
        if termination:
            self.write_raw(termination.encode(self.encoding))
        return len(data)

    def write_block(self, message: Optional[str], data: bytes) -> None:
        """Sends `message`, a separator and `data` as one definite-length block."""
        data = bytes(data)
        cmd = _command_line(message, self.encoding)[:-1] if message else None
        buf = ctypes.create_string_buffer(data, len(data)) if data else None
        check(_library.function("vx_comm_writeBlock")(self.link_id, cmd, buf, len(data)), "vx_comm_writeBlock")

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
        path = os.fspath(path)
        if progress is None:
            cmd = _command_line(message, self.encoding)[:-1] if message else None
            check(_library.function("vx_comm_readBlockFile")(self.link_id, cmd, os.fsencode(path)),
                  "vx_comm_readBlockFile")
            return os.path.getsize(path)
        with open(path, "wb") as f:
            return self._read_block(message, f.write, progress)

    def write_block_from_file(self, message: Optional[str], path: "os.PathLike[str] | str",
                              progress: Optional[Progress] = None) -> int:
        """Sends a file's bytes as one block after `message`; progress(done,
        total) after every piece when given. Returns the bytes sent."""
        path = os.fspath(path)
        cmd = _command_line(message, self.encoding)[:-1] if message else None
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
