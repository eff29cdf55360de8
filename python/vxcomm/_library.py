"""Finding and loading the vx_comm_lib shared library, and the C signatures
of its exports."""
import ctypes
import ctypes.util
import os
import sys
import threading
from typing import Optional

_lock = threading.Lock()
_lib: Optional[ctypes.CDLL] = None

ViStatus = ctypes.c_int32
ViInt32 = ctypes.c_int32
_P = ctypes.c_void_p
_S = ctypes.c_char_p
_I = ViInt32
_PI = ctypes.POINTER(ViInt32)
_U16 = ctypes.c_uint16

# name: (result, argument types). Exports a build lacks are left out when
# the library is loaded, and the calls that need them say so.
_SIGNATURES = {
    "vx_comm_open": (ViStatus, [_S, _I, _PI]),
    "vx_comm_close": (ViStatus, [_I]),
    "vx_comm_write": (ViStatus, [_I, _P, _I, _PI]),
    "vx_comm_read": (ViStatus, [_I, _P, _I, _PI]),
    "vx_comm_writeBlocking": (ViStatus, [_I, _P, _I, _PI]),
    "vx_comm_readBlocking": (ViStatus, [_I, _P, _I, _PI]),
    "vx_comm_clear": (ViStatus, [_I]),
    "vx_comm_clear_async": (ViStatus, [_I]),
    "vx_comm_setTmoMs": (ViStatus, [_I, _I]),
    "vx_comm_puts": (ViStatus, [_I, _S, _I, _PI]),
    "vx_comm_gets": (ViStatus, [_I, _P, _I, _PI]),
    "vx_comm_writeBlockSize": (ViStatus, [_I, _S, _I]),
    "vx_comm_writeBlock": (ViStatus, [_I, _S, _P, _I]),
    "vx_comm_writeBlockFile": (ViStatus, [_I, _S, _S]),
    "vx_comm_readBlockSize": (ViStatus, [_I, _S, _PI]),
    "vx_comm_readBlockData": (ViStatus, [_I, _P, _I, _PI]),
    "vx_comm_readBlock": (ViStatus, [_I, _S, _P, _I, _PI]),
    "vx_comm_readBlockFile": (ViStatus, [_I, _S, _S]),
    "vx_comm_find": (ViStatus, [_P, _I, _I, _PI, _I]),
    "vx_comm_loadVisa": (ViStatus, []),
    "vx_comm_freeVisa": (None, []),
    "vx_usb_startdebug": (None, [_S]),
    "vx_usb_stopdebug": (None, []),
    "vx_comm_version": (_S, []),
    "vx_comm_statusDesc": (ViStatus, [ViStatus, _P, _I]),
    "vx_comm_lastError": (ViStatus, [_P, _I]),
    "vx_comm_readStb": (ViStatus, [_I, ctypes.POINTER(_U16)]),
    "vx_comm_trigger": (ViStatus, [_I]),
    "vx_comm_remote": (ViStatus, [_I, _U16]),
    "vx_comm_lock": (ViStatus, [_I, _I]),
    "vx_comm_unlock": (ViStatus, [_I]),
    "vx_comm_enableSrq": (ViStatus, [_I, _I]),
    "vx_comm_waitSrq": (ViStatus, [_I, _I, ctypes.POINTER(_U16), _PI]),
}


_NAMES = ("vx_comm_lib.dll",) if sys.platform == "win32" else ("libvx_comm_lib.so.0", "libvx_comm_lib.so")


def _candidates():
    env = os.environ.get("VX_COMM_LIB")
    if env:
        yield env
        return
    # A copy installed with the package (pip install with the library
    # bundled) comes first, then what the loader's search path finds.
    here = os.path.dirname(os.path.abspath(__file__))
    for name in _NAMES:
        path = os.path.join(here, name)
        if os.path.exists(path):
            yield path
    found = ctypes.util.find_library("vx_comm_lib")
    if found:
        yield found
    yield from _NAMES


def load_library(path: Optional[str] = None) -> ctypes.CDLL:
    """Loads vx_comm_lib once per process and returns it.

    Looks, in this order, at `path`, the environment variable VX_COMM_LIB,
    the package's own folder, then the loader's search path
    (ctypes.util.find_library, then the plain library name). A later
    call with another path is refused: one process has one library.
    """
    global _lib
    with _lock:
        if _lib is not None:
            if path is not None and os.path.abspath(path) != getattr(_lib, "_vx_path", None):
                raise RuntimeError("vx_comm_lib is already loaded from %s" % _lib._name)
            return _lib
        tried = []
        for name in ([path] if path else _candidates()):
            try:
                lib = ctypes.CDLL(name)
            except OSError as e:
                tried.append("%s (%s)" % (name, e))
                continue
            for fn, (res, args) in _SIGNATURES.items():
                f = getattr(lib, fn, None)
                if f is not None:
                    f.restype = res
                    f.argtypes = args
            lib._vx_path = os.path.abspath(name) if os.path.sep in name else name
            _lib = lib
            return lib
        raise OSError("vx_comm_lib could not be loaded; tried: " + "; ".join(tried))


def lib() -> ctypes.CDLL:
    return _lib if _lib is not None else load_library()


def function(name: str):
    f = getattr(lib(), name, None)
    if f is None:
        raise NotImplementedError("this build of vx_comm_lib has no %s" % name)
    return f


def bare_function(name: str):
    """The export without argument conversion, for the per-byte hot paths:
    callers pass only Python ints (ViInt32), ctypes buffers, byref() and
    None, which ctypes hands over as they are."""
    f = function(name)
    bare = lib()[name]
    bare.restype = f.restype
    return bare


def last_error() -> str:
    """Why the library's last call on this thread failed, in its call log's
    words, without the "vx_comm_x() error: " that opens it; "" when the
    call succeeded, when it has nothing to add to its status (a bare
    status name), or when the library is older than vx_comm_lastError."""
    f = getattr(lib(), "vx_comm_lastError", None)
    if f is None:
        return ""
    buf = ctypes.create_string_buffer(1024)
    f(buf, len(buf))
    text = buf.value.decode("utf-8", "replace")
    head = text.find("() error: ")
    if text.startswith("vx_") and head >= 0 and " " not in text[:head]:
        text = text[head + len("() error: "):]
    if text.startswith("VI_ERROR_") and " " not in text:
        return ""
    return text
