"""Statuses of the library and the exceptions that carry them."""
import builtins
from typing import Optional

VI_SUCCESS = 0
VI_SUCCESS_TERM_CHAR = 0x3FFF0005
VI_SUCCESS_MAX_CNT = 0x3FFF0006
VI_ERROR_SYSTEM_ERROR = -(2**31) + 0x3FFF0000
VI_ERROR_TMO = -(2**31) + 0x3FFF0015
VI_ERROR_CONN_LOST = -(2**31) + 0x3FFF00A6
VI_ERROR_RSRC_NFOUND = -(2**31) + 0x3FFF0011
VI_ERROR_INV_RSRC_NAME = -(2**31) + 0x3FFF0012
VI_ERROR_ABORT = -(2**31) + 0x3FFF0030
VI_ERROR_RSRC_BUSY = -(2**31) + 0x3FFF0072
VI_ERROR_NSUP_OPER = -(2**31) + 0x3FFF0067
VI_ERROR_RSRC_LOCKED = -(2**31) + 0x3FFF000F
VI_ERROR_IO = -(2**31) + 0x3FFF003E
VI_ERROR_INV_PARAMETER = -(2**31) + 0x3FFF0078
VI_ERROR_NSUP_MODE = -(2**31) + 0x3FFF0046
VI_ERROR_NPERMISSION = -(2**31) + 0x3FFF00A8
VI_ERROR_NENABLED = -(2**31) + 0x3FFF002F

STATUS_NAMES = {
    VI_SUCCESS: "VI_SUCCESS",
    VI_SUCCESS_TERM_CHAR: "VI_SUCCESS_TERM_CHAR",
    VI_SUCCESS_MAX_CNT: "VI_SUCCESS_MAX_CNT",
    VI_ERROR_SYSTEM_ERROR: "VI_ERROR_SYSTEM_ERROR",
    VI_ERROR_TMO: "VI_ERROR_TMO",
    VI_ERROR_CONN_LOST: "VI_ERROR_CONN_LOST",
    VI_ERROR_RSRC_NFOUND: "VI_ERROR_RSRC_NFOUND",
    VI_ERROR_INV_RSRC_NAME: "VI_ERROR_INV_RSRC_NAME",
    VI_ERROR_ABORT: "VI_ERROR_ABORT",
    VI_ERROR_RSRC_BUSY: "VI_ERROR_RSRC_BUSY",
    VI_ERROR_NSUP_OPER: "VI_ERROR_NSUP_OPER",
    VI_ERROR_RSRC_LOCKED: "VI_ERROR_RSRC_LOCKED",
    VI_ERROR_IO: "VI_ERROR_IO",
    VI_ERROR_INV_PARAMETER: "VI_ERROR_INV_PARAMETER",
    VI_ERROR_NSUP_MODE: "VI_ERROR_NSUP_MODE",
    VI_ERROR_NPERMISSION: "VI_ERROR_NPERMISSION",
    VI_ERROR_NENABLED: "VI_ERROR_NENABLED",
}


def status_name(status: int) -> str:
    """The VISA name of a status, or its value in hex for one we do not know
    (a VISA library's own statuses pass through VISA links unchanged)."""
    return STATUS_NAMES.get(status, "0x%08X" % (status & 0xFFFFFFFF))


class Error(Exception):
    """A call of the library returned an error status.

    `status` is the ViStatus value (also as `error_code`, the name pyvisa
    gives it), `name` its VISA name, `call` the export that returned it,
    `detail` what the binding found out beyond the status (None if nothing),
    `reason` the library's own words for the failure (vx_comm_lastError,
    "" if it had none).
    """

    def __init__(self, status: int, call: str = "", message: Optional[str] = None, reason: str = ""):
        self.status = status
        self.error_code = status
        self.name = status_name(status)
        self.call = call
        self.reason = reason
        self.detail = message or reason or None
        text = message or "%s returned %s (%d)%s" % (call or "call", self.name, status, ": " + reason if reason else "")
        super().__init__(text)


class TimeoutError(Error, builtins.TimeoutError):  # noqa: A001
    """VI_ERROR_TMO: the instrument did not answer in time."""


class ConnectionLostError(Error, ConnectionError):
    """VI_ERROR_CONN_LOST: the link is closed, invalid, or its peer is gone."""


class NotSupportedError(Error):
    """VI_ERROR_NSUP_OPER: the link's route has no such operation (a status
    byte read, trigger, remote control or service requests over raw TCP or
    direct USB, or a VISA library without the function). Nothing was sent."""


class FileError(Error, OSError):
    """A local file of a block transfer cannot be read or written; also an
    OSError, with `filename`, `errno` and `strerror` set."""

    def __init__(self, call: str, path: str, error: OSError):
        super().__init__(VI_ERROR_SYSTEM_ERROR, call, "%s: %s" % (path, error.strerror or error))
        self.filename = path
        self.errno = error.errno
        self.strerror = error.strerror


class OpenError(Error):
    """No link was made: the address is malformed, a host name did not
    resolve, or vx_comm_open reported no connection (linkId -1), for which
    the status is VI_ERROR_RSRC_NFOUND."""


def check(status: int, call: str) -> int:
    """Returns a success or warning status; raises for an error."""
    if status >= 0:
        return status
    from ._library import last_error  # the library's words, read before any other call

    reason = last_error()
    if status == VI_ERROR_TMO:
        raise TimeoutError(status, call, reason=reason)
    if status == VI_ERROR_CONN_LOST:
        raise ConnectionLostError(status, call, reason=reason)
    if status == VI_ERROR_NSUP_OPER:
        raise NotSupportedError(status, call, reason=reason)
    raise Error(status, call, reason=reason)
