# SPDX-License-Identifier: Apache-2.0
"""vornmgr.Module: a whole module's side of the lifecycle protocol."""

from __future__ import annotations

import asyncio
import concurrent.futures
import ctypes
import errno
import inspect
import logging
import signal
import struct
import threading
import time
from typing import Any, Awaitable, Callable, NamedTuple, Optional, Union

from . import _lib
from .client import Client, in_callback, refuse_in_callback
from .errors import BringUpRefused, Error, ManagerUnreachable
from .package import MalformedPackage, read_payload, walk_package, first_type
from .wire import (POSITION_LIMITS, FailureReason, KeepaliveRequest, KeepaliveResponse, Mode, Module as ModuleId,
                   ModuleDownStatus, ModuleMode, ModuleStatus, State, module_from)

_log = logging.getLogger("vornmgr")


class StartInfo(NamedTuple):
    """What the load and init handshake told: the system mode (Mode), the
    state the manager requires of modules (State) and the modules already up
    (a list of Module)."""
    mode: Mode
    state: State
    modules_up: list[ModuleId]


class ProtocolError(RuntimeError):
    """The manager answered the handshake without what it must tell."""


# What the callbacks may be: plain functions, or coroutine functions run on
# the module's event loop.
GoDownCallback = Callable[[ModuleId, Mode], Union[Optional[FailureReason], Awaitable[Optional[FailureReason]]]]
ComeUpCallback = Callable[[Mode], Union[None, Awaitable[None]]]
BeforeUpCallback = Callable[[Mode, "list[ModuleId]"], Union[None, Awaitable[None]]]

RETRY_INTERVAL = 5.0
"""Seconds from a handshake the manager did not answer to its next try."""

BRING_UP_LIMIT = 120.0
"""Seconds a coroutine on_before_up or on_come_up is waited for: the
manager's default bound for a bring-up (bring_up_max_time)."""

ANSWER_MARGIN = 0.5
"""Seconds of a take-down position's limit kept for the GO_DOWN answer
itself: a coroutine on_go_down is waited for the rest."""

REQUEST_TIMEOUT = 5.0
"""Seconds the library waits for the manager's reply to one request."""

_STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM}


class _StopSignal(BaseException):
    """Raised by run()'s signal handler in the main thread."""

# Failures of the request itself: the manager's return does not mend them.
_LOCAL_ERRORS = (errno.EINVAL, errno.EMSGSIZE, errno.ENOTCONN)


def _manager_away(error):
    """Whether a handshake failed for want of a manager (no reply, not sent)."""
    return isinstance(error, OSError) and error.errno not in _LOCAL_ERRORS


def module_text(module: int) -> str:
    """The manager's text for a module identifier ("frr", "System Services"...)."""
    return _lib.mod_id_to_str(int(module)).decode()


def state_text(state: int) -> str:
    """The manager's text for a message type or state ("going down"...)."""
    return _lib.mod_state_to_str(int(state)).decode()


def mode_text(mode: int) -> str:
    """The manager's text for a mode ("Maintenance, warm"...)."""
    # Written by the library: a bytes object would be changed in place.
    buffer = ctypes.create_string_buffer(_lib.TEXT_BUF_LEN)
    return _lib.mode_to_str(int(mode), buffer).decode()


def _name_of(value: Any) -> str:
    """An enumeration member by name, anything else as its repr."""
    name = getattr(value, "name", None)
    return f"{type(value).__name__}.{name}" if name else repr(value)


def _failure_reason(returned: Any, what: str) -> FailureReason:
    """What on_go_down returned, checked: None is success, a FailureReason
    is itself, and anything else (UNKNOWN included, which the manager would
    read as success) is answered BUSY, with one line saying so."""
    if returned is None:
        return FailureReason.NO_ERROR
    if returned is FailureReason.UNKNOWN:
        _log.error("%s: on_go_down returned FailureReason.UNKNOWN, which is 0 on the wire and reads as success "
                   "(return BUSY for a failure, None or NO_ERROR for success): answered BUSY", what)
        return FailureReason.BUSY
    if isinstance(returned, FailureReason):
        return returned
    # A plain number that is a reason's wire value (0 for success, as modules
    # written against earlier versions return it) is that reason.
    if type(returned) is int and returned in (FailureReason.NO_ERROR.value, FailureReason.BUSY.value):
        return FailureReason.NO_ERROR if returned == 0 else FailureReason.BUSY
    _log.error("%s: on_go_down returned %r (%s), not a FailureReason or None: answered BUSY", what, returned,
               type(returned).__name__)
    return FailureReason.BUSY


async def _as_callback(awaitable: Awaitable[Any]) -> Any:
    # In the task's own context: stop() called from it is refused.
    with in_callback():
        return await awaitable


def _type_text(package):
    message_type = first_type(package)
    return "nothing" if message_type is None else state_text(message_type)


def _enum_or_int(enumeration: Any, value: int) -> Any:
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

    ``on_before_up(mode, modules_up)``, when given, runs in every handshake
    (start() and each COME_UP) between the manager's answer to LOAD_COMPLETE
    and INIT_COMPLETE: the place to restore the module's state before it
    reports itself up. If it raises, INIT_COMPLETE is not sent: the module
    stays out of "up" (the manager keeps it "load complete"), takes the
    state FAILURE, which it reports at once in a MODULE_STATUS_RESP and in
    every keepalive and status answer, logs why, and tries again at the
    manager's next COME_UP; start() raises vornmgr.BringUpRefused instead
    and unregisters.

    Callbacks may be coroutine functions: they then run on the module's
    event loop (``loop``, or the one start_async() runs on), while the
    library's thread waits for them, on_go_down at most the take-down
    position's limit (less ANSWER_MARGIN; later, it is answered BUSY), the
    others BRING_UP_LIMIT seconds. A callback must not call stop().

    A COME_UP handshake the manager did not answer (a request timed out or
    could not be sent: the manager was away, e.g. restarting) stays pending,
    the module reporting itself LOAD_COMPLETE meanwhile. It runs again after
    the manager's next broadcast (answered first) and at the latest
    RETRY_INTERVAL seconds after the last try, until it succeeds (then
    ``on_come_up(mode)`` follows) or a COME_UP, or a GO_DOWN or DOWN for this
    module, supersedes it. One the manager refused is not tried again.

    on_go_down must return a FailureReason or None (a plain 0 or 1 still
    reads as NO_ERROR or BUSY); any other value is answered BUSY with one
    error line naming it.

    The callbacks run on the library's thread (``on_come_up`` after a retry
    that no broadcast set off runs on the module's retry thread, and
    ``on_before_up`` in start() on start()'s own thread) and hold up the
    manager's take-down or bring-up while they run. ``mode`` and ``state``
    are the module's mode and state as the manager last told them. stop()
    unregisters; run() starts, waits for SIGTERM or SIGINT and stops. As a
    context manager the object starts on entry and stops on exit.
    """

    def __init__(self, module: str | int, on_go_down: GoDownCallback | None = None,
                 on_come_up: ComeUpCallback | None = None, *, on_before_up: BeforeUpCallback | None = None,
                 loop: asyncio.AbstractEventLoop | None = None) -> None:
        self.module: ModuleId = module_from(module)
        self.on_go_down = on_go_down
        self.on_come_up = on_come_up
        self.on_before_up = on_before_up
        self.loop = loop
        self._lock = threading.Lock()  # guards mode and state (start() and the callback thread)
        self._mode = Mode.REBOOT_COLD
        self._state = State.UP
        self.modules_up: list[ModuleId] = []
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
        self._retry_thread: threading.Thread | None = None
        # Guards the attempt of start() in progress, between start() and its
        # worker thread.
        self._start_lock = threading.Lock()

    @property
    def mode(self) -> Mode:
        """The system mode the manager last told this module (a Mode; an int
        when the manager sent a value Mode does not know): from MODE_INFO, a
        GO_DOWN or DOWN for this module, or an UP broadcast for it."""
        with self._lock:
            return _enum_or_int(Mode, self._mode)

    @property
    def state(self) -> State:
        """This module's state as it reports it to the manager (a State):
        UP once up, LOAD_COMPLETE while a handshake is pending, GO_DOWN or
        DOWN after the manager's order, FAILURE after on_before_up refused."""
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

    def start(self, timeout: float | None = None) -> StartInfo:
        """Registers and runs the handshake; returns a StartInfo.

        Raises vornmgr.Error (an OSError) when registering or a handshake
        request fails, ProtocolError when a reply lacks MODE_INFO or UP, and
        BringUpRefused when on_before_up raised; the module is then
        unregistered again.

        The work runs on a thread of its own, which this call waits for: a
        KeyboardInterrupt (or any exception a signal handler raises) ends the
        wait at once, and so does ``timeout`` (seconds), with
        vornmgr.ManagerUnreachable. The attempt then goes on in the
        background, unregistering as soon as it is over. That thread, the
        library's and the module's own block SIGINT and SIGTERM, so that
        these reach the application's threads.
        """
        refuse_in_callback("start()")
        try:
            running = asyncio.get_running_loop()
        except RuntimeError:
            running = None
        if running is not None and running is self.loop:
            raise RuntimeError("start() would block the module's own event loop: use await start_async()")
        attempt = _StartAttempt()
        self._attempt = attempt
        worker = threading.Thread(target=self._start_in_worker, args=(attempt,), name=f"vornmgr {self._name} start",
                                  daemon=True)
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, _STOP_SIGNALS)
        try:
            worker.start()
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        try:
            finished = attempt.done.wait(timeout)
        except BaseException:
            self._abandon(attempt)
            raise
        if not finished:
            self._abandon(attempt)
            raise ManagerUnreachable(errno.ETIMEDOUT, f"{self._name}: not up within {timeout:g} s")
        if attempt.error is not None:
            raise attempt.error
        assert attempt.info is not None
        return attempt.info

    async def start_async(self, timeout: float | None = None) -> StartInfo:
        """start() from a coroutine, without blocking the loop; coroutine
        callbacks then run on this loop unless ``loop`` was given."""
        running = asyncio.get_running_loop()
        if self.loop is None:
            self.loop = running
        return await running.run_in_executor(None, self.start, timeout)

    async def stop_async(self) -> None:
        """stop() from a coroutine, without blocking the loop."""
        refuse_in_callback("stop_async()")
        await asyncio.get_running_loop().run_in_executor(None, self.stop)

    def run(self, timeout: float | None = None) -> None:
        """Starts, then waits for SIGTERM or SIGINT and stops: a module's main.

        Call it from the main thread; it installs its own handlers for both
        signals while it runs and puts the previous ones back on return. A
        signal during start() ends it at once and run() returns without
        having started; if the manager had already answered the
        registration, run() first waits for the given-up attempt to
        unregister (at most three request time-outs; a second signal cuts
        the wait short). Raises what start() raises.
        """
        received: list[int] = []
        # While the given-up start unregisters, a second signal ends the wait.
        unregistering = [False]

        def on_signal(signum: int, _frame: Any) -> None:
            received.append(signum)
            if len(received) == 1 or unregistering[0]:
                raise _StopSignal(signum)

        previous = {signum: signal.signal(signum, on_signal) for signum in _STOP_SIGNALS}
        try:
            try:
                self.start(timeout)
            except _StopSignal:
                _log.info("%s: %s during start, not started", self._name, signal.Signals(received[0]).name)
                unregistering[0] = True
                self._wait_for_given_up_start()
                return
            try:
                while True:
                    signal.pause()
            except _StopSignal:
                pass
            _log.info("%s: %s received, stopping", self._name, signal.Signals(received[0]).name)
            self.stop()
        finally:
            for signum, handler in previous.items():
                signal.signal(signum, handler)

    def _wait_for_given_up_start(self) -> None:
        """A start given up once the manager knew the module: the process
        must not end before the manager hears it unregister, or the module
        would stay "up" there. The attempt stops at its next step; waiting
        is bounded by the requests still to come, and a second signal ends it."""
        attempt = self._attempt
        with self._start_lock:
            registered = attempt.registered
        if not registered:
            return
        _log.info("%s: unregistering the given-up start", self._name)
        try:
            attempt.over.wait(3 * REQUEST_TIMEOUT)
        except _StopSignal:
            _log.warning("%s: second signal: not waiting for the manager to hear the module unregister", self._name)

    def _start_in_worker(self, attempt: _StartAttempt) -> None:
        try:
            self._start_attempt(attempt)
        finally:
            attempt.over.set()

    def _start_attempt(self, attempt: _StartAttempt) -> None:
        try:
            info = self._start_now(attempt)
        except BaseException as error:  # noqa: BLE001 - handed to start()
            with self._start_lock:
                attempt.error = error
                attempt.done.set()
            return
        with self._start_lock:
            attempt.info = info
            attempt.done.set()
            abandoned = attempt.abandoned
        if abandoned:
            self._stop_quietly("its start was given up")

    def _abandon(self, attempt: _StartAttempt) -> None:
        with self._start_lock:
            attempt.abandoned = True
            started = attempt.info is not None
        # Up just before it was given up: its worker will not stop it.
        if started:
            self._stop_quietly("its start was given up")

    def _stop_quietly(self, why: str) -> None:
        try:
            self.stop()
        except OSError as error:
            _log.error("%s: stopping as %s: %s", self._name, why, error)

    def _start_now(self, attempt: _StartAttempt) -> StartInfo:
        self._client.register()
        with self._start_lock:
            attempt.registered = True
        self._supersede(run_next=True)
        try:
            info, error = self._run_handshake(attempt)
            if error is not None:
                raise error
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

    def stop(self) -> None:
        """Unregisters; broadcasts are no longer answered once it returns.

        Raises vornmgr.CalledFromCallback when called from one of the
        module's callbacks, which the library waits for.
        """
        refuse_in_callback("stop()")
        with self._handshake:
            self._stopping = True
            self._handshake.notify_all()
        if self._retry_thread is not None:
            # A retry in progress ends first: at most two request time-outs.
            self._retry_thread.join()
            self._retry_thread = None
        self._client.unregister()
        _log.info("%s: unregistered", self._name)

    def __enter__(self) -> Module:
        self.start()
        return self

    def __exit__(self, *exc_info: object) -> bool:
        self.stop()
        return False

    # -- the callbacks ------------------------------------------------------------

    def _call(self, callback: Callable[..., Any], args: tuple[Any, ...], limit: float) -> Any:
        """Runs a callback; a coroutine function's on the module's loop,
        waited for at most ``limit`` seconds (TimeoutError after)."""
        with in_callback():
            result = callback(*args)
        if not inspect.isawaitable(result):
            return result
        loop = self.loop
        if loop is None or loop.is_closed():
            if inspect.iscoroutine(result):
                result.close()
            raise RuntimeError("a coroutine callback needs the module's event loop: give loop= or use start_async()")
        future = asyncio.run_coroutine_threadsafe(_as_callback(result), loop)
        try:
            return future.result(limit)
        except concurrent.futures.TimeoutError:
            future.cancel()
            raise TimeoutError(f"not done within {limit:g} s") from None

    def _before_up(self, info: StartInfo) -> BringUpRefused | None:
        """Runs on_before_up; when it refuses, reports the failure and
        returns it (INIT_COMPLETE is then not sent)."""
        if self.on_before_up is None:
            return None
        try:
            self._call(self.on_before_up, (info.mode, list(info.modules_up)), BRING_UP_LIMIT)
            return None
        except Exception as error:  # noqa: BLE001 - refused: reported, not raised into the library
            refusal = BringUpRefused(f"{self._name}: on_before_up failed: {type(error).__name__}: {error}")
            refusal.__cause__ = error
        _log.error("%s: on_before_up failed, init complete not sent: the module stays out of up until the next "
                   "COME_UP", self._name, exc_info=refusal.__cause__)
        self._set(state=State.FAILURE)
        with self._lock:
            status = ModuleStatus(ModuleMode(self.module, self._mode, State.FAILURE), FailureReason.BUSY)
        self._send_answer(State.MODULE_STATUS_RESP, status, "on_before_up failed: status FAILURE")
        return refusal

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

    def _run_handshake(self, attempt: _StartAttempt | None = None) -> tuple[StartInfo | None, Exception | None]:
        """Both requests and on_before_up between them, with the turn held;
        returns what LOAD_COMPLETE told and the error that ended it, or None.

        A refusal of on_before_up is a BringUpRefused, never an OSError: it
        must not look like an absent manager, which would keep it pending.
        """
        try:
            info = self._load_complete()
        except (OSError, ProtocolError) as error:
            return None, error
        if attempt is not None and attempt.abandoned:
            # A start given up: not brought up only to be unregistered.
            return info, Error(errno.ECANCELED, f"{self._name}: start given up")
        refusal = self._before_up(info)
        if refusal is not None:
            return info, refusal
        try:
            self._init_complete()
        except (OSError, ProtocolError) as error:
            return info, error
        return info, None

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
            _, error = self._run_handshake()
            if error is not None:
                _log.error("%s: handshake failed again, the module stays down: %s", self._name, error)
        finally:
            self._release(mode if _manager_away(error) else None)
        if error is not None:
            return
        _log.info("%s: handshake done on retry: up, mode %s, state %s", self._name, mode_text(self._mode),
                  state_text(self._state))
        if self.on_come_up is not None:
            self._call(self.on_come_up, (_enum_or_int(Mode, mode),), BRING_UP_LIMIT)

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
                with in_callback():
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
            limit = POSITION_LIMITS.get(_enum_or_int(ModuleId, order.mod), 5) - ANSWER_MARGIN
            try:
                returned = self._call(self.on_go_down, (_enum_or_int(ModuleId, order.mod),
                                                        _enum_or_int(Mode, order.mode)), limit)
                reason = _failure_reason(returned, f"{self._name}: {what}")
            except Exception:  # noqa: BLE001 - the manager still waits for an answer
                _log.exception("%s: %s: on_go_down failed", self._name, what)
                reason = FailureReason.BUSY
        answer = ModuleDownStatus(order.mod, ModuleMode(self.module, order.mode, order.state), reason)
        if not self._send_answer(State.GO_DOWN, answer, what):
            return
        if own:
            self._set(order.mode, order.state)
        _log.info("%s: %s: answered%s", self._name, what, f", with failure reason {reason.name}" if reason else "")

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
            _, error = self._run_handshake()
            if error is not None:
                _log.error("%s: %s: handshake failed, the module stays down: %s", self._name, what, error)
        finally:
            self._release(order.mode if _manager_away(error) else None)
        if error is not None:
            return
        if self.on_come_up is not None:
            self._call(self.on_come_up, (_enum_or_int(Mode, order.mode),), BRING_UP_LIMIT)

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


class _StartAttempt:
    """One start(): its outcome, handed from its worker thread (under the
    module's _start_lock)."""

    def __init__(self) -> None:
        self.done = threading.Event()
        self.info: StartInfo | None = None
        self.error: BaseException | None = None
        self.abandoned = False
        # The manager answered the registration: it knows the module.
        self.registered = False
        # Set when the worker is over, unregistering included.
        self.over = threading.Event()
