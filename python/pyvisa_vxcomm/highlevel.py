"""The pyvisa backend: VisaLibraryBase over the vxcomm binding.

Sessions are vxcomm.Instrument objects; pyvisa's own code on top does the
terminations, the ASCII and binary value formats and the with statement.
Every call answers with a StatusCode through handle_return_value (which
raises pyvisa's VisaIOError for an error); calls this library cannot do
answer VI_ERROR_NSUP_OPER. read_stb, assert_trigger and gpib_control_ren
go to the library's controls, which answer VI_ERROR_NSUP_OPER themselves
on a route without them (raw TCP, direct USB). lock and unlock (and an
open with AccessModes.exclusive_lock) take the instrument's exclusive lock
through the library; shared locks answer VI_ERROR_NSUP_OPER.
"""
import itertools
import threading
import warnings
from typing import Any, Dict, Optional, Tuple

from pyvisa import constants, errors, highlevel, rname
from pyvisa.constants import ResourceAttribute as A
from pyvisa.constants import StatusCode
from pyvisa.util import LibraryPath

import vxcomm
from vxcomm import _instrument

# The vendor and product of the instruments the direct USB route serves.
USB_VENDOR, USB_PRODUCT = 0x03EB, 0xAFFF
TCP_PORT = 18
VI_TMO_INFINITE = constants.VI_TMO_INFINITE
FIND_TIMEOUT_MS = 500  # the LAN search's wait in list_resources
OPEN_TIMEOUT_MS = 10000  # a TCP connection's wait for open_timeout VI_TMO_IMMEDIATE, as pyvisa-py's
ALL_INSTRUMENTS = "?*::INSTR"  # pyvisa's default query


def to_library(name: str) -> Tuple[str, str]:
    """(library address, pyvisa class) of a pyvisa resource name; raises
    rname.InvalidResourceName. Port 18 and this maker's USB instruments take
    the library's own routes; every other name goes to the library as it is
    (the VISA library's, or raw TCP, VXI-11 and HiSLIP without one)."""
    parsed = rname.parse_resource_name(name)
    if isinstance(parsed, rname.TCPIPSocket) and int(parsed.port) == TCP_PORT:
        return "TCP-" + parsed.host_address, "SOCKET"
    if (isinstance(parsed, rname.USBInstr) and int(parsed.manufacturer_id, 0) == USB_VENDOR
            and int(parsed.model_code, 0) == USB_PRODUCT and parsed.usb_interface_number in ("", "0")):
        return "USB-" + parsed.serial_number, "INSTR"
    return name, parsed.resource_class


def to_pyvisa(address: str) -> str:
    """The pyvisa resource name of an address the library found."""
    route = _instrument.route_of(address)
    if route == _instrument.TCP:
        return "TCPIP0::%s::%d::SOCKET" % (address[4:] if address.startswith("TCP-") else address, TCP_PORT)
    if route == _instrument.USB:
        return "USB0::0x%04X::0x%04X::%s::INSTR" % (USB_VENDOR, USB_PRODUCT, address[4:])
    return address


class _Session:
    """One open resource: its link and the VISA attributes kept here."""

    def __init__(self, name: str, rclass: str, inst: vxcomm.Instrument):
        self.name = name
        self.parsed = rname.parse_resource_name(name)
        self.rclass = rclass
        self.inst = inst
        self.tmo = 2000
        self.termchar = 0x0A
        self.termchar_en = False
        self.send_end = True
        self.io_prot = constants.VI_PROT_NORMAL
        # Where the reply stream stands: at the start of a reply, and how
        # many bytes of a definite-length block are still ahead.
        self.fresh = True
        self.opaque = 0


class _QueryUnit:
    """A query holds its session's lock from the write to the end of the
    read, so threads sharing a resource never get each other's replies."""

    _unit_lock: Any = threading.RLock()  # until open() gives the session's

    def open(self, *args: Any, **kwargs: Any) -> None:
        super().open(*args, **kwargs)
        self._unit_lock = self.visalib.session_lock(self.session)

    def query(self, *args: Any, **kwargs: Any) -> Any:
        with self._unit_lock:
            return super().query(*args, **kwargs)

    def query_ascii_values(self, *args: Any, **kwargs: Any) -> Any:
        with self._unit_lock:
            return super().query_ascii_values(*args, **kwargs)

    def query_binary_values(self, *args: Any, **kwargs: Any) -> Any:
        with self._unit_lock:
            return super().query_binary_values(*args, **kwargs)


_unit_classes: Dict[type, type] = {}


class _UnitClasses(dict):
    """The resource classes of one ResourceManager, each with query as a
    unit; pyvisa's own table (and other backends' managers) stay as they are."""

    def __init__(self, table: Dict[Any, type]):
        super().__init__()
        self._table = table

    def __getitem__(self, key: Any) -> type:
        cls = self._table[key]
        if not hasattr(cls, "query_binary_values"):
            return cls
        if cls not in _unit_classes:
            _unit_classes[cls] = type(cls.__name__, (_QueryUnit, cls), {"__module__": cls.__module__})
        return _unit_classes[cls]


def _status_of(error: vxcomm.Error) -> int:
    code = error.status
    return code if code < 0 else StatusCode.error_system_error


class VxCommVisaLibrary(highlevel.VisaLibraryBase):
    """pyvisa's ResourceManager("@vxcomm")."""

    @staticmethod
    def get_library_paths() -> Tuple[LibraryPath, ...]:
        return (LibraryPath("unset"),)

    @staticmethod
    def get_debug_info() -> Dict[str, Any]:
        try:
            where = vxcomm._library.lib()._vx_path
        except OSError as e:
            where = "not found: %s" % e
        return {"Version": vxcomm.__version__, "vx_comm_lib": where}

    def _init(self) -> None:
        # A library that cannot be found fails the ResourceManager at once,
        # with the places tried (pyvisa reports an OSError from here).
        vxcomm.load_library()
        self.sessions: Dict[int, Any] = {}
        self._handles = itertools.count(1000001)
        self._rm_session: Optional[int] = None
        self._manager = None

    # pyvisa sets this once it made the ResourceManager: the manager then
    # hands out resource classes whose queries are units.
    @property
    def resource_manager(self) -> Any:
        return self._manager

    @resource_manager.setter
    def resource_manager(self, manager: Any) -> None:
        self._manager = manager
        if manager is not None and not isinstance(manager.__dict__.get("_resource_classes"), _UnitClasses):
            manager._resource_classes = _UnitClasses(type(manager)._resource_classes)

    def _new_handle(self, what: Any) -> int:
        handle = next(self._handles)  # never reused, so a stale handle finds nothing
        self.sessions[handle] = what
        return handle

    def _session(self, session: Any) -> Optional[_Session]:
        found = self.sessions.get(session)
        return found if isinstance(found, _Session) else None

    def session_lock(self, session: Any) -> Any:
        sess = self._session(session)
        return sess.inst.lock if sess else threading.RLock()

    def _fail(self, session: Any, error: vxcomm.Error) -> StatusCode:
        try:
            return self.handle_return_value(session, _status_of(error))
        except errors.VisaIOError as e:
            # What the binding found out (the address it reached, why no
            # link was made) goes with pyvisa's text of the status.
            if error.detail:
                e.args = ("%s\n%s" % (e, error.detail),)
            raise

    # --------------------------------------------------- manager --

    def open_default_resource_manager(self) -> Tuple[int, StatusCode]:
        if self._rm_session is None:
            self._rm_session = self._new_handle(self)
        return self._rm_session, self.handle_return_value(None, StatusCode.success)

    def list_resources(self, session: Any, query: str = ALL_INSTRUMENTS) -> Tuple[str, ...]:
        interfaces = ["lan", "vxi11", "mdns", "usb", "usbtmc"]
        try:
            vxcomm.load_visa()
            interfaces.append("visa")
        except vxcomm.Error:
            pass  # no VISA library here: the other routes still search
        try:
            # A VISA library may list a VXI-11 instrument the library found too.
            names = list(dict.fromkeys(to_pyvisa(d.address) for d in vxcomm.find(interfaces, timeout=FIND_TIMEOUT_MS)))
        except vxcomm.Error as e:
            if e.status != vxcomm.VI_ERROR_RSRC_BUSY:
                self._fail(session, e)
                return ()
            names = []
        # The library searches only while no link is open; the open ones
        # are there for sure.
        names += [s.name for s in self.sessions.values() if isinstance(s, _Session) and s.name not in names]
        found = rname.filter(names, query)
        if query == ALL_INSTRUMENTS:
            # pyvisa's default asks for every instrument; the LAN ones have
            # no name but their SOCKET one.
            found += tuple(n for n in rname.filter(names, "TCPIP?*SOCKET") if n not in found)
        return found

    def open(self, session: Any, resource_name: str,
             access_mode: constants.AccessModes = constants.AccessModes.no_lock,
             open_timeout: int = constants.VI_TMO_IMMEDIATE) -> Tuple[int, StatusCode]:
        if session not in self.sessions:
            return 0, self.handle_return_value(None, StatusCode.error_invalid_object)
        exclusive = access_mode == constants.AccessModes.exclusive_lock
        if access_mode not in (constants.AccessModes.no_lock, 0) and not exclusive:
            return 0, self.handle_return_value(None, StatusCode.error_nonsupported_operation)
        try:
            address, rclass = to_library(resource_name)
        except rname.InvalidResourceName:
            return 0, self.handle_return_value(None, StatusCode.error_invalid_resource_name)
        except ValueError:
            return 0, self.handle_return_value(None, StatusCode.error_resource_not_found)
        if open_timeout == VI_TMO_INFINITE:
            wait = None
        else:
            wait = int(open_timeout) or OPEN_TIMEOUT_MS
        try:
            inst = vxcomm.open(address, timeout=2000, write_termination="", open_timeout=wait)
        except vxcomm.Error as e:
            return 0, self._fail(None, e)
        except (ValueError, UnicodeError):  # a NUL, or text the encoding cannot carry
            return 0, self.handle_return_value(None, StatusCode.error_invalid_resource_name)
        if exclusive:
            # The lock waits as long as the open may.
            try:
                inst.lock(wait)
            except vxcomm.Error as e:
                inst.close()
                return 0, self._fail(None, e)
        handle = self._new_handle(_Session(resource_name, rclass, inst))
        return handle, self.handle_return_value(handle, StatusCode.success)

    def close(self, session: Any) -> StatusCode:
        what = self.sessions.get(session)
        if what is None:
            return self.handle_return_value(session, StatusCode.error_invalid_object)
        if isinstance(what, _Session):
            del self.sessions[session]
            what.inst.close()
        return self.handle_return_value(session, StatusCode.success)

    # ------------------------------------------------------ I/O --

    def _passed(self, session: Any, status: StatusCode) -> StatusCode:
        """handle_return_value() of a success or warning StatusCode member,
        for the reads and writes: the same bookkeeping and warnings without
        converting the status again, a good part of a short query's time."""
        self._last_status = status
        self._last_status_in_session[session] = status
        if status in self.issue_warning_on and status not in self._ignore_warning_in_session[session]:
            warnings.warn(errors.VisaIOWarning(status), stacklevel=2)
        return status

    def read(self, session: Any, count: int) -> Tuple[bytes, StatusCode]:
        # A byte equal to the termination character inside a definite-length
        # block is data, not the end of the reply: the read runs on to the
        # block's end, so a block comes in a few large reads, not one read
        # per line feed in its data.
        sess = self.sessions.get(session)
        if sess.__class__ is not _Session:
            return b"", self.handle_return_value(session, StatusCode.error_invalid_object)
        inst = sess.inst
        block_end = False
        try:
            if sess.termchar_en:
                # The usual short reply comes in one read, handed on as it is.
                if sess.fresh:
                    data = inst.read_whole_line(sess.termchar, count)
                    if data is not None:
                        return data, self._passed(session, StatusCode.success_termination_character_read)
                data, ended, sess.opaque, block_end = inst.read_reply(sess.termchar, count, sess.opaque, sess.fresh)
            else:
                data, ended = inst.read_some(count), False
                sess.opaque = max(0, sess.opaque - len(data))
            sess.fresh = ended or block_end
        except vxcomm.Error as e:
            return b"", self._fail(session, e)
        except KeyboardInterrupt:
            sess.fresh, sess.opaque = True, 0  # the link was cleared
            raise
        if ended:
            status = StatusCode.success_termination_character_read
        elif block_end:
            status = StatusCode.success  # a block is a whole message: no terminator needs to follow
        elif len(data) >= count:
            status = StatusCode.success_max_count_read
        else:
            status = StatusCode.success
        return data, self._passed(session, status)

    def write(self, session: Any, data: bytes) -> Tuple[int, StatusCode]:
        sess = self.sessions.get(session)
        if sess.__class__ is not _Session:
            return 0, self.handle_return_value(session, StatusCode.error_invalid_object)
        inst = sess.inst
        try:
            with inst.lock:
                sent = inst.write_raw(data)
                if not sess.opaque and not inst.buffered():
                    sess.fresh = True  # nothing of an older reply is left: a new one begins
        except vxcomm.Error as e:
            return 0, self._fail(session, e)
        return sent, self._passed(session, StatusCode.success)

    def clear(self, session: Any) -> StatusCode:
        sess = self._session(session)
        if sess is None:
            return self.handle_return_value(session, StatusCode.error_invalid_object)
        try:
            sess.inst.clear()
        except vxcomm.Error as e:
            return self._fail(session, e)
        sess.fresh, sess.opaque = True, 0
        return self.handle_return_value(session, StatusCode.success)

    # ------------------------------------------------- controls --

    def read_stb(self, session: Any) -> Tuple[int, StatusCode]:
        sess = self._session(session)
        if sess is None:
            return 0, self.handle_return_value(session, StatusCode.error_invalid_object)
        try:
            stb = sess.inst.read_stb()
        except vxcomm.Error as e:
            return 0, self._fail(session, e)
        return stb, self.handle_return_value(session, StatusCode.success)

    def assert_trigger(self, session: Any, protocol: constants.TriggerProtocol) -> StatusCode:
        sess = self._session(session)
        if sess is None:
            return self.handle_return_value(session, StatusCode.error_invalid_object)
        if protocol != constants.TriggerProtocol.default:
            return self.handle_return_value(session, StatusCode.error_invalid_protocol)
        return self._control(session, sess.inst.trigger)

    def lock(self, session: Any, lock_type: constants.Lock, timeout: int,
             requested_key: Optional[str] = None) -> Tuple[str, StatusCode]:
        sess = self._session(session)
        if sess is None:
            return "", self.handle_return_value(session, StatusCode.error_invalid_object)
        if lock_type != constants.AccessModes.exclusive_lock:
            return "", self.handle_return_value(session, StatusCode.error_nonsupported_operation)
        wait = None if timeout is None or timeout == VI_TMO_INFINITE or timeout == float("inf") else int(timeout)
        try:
            sess.inst.lock(wait)
        except vxcomm.Error as e:
            return "", self._fail(session, e)
        return "", self.handle_return_value(session, StatusCode.success)

    def unlock(self, session: Any) -> StatusCode:
        sess = self._session(session)
        if sess is None:
            return self.handle_return_value(session, StatusCode.error_invalid_object)
        try:
            sess.inst.unlock()
        except vxcomm.Error as e:
            return self._fail(session, e)
        return self.handle_return_value(session, StatusCode.success)

    def gpib_control_ren(self, session: Any, mode: constants.RENLineOperation) -> StatusCode:
        sess = self._session(session)
        if sess is None:
            return self.handle_return_value(session, StatusCode.error_invalid_object)
        if not isinstance(mode, int) or not 0 <= mode <= constants.VI_GPIB_REN_ADDRESS_GTL:
            return self.handle_return_value(session, StatusCode.error_invalid_mode)
        return self._control(session, lambda: sess.inst.remote(int(mode)))

    def _control(self, session: Any, call: Any) -> StatusCode:
        try:
            call()
        except vxcomm.Error as e:
            return self._fail(session, e)
        return self.handle_return_value(session, StatusCode.success)

    # No events are ever enabled here; pyvisa turns them off on close.
    def disable_event(self, session: Any, event_type: Any, mechanism: Any) -> StatusCode:
        return self.handle_return_value(session, StatusCode.success)

    def discard_events(self, session: Any, event_type: Any, mechanism: Any) -> StatusCode:
        return self.handle_return_value(session, StatusCode.success)

    # ------------------------------------------------ attributes --

    def get_attribute(self, session: Any, attribute: Any) -> Tuple[Any, StatusCode]:
        sess = self._session(session)
        if sess is None:
            return None, self.handle_return_value(session, StatusCode.error_invalid_object)
        values = {
            A.timeout_value: sess.tmo,
            A.termchar: sess.termchar,
            A.termchar_enabled: sess.termchar_en,
            A.send_end_enabled: sess.send_end,
            A.suppress_end_enabled: False,
            A.io_prot: sess.io_prot,
            A.resource_name: sess.name,
            A.resource_class: sess.rclass,
            A.interface_type: sess.parsed.interface_type_const,
            A.interface_number: int(getattr(sess.parsed, "board", 0) or 0),
        }
        if attribute not in values:
            return None, self.handle_return_value(session, StatusCode.error_nonsupported_attribute)
        return values[attribute], self.handle_return_value(session, StatusCode.success)

    def set_attribute(self, session: Any, attribute: Any, attribute_state: Any) -> StatusCode:
        sess = self._session(session)
        if sess is None:
            return self.handle_return_value(session, StatusCode.error_invalid_object)
        state = attribute_state
        try:
            if attribute == A.timeout_value:
                state = int(state)
                if not 0 <= state <= VI_TMO_INFINITE:
                    raise ValueError
                sess.inst.timeout = None if state == VI_TMO_INFINITE else state
                sess.tmo = state
            elif attribute == A.termchar:
                if not 0 <= int(state) <= 255:
                    raise ValueError
                sess.termchar = int(state)
            elif attribute == A.termchar_enabled:
                sess.termchar_en = bool(state)
            elif attribute == A.send_end_enabled:
                sess.send_end = bool(state)
            elif attribute == A.io_prot:
                if int(state) not in (constants.VI_PROT_NORMAL, constants.VI_PROT_4882_STRS):
                    raise ValueError
                sess.io_prot = int(state)
            elif attribute == A.suppress_end_enabled and not state:
                pass
            elif attribute in (A.resource_name, A.resource_class, A.interface_type, A.interface_number):
                return self.handle_return_value(session, StatusCode.error_attribute_read_only)
            else:
                return self.handle_return_value(session, StatusCode.error_nonsupported_attribute)
        except (TypeError, ValueError):
            return self.handle_return_value(session, StatusCode.error_nonsupported_attribute_state)
        except vxcomm.Error as e:
            return self._fail(session, e)
        return self.handle_return_value(session, StatusCode.success)


def _not_supported(name: str):
    def call(self: VxCommVisaLibrary, session: Any = None, *args: Any, **kwargs: Any) -> Any:
        return self.handle_return_value(session if isinstance(session, int) else None,
                                         StatusCode.error_nonsupported_operation)

    call.__name__ = name
    call.__doc__ = "Not supported by vx_comm_lib: answers VI_ERROR_NSUP_OPER."
    return call


# Every call of the base class that only raises NotImplementedError answers
# VI_ERROR_NSUP_OPER here instead.
for _name, _fn in list(vars(highlevel.VisaLibraryBase).items()):
    code = getattr(_fn, "__code__", None)
    if code is not None and "NotImplementedError" in code.co_names and _name not in vars(VxCommVisaLibrary):
        setattr(VxCommVisaLibrary, _name, _not_supported(_name))
