# SPDX-License-Identifier: Apache-2.0
"""vornmgr.Module: a whole module's side of the lifecycle protocol."""

import collections
import errno
import logging
import struct
import threading
import time

from . import _lib
from .client import Client
from .package import MalformedPackage, read_payload, walk_package, first_type
from .wire import (FailureReason, KeepaliveRequest, KeepaliveResponse, Mode, Module as ModuleId, ModuleDownStatus,
                   ModuleMode, ModuleStatus, State, module_from)

_log = logging.getLogger("vornmgr")

StartInfo = collections.namedtuple("StartInfo", "mode state modules_up")
StartInfo.__doc__ = """What the load and init handshake told: the system mode (Mode), the
state the manager requires of modules (State) and the modules already up (a
list of Module)."""


class ProtocolError(RuntimeError):
    """The manager answered the handshake without what it must tell."""


RETRY_INTERVAL = 5.0
"""Seconds from a handshake the manager did not answer to its next try."""

# Failures of the request itself: the manager's return does not mend them.
_LOCAL_ERRORS = (errno.EINVAL, errno.EMSGSIZE, errno.ENOTCONN)


def _manager_away(error):
    """Whether a handshake failed for want of a manager (no reply, not sent)."""
    return isinstance(error, OSError) and error.errno not in _LOCAL_ERRORS


def module_text(module):
    """The manager's text for a module identifier ("frr", "System Services"...)."""
    return _lib.mod_id_to_str(int(module)).decode()


def state_text(state):
    """The manager's text for a message type or state ("going down"...)."""
    return _lib.mod_state_to_str(int(state)).decode()


def mode_text(mode):
    """The manager's text for a mode ("Maintenance, warm"...)."""
    buffer = bytes(256)
    return _lib.mode_to_str(int(mode), buffer).decode()


def _type_text(package):
    message_type = first_type(package)
    return "nothing" if message_type is None else state_text(message_type)


def _enum_or_int(enumeration, value):
    try:
        return enumeration(value)
    except ValueError:
        return value


class Module:
    """A module of the switch that lives with vornmgrd, as a C module does.

    ``module`` is a name as vornmgr-modsim spells it ("frr", "bgp", "ospf",
    "stp", "trelld", "swivend", "sdk", "system-services") or a Module value.

    start() registers, then runs the load and init handshake. From then on,
    on libvornmgr's thread, the object answers every broadcast it owes an
    answer, exactly as the C modules do:

    - every GO_DOWN, whichever module it names, with a GO_DOWN answer whose
      failure reason is what ``on_go_down(module, mode)`` returns (none when
      it is not given or returns None; an exception it raises is logged and
      answered BUSY);
    - every KEEP_ALIVE_REQ and MODULE_STATUS_REQ, with this module's mode and
      state;
    - a COME_UP for all modules or for this one, with the handshake again,
      then ``on_come_up(mode)``.

    A COME_UP handshake the manager did not answer (a request timed out or
    could not be sent: the manager was away, e.g. restarting) stays pending,
    the module reporting itself LOAD_COMPLETE meanwhile. It runs again after
    the manager's next broadcast (answered first) and at the latest
    RETRY_INTERVAL seconds after the last try, until it succeeds (then
    ``on_come_up(mode)`` follows) or a COME_UP, or a GO_DOWN or DOWN for this
    module, supersedes it. One the manager refused is not tried again.

    The callbacks run on the library's thread (``on_come_up`` after a retry
    that no broadcast set off runs on the module's retry thread) and hold up
    the manager's take-down or bring-up while they run. ``mode`` and ``state`` are the
    module's mode and state as the manager last told them. stop()
    unregisters. As a context manager the object starts on entry and stops on
    exit.
    """

    def __init__(self, module, on_go_down=None, on_come_up=None):
        self.module = module_from(module)
        self.on_go_down = on_go_down
        self.on_come_up = on_come_up
        self._lock = threading.Lock()  # guards mode and state (start() and the callback thread)
        self._mode = Mode.REBOOT_COLD
        self._state = State.UP
        self.modules_up = []
        self._client = Client(self.module, self._on_broadcast)
        self._name = module_text(self.module)
        # The handshake runs on the library's thread (COME_UP, and after a
        # broadcast while one is pending), on the retry thread and in start();
        # one at a time, or their requests and the state their replies set
        # would interleave. Guards the turn and the pending handshake; no
        # request is sent while it is held.
        self._handshake = threading.Condition()
        self._handshake_running = False
        self._pending_mode = None  # the COME_UP's mode of a pending handshake
        self._retry_at = 0.0  # time.monotonic() of its next try
        # Counts the broadcasts that superseded any pending handshake, so that
        # no retry follows a package holding one.
        self._orders = 0
        self._stopping = False
        self._retry_thread = None

    @property
    def mode(self):
        with self._lock:
            return _enum_or_int(Mode, self._mode)

    @property
    def state(self):
        with self._lock:
            return _enum_or_int(State, self._state)

    def _set(self, mode=None, state=None):
        with self._lock:
            if mode is not None:
                self._mode = mode
            if state is not None:
                self._state = state

    def _own_status(self):
        with self._lock:
            return ModuleStatus(ModuleMode(self.module, self._mode, self._state), FailureReason.NO_ERROR)

    # -- lifecycle ------------------------------------------------------------

    def start(self):
        """Registers and runs the handshake; returns a StartInfo.

        Raises OSError when registering or a handshake request fails, and
        ProtocolError when a reply lacks MODE_INFO or UP; the module is then
        unregistered again.
        """
        self._client.register()
        self._supersede(run_next=True)
        try:
            info = self._load_complete()
            self._init_complete()
        except BaseException:
            # Given back before unregistering, which waits for a COME_UP
            # handler that may be waiting for the turn.
            self._release()
            try:
                self._client.unregister()
            except OSError:
                pass
            raise
        self._release()
        _log.info("%s: up, mode %s, state %s", self._name, mode_text(self._mode), state_text(self._state))
        with self._handshake:
            self._stopping = False
        self._retry_thread = threading.Thread(target=self._retry_when_due, name=f"vornmgr {self._name} retry",
                                              daemon=True)
        self._retry_thread.start()
        return info

    def stop(self):
        """Unregisters; broadcasts are no longer answered once it returns."""
        with self._handshake:
            self._stopping = True
            self._handshake.notify_all()
        if self._retry_thread is not None:
            # A retry in progress ends first: at most two request time-outs.
            self._retry_thread.join()
            self._retry_thread = None
        self._client.unregister()
        _log.info("%s: unregistered", self._name)

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc_info):
        self.stop()
        return False

    # -- the handshake ----------------------------------------------------------

    def _messages(self, reply, what):
        try:
            yield from walk_package(reply)
        except MalformedPackage as error:
            _log.error("%s: %s: %s, rest of the reply dropped", self._name, what, error)

    def _load_complete(self):
        with self._lock:
            status = ModuleStatus(ModuleMode(self.module, self._mode, State.LOAD_COMPLETE), FailureReason.NO_ERROR)
        reply = self._client.request(State.LOAD_COMPLETE, status)
        info = None
        modules_up = []
        for message in self._messages(reply, "LOAD_COMPLETE"):
            if message.type == State.MODE_INFO:
                told = read_payload(message, ModuleMode)
                self._set(told.mode, told.state)
                info = (told.mode, told.state)
            elif message.type == State.MOD_LIST:
                count = len(message.payload) // 4
                values = struct.unpack(f"={count}i", message.payload[:4 * count])
                modules_up = [_enum_or_int(ModuleId, value) for value in values]
            else:
                _log.error("%s: LOAD_COMPLETE: unexpected %s (0x%x) in the answer", self._name,
                           state_text(message.type), message.type)
        if info is None:
            raise ProtocolError(f"LOAD_COMPLETE answered with {_type_text(reply)}, without the system mode")
        self.modules_up = modules_up
        return StartInfo(_enum_or_int(Mode, info[0]), _enum_or_int(State, info[1]), modules_up)

    def _init_complete(self):
        with self._lock:
            status = ModuleStatus(ModuleMode(self.module, self._mode, State.INIT_COMPLETE), FailureReason.NO_ERROR)
        reply = self._client.request(State.INIT_COMPLETE, status)
        up = None
        for message in self._messages(reply, "INIT_COMPLETE"):
            if message.type == State.UP:
                up = read_payload(message, ModuleStatus)
                self._set(state=up.mode.state)
        if up is None:
            raise ProtocolError(f"INIT_COMPLETE answered with {_type_text(reply)}, not up")

    def _run_handshake(self):
        """Both requests, with the turn held; returns the error that ended it, or None."""
        try:
            self._load_complete()
            self._init_complete()
        except (OSError, ProtocolError) as error:
            return error
        return None

    def _supersede(self, run_next):
        """The manager's order drops a pending handshake, once a retry in
        progress has ended (its replies must not overwrite what the order
        sets); with ``run_next`` the caller then holds the turn."""
        with self._handshake:
            self._handshake.wait_for(lambda: not self._handshake_running)
            self._pending_mode = None
            self._orders += 1
            self._handshake_running = run_next

    def _release(self, pending_mode=None):
        """Gives the turn back; a ``pending_mode`` keeps the handshake pending."""
        if pending_mode is not None:
            # Loaded, not up, until the manager heard both requests: what a
            # status probe (a restarted manager's first) is answered with.
            self._set(state=State.LOAD_COMPLETE)
        with self._handshake:
            self._handshake_running = False
            self._pending_mode = pending_mode
            self._retry_at = time.monotonic() + RETRY_INTERVAL
            self._handshake.notify_all()
        if pending_mode is not None:
            _log.warning("%s: handshake pending: tried again after the manager's next broadcast, or in %g s",
                         self._name, RETRY_INTERVAL)

    def _retry(self, why, due_only=False):
        """Runs the pending handshake again, if there is one, no other runs
        and, with ``due_only``, its time has come."""
        with self._handshake:
            if (self._handshake_running or self._pending_mode is None
                    or (due_only and time.monotonic() < self._retry_at)):
                return
            self._handshake_running = True
            mode = self._pending_mode
        _log.info("%s: %s: trying the pending handshake again", self._name, why)
        error = None
        try:
            error = self._run_handshake()
            if error is not None:
                _log.error("%s: handshake failed again, the module stays down: %s", self._name, error)
        finally:
            self._release(mode if _manager_away(error) else None)
        if error is not None:
            return
        _log.info("%s: handshake done on retry: up, mode %s, state %s", self._name, mode_text(self._mode),
                  state_text(self._state))
        if self.on_come_up is not None:
            self.on_come_up(_enum_or_int(Mode, mode))

    def _retry_when_due(self):
        """The retry thread: sleeps until a pending handshake is due, or stop()."""
        while True:
            with self._handshake:
                while not self._stopping:
                    if self._handshake_running or self._pending_mode is None:
                        self._handshake.wait()
                        continue
                    left = self._retry_at - time.monotonic()
                    if left <= 0:
                        break
                    self._handshake.wait(left)
                if self._stopping:
                    return
            try:
                self._retry(f"{RETRY_INTERVAL:g} s after the last try", due_only=True)
            except Exception:  # noqa: BLE001 - an on_come_up failure must not end the retries
                _log.exception("%s: handshake retry failed", self._name)

    # -- broadcasts ---------------------------------------------------------------

    def _on_broadcast(self, package):
        with self._handshake:
            orders = self._orders
        self._answer_broadcast(package)
        with self._handshake:
            superseded = self._orders != orders
        # Any broadcast shows that a manager is there again (a restarted one
        # probes its modules first): answered above, now the handshake.
        if not superseded:
            self._retry(f"{_type_text(package)} broadcast")

    def _answer_broadcast(self, package):
        for message in self._messages(package, "broadcast"):
            handler = self._HANDLERS.get(message.type)
            if handler is None:
                _log.debug("%s: %s broadcast (0x%x) ignored", self._name, state_text(message.type), message.type)
                continue
            method, record_type = handler
            try:
                payload = read_payload(message, record_type) if record_type else None
            except ValueError:
                _log.error("%s: short %s message (len %d) ignored", self._name, state_text(message.type), message.len)
                continue
            method(self, payload)

    def _send_answer(self, message_type, payload, what):
        """Sends an answer the manager acknowledges; False (logged) if it could not."""
        try:
            reply = self._client.request(message_type, payload)
        except OSError as error:
            _log.error("%s: %s: answer not sent: %s", self._name, what, error.strerror)
            return False
        if first_type(reply) != State.ACK:
            _log.error("%s: %s: the manager answered %s, not ack", self._name, what, _type_text(reply))
        return True

    def _go_down(self, order):
        own = order.mod == self.module
        if own:
            self._supersede(run_next=False)
        what = f"GO_DOWN for {module_text(order.mod)} ({mode_text(order.mode)}){', this module' if own else ''}"
        reason = FailureReason.NO_ERROR
        if self.on_go_down is not None:
            try:
                reason = self.on_go_down(_enum_or_int(ModuleId, order.mod), _enum_or_int(Mode, order.mode))
            except Exception:  # noqa: BLE001 - the manager still waits for an answer
                _log.exception("%s: %s: on_go_down failed", self._name, what)
                reason = FailureReason.BUSY
        reason = int(reason or FailureReason.NO_ERROR)
        answer = ModuleDownStatus(order.mod, ModuleMode(self.module, order.mode, order.state), reason)
        if not self._send_answer(State.GO_DOWN, answer, what):
            return
        if own:
            self._set(order.mode, order.state)
        _log.info("%s: %s: answered%s", self._name, what, f", with failure reason {reason}" if reason else "")

    def _down(self, order):
        if order.mod == self.module:
            self._supersede(run_next=False)
            self._set(order.mode, order.state)
        _log.info("%s: DOWN for %s (%s)", self._name, module_text(order.mod), mode_text(order.mode))

    def _come_up(self, order):
        what = f"COME_UP for {module_text(order.mod)} ({mode_text(order.mode)})"
        if order.mod not in (ModuleId.ALL_MODULES, self.module):
            _log.info("%s: %s: not for this module", self._name, what)
            return
        _log.info("%s: %s: starting the handshake again", self._name, what)
        self._supersede(run_next=True)
        error = None
        try:
            error = self._run_handshake()
            if error is not None:
                _log.error("%s: %s: handshake failed, the module stays down: %s", self._name, what, error)
        finally:
            self._release(order.mode if _manager_away(error) else None)
        if error is not None:
            return
        if self.on_come_up is not None:
            self.on_come_up(_enum_or_int(Mode, order.mode))

    def _up(self, status):
        if status.mode.mod == self.module:
            self._set(status.mode.mode, status.mode.state)

    def _keepalive(self, request):
        answer = KeepaliveResponse(request.seq, self._own_status())
        self._send_answer(State.KEEP_ALIVE_RESP, answer, f"KEEP_ALIVE_REQ seq {request.seq}")

    def _status_request(self, _):
        self._send_answer(State.MODULE_STATUS_RESP, self._own_status(), "MODULE_STATUS_REQ")

    def _network_layer_info(self, _):
        _log.info("%s: NETWORK_LAYER_INFO: layer 3 is up", self._name)

    _HANDLERS = {
        State.GO_DOWN: (_go_down, ModuleMode),
        State.DOWN: (_down, ModuleMode),
        State.COME_UP: (_come_up, ModuleMode),
        State.UP: (_up, ModuleStatus),
        State.KEEP_ALIVE_REQ: (_keepalive, KeepaliveRequest),
        State.MODULE_STATUS_REQ: (_status_request, None),
        State.NETWORK_LAYER_INFO: (_network_layer_info, None),
    }
