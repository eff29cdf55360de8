"""The pyvisa backend: VisaLibraryBase over the vxcomm binding.

Sessions are vxcomm.Instrument objects; pyvisa's own code on top does the
terminations, the ASCII and binary value formats and the with statement.
Every call answers with a StatusCode through handle_return_value (which
raises pyvisa's VisaIOError for an error); calls this library cannot do
answer VI_ERROR_NSUP_OPER. read_stb, assert_trigger and gpib_control_ren
go to the library's controls, which answer VI_ERROR_NSUP_OPER themselves
on a route without them (raw TCP, direct USB). lock and unlock (and an
open with AccessModes.exclusive_lock) take the instrument's exclusive lock
through the library; shared locks answer VI_ERROR_NSUP_OPER. Service
request events (the queue and handler mechanisms) come from the library's
vx_comm_enableSrq / vx_comm_waitSrq, taken by one thread per session.
"""
import collections
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
SRQ = constants.EventType.service_request
ALL_EVENTS = constants.EventType.all_enabled
QUEUE, HANDLER = constants.EventMechanism.queue, constants.EventMechanism.handler
SUSPEND = constants.EventMechanism.suspend_handler
ANY_MECHANISMS = QUEUE | HANDLER | SUSPEND
RQS = 0x40  # the status byte's request service bit
EVENT_QUEUE_LENGTH = 50  # VI_ATTR_MAX_QUEUE_LENGTH's default
EVENT_SLICE_MS = 200  # the event thread's wait on the library, so that it ends promptly


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
        self.events = _Events()


class _EventContext:
    """One service request handed out by wait_on_event or to a handler,
    until closed."""

    def __init__(self, session: int):
        self.session = session
        self.event_type = SRQ


class _Events:
    """A session's service request events: the mechanisms enabled, the
    handlers installed, the events queued for wait_on_event, and the thread
    that takes the requests from the library while any mechanism is on.
    The library's wait reads the status byte with each request (a serial
    poll, which lets the instrument drop RQS), so the first read_stb after
    an event adds that byte's RQS to the one it reads."""

    def __init__(self) -> None:
        self.lock = threading.Condition()
        self.mechanisms = 0
        self.handlers: list = []  # (handler, user_handle)
        self.queue: collections.deque = collections.deque()
        self.overflowed = False
        self.thread: Optional[threading.Thread] = None  # the one taking events now
        self.stb: Optional[int] = None  # the status byte of the last event, not yet read_stb's


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
        names += [s.name for s in list(self.sessions.values()) if isinstance(s, _Session) and s.name not in names]
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
            with what.events.lock:
                what.events.mechanisms = 0
            self._stop_events(what)
            what.inst.close()
        elif isinstance(what, _EventContext):
            del self.sessions[session]
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
        with sess.events.lock:
            taken, sess.events.stb = sess.events.stb, None
        try:
            stb = sess.inst.read_stb()
        except vxcomm.Error as e:
            return 0, self._fail(session, e)
        # The library's own serial poll at the request let the instrument
        # drop RQS; the first read after the event still shows it.
        if taken is not None:
            stb |= taken & RQS
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

    # ---------------------------------------------------- events --

    def _event_args(self, session: Any, event_type: Any, mechanism: Any,
                    enabling: bool = False) -> Tuple[Optional[_Session], Optional[StatusCode]]:
        """The session and None, or None and the refusal: an unknown session,
        an event other than the service request (VI_ERROR_INV_EVENT), a
        mechanism other than the queue and handlers (VI_ERROR_NSUP_MECH for
        suspended handlers, else VI_ERROR_INV_MECH)."""
        sess = self._session(session)
        if sess is None:
            return None, StatusCode.error_invalid_object
        if event_type != SRQ and (enabling or event_type != ALL_EVENTS):
            return None, StatusCode.error_invalid_event
        mech = int(mechanism)
        if not enabling and (mech == constants.EventMechanism.all or 0 < mech <= ANY_MECHANISMS):
            return sess, None
        if mech in (QUEUE, HANDLER, QUEUE | HANDLER):
            return sess, None
        if mech in (SUSPEND, QUEUE | SUSPEND):
            return None, StatusCode.error_nonsupported_mechanism
        return None, StatusCode.error_invalid_mechanism

    def enable_event(self, session: Any, event_type: Any, mechanism: Any, context: None = None) -> StatusCode:
        sess, refused = self._event_args(session, event_type, mechanism, enabling=True)
        if sess is None:
            return self.handle_return_value(session, refused)
        ev = sess.events
        mech = int(mechanism)
        with ev.lock:
            if mech & HANDLER and not ev.handlers:
                return self.handle_return_value(session, StatusCode.error_handler_not_installed)
            if ev.mechanisms & mech == mech:
                return self.handle_return_value(session, StatusCode.success_event_already_enabled)
            starting = ev.mechanisms == 0
        if starting:
            try:
                sess.inst.enable_srq()
            except vxcomm.Error as e:
                return self._fail(session, e)
        with ev.lock:
            ev.mechanisms |= mech
            if ev.thread is None:
                ev.thread = threading.Thread(target=self._take_events, args=(session, sess),
                                             name="vxcomm events %s" % session, daemon=True)
                ev.thread.start()
        return self.handle_return_value(session, StatusCode.success)

    def disable_event(self, session: Any, event_type: Any, mechanism: Any) -> StatusCode:
        sess, refused = self._event_args(session, event_type, mechanism)
        if sess is None:
            return self.handle_return_value(session, refused)
        ev = sess.events
        with ev.lock:
            was = ev.mechanisms
            ev.mechanisms &= ~int(mechanism)
            off = was and not ev.mechanisms
        if not was:
            return self.handle_return_value(session, StatusCode.success_event_already_disabled)
        if off:
            self._stop_events(sess)
        return self.handle_return_value(session, StatusCode.success)

    def discard_events(self, session: Any, event_type: Any, mechanism: Any) -> StatusCode:
        sess, refused = self._event_args(session, event_type, mechanism)
        if sess is None:
            return self.handle_return_value(session, refused)
        with sess.events.lock:
            empty = not sess.events.queue
            sess.events.queue.clear()
        return self.handle_return_value(session, StatusCode.success_queue_already_empty if empty
                                        else StatusCode.success)

    def wait_on_event(self, session: Any, in_event_type: Any, timeout: Any) -> Tuple[Any, Any, StatusCode]:
        sess = self._session(session)
        if sess is None:
            return in_event_type, None, self.handle_return_value(session, StatusCode.error_invalid_object)
        if in_event_type not in (SRQ, ALL_EVENTS):
            return in_event_type, None, self.handle_return_value(session, StatusCode.error_invalid_event)
        ev = sess.events
        forever = timeout is None or timeout == VI_TMO_INFINITE or timeout == float("inf")
        with ev.lock:
            # Checked on every pass: each wake-up counts against the one limit.
            ready = lambda: ev.queue or not ev.mechanisms & QUEUE  # noqa: E731
            ev.lock.wait_for(ready, None if forever else max(int(timeout), 0) / 1000.0)
            if not ev.mechanisms & QUEUE:
                status = StatusCode.error_not_enabled
            elif not ev.queue:
                status = StatusCode.error_timeout
            else:
                stb = ev.queue.popleft()
                ev.stb = stb
                overflowed, ev.overflowed = ev.overflowed, False
                context = self._new_handle(_EventContext(session))
                return SRQ, context, self.handle_return_value(
                    session, StatusCode.warning_queue_overflow if overflowed else StatusCode.success)
        return in_event_type, None, self.handle_return_value(session, status)

    def install_handler(self, session: Any, event_type: Any, handler: Any,
                        user_handle: Any) -> Tuple[Any, Any, Any, StatusCode]:
        sess = self._session(session)
        if sess is None:
            return handler, user_handle, handler, self.handle_return_value(session,
                                                                            StatusCode.error_invalid_object)
        if event_type != SRQ:
            return handler, user_handle, handler, self.handle_return_value(session,
                                                                            StatusCode.error_invalid_event)
        if not callable(handler):
            return handler, user_handle, handler, self.handle_return_value(
                session, StatusCode.error_invalid_handler_reference)
        with sess.events.lock:
            sess.events.handlers.append((handler, user_handle))
        return handler, user_handle, handler, self.handle_return_value(session, StatusCode.success)

    def uninstall_handler(self, session: Any, event_type: Any, handler: Any, user_handle: Any = None) -> StatusCode:
        sess = self._session(session)
        if sess is None:
            return self.handle_return_value(session, StatusCode.error_invalid_object)
        if event_type != SRQ:
            return self.handle_return_value(session, StatusCode.error_invalid_event)
        with sess.events.lock:
            for i, (h, u) in enumerate(sess.events.handlers):
                if h == handler and u is user_handle:
                    del sess.events.handlers[i]
                    return self.handle_return_value(session, StatusCode.success)
        return self.handle_return_value(session, StatusCode.error_invalid_handler_reference)

    def _take_events(self, session: int, sess: _Session) -> None:
        """The session's event thread: each request goes to the queue (when
        enabled, the oldest kept when it is full, as VISA does) and to every
        handler installed (when enabled), here, with a context closed once
        they return."""
        ev = sess.events
        me = threading.current_thread()
        for _ in range(1 << 62):
            with ev.lock:
                if ev.thread is not me:
                    return
            # linkId 0 (closed meanwhile) is refused as a lost connection.
            status, stb, dropped = vxcomm.Instrument._wait_srq(sess.inst._link or 0, EVENT_SLICE_MS)
            if status in (vxcomm.VI_ERROR_NENABLED, vxcomm.VI_ERROR_CONN_LOST):
                return
            if status in (vxcomm.VI_ERROR_TMO, vxcomm.VI_ERROR_ABORT):
                continue  # none came in this slice, or a clear ended it
            # A request whose status byte could not be read is an event all
            # the same; read_stb then polls.
            got: Optional[int] = stb if status >= 0 else None
            with ev.lock:
                if ev.thread is not me:
                    return
                handlers = list(ev.handlers) if ev.mechanisms & HANDLER else []
                if ev.mechanisms & QUEUE:
                    if len(ev.queue) < EVENT_QUEUE_LENGTH:
                        ev.queue.append(got)
                    else:
                        ev.overflowed = True
                    ev.overflowed = ev.overflowed or dropped > 0
                    ev.lock.notify_all()
                if handlers:
                    ev.stb = got
            for handler, user_handle in handlers:
                context = self._new_handle(_EventContext(session))
                try:
                    handler(session, SRQ, context, user_handle)
                except Exception as e:  # noqa: BLE001 - a handler's fault must not end the events
                    warnings.warn("an event handler of %s raised %r" % (sess.name, e), RuntimeWarning)
                finally:
                    self.sessions.pop(context, None)

    def _stop_events(self, sess: _Session) -> None:
        """Ends the session's event thread (and what waits on its queue); a
        handler that turns the events off from within has its thread end
        once it returns."""
        ev = sess.events
        with ev.lock:
            thread, ev.thread = ev.thread, None
            ev.queue.clear()
            ev.lock.notify_all()
        try:
            sess.inst.disable_srq()  # ends the thread's wait at once
        except vxcomm.Error:
            pass  # a link closed already has nothing to stop
        if thread is not None and thread is not threading.current_thread():
            thread.join()

    # ------------------------------------------------ attributes --

    def get_attribute(self, session: Any, attribute: Any) -> Tuple[Any, StatusCode]:
        context = self.sessions.get(session)
        if isinstance(context, _EventContext):
            if attribute != constants.EventAttribute.event_type:
                return None, self.handle_return_value(session, StatusCode.error_nonsupported_attribute)
            return context.event_type, self.handle_return_value(session, StatusCode.success)
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
