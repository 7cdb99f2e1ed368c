# SPDX-License-Identifier: Apache-2.0
"""vornmgr.Client: a module's connection to vornmgrd, through libvornmgr."""

from __future__ import annotations

import contextlib
import contextvars
import ctypes
import errno
import itertools
import logging
import threading
from typing import Callable, Iterator

from . import _lib
from .errors import CalledFromCallback, error_from_errno
from .package import build_package, first_type, read_payload, walk_package
from .wire import MAX_PKG_LEN, Module, Record, module_from

_log = logging.getLogger("vornmgr")

# Registered clients by the token handed to libvornmgr as the callback's data
# pointer. Guarded by _clients_lock; the callback thread only reads it.
_clients: dict[int, Client] = {}
_clients_lock = threading.Lock()
_tokens = itertools.count(1)

# Set while one of a module's callbacks runs: on the library's thread, on the
# module's retry thread, and in a coroutine callback's task on the
# application's loop, all of which the library or the module waits for.
_in_callback: contextvars.ContextVar[bool] = contextvars.ContextVar("vornmgr_in_callback", default=False)


@contextlib.contextmanager
def in_callback() -> Iterator[None]:
    """Marks the code it wraps as a callback's (see refuse_in_callback)."""
    token = _in_callback.set(True)
    try:
        yield
    finally:
        _in_callback.reset(token)


def refuse_in_callback(what: str) -> None:
    """Raises CalledFromCallback when called from a callback: the library
    would wait for the callback, which waits for the library."""
    if _in_callback.get():
        raise CalledFromCallback(errno.EDEADLK, f"{what} cannot be called from a callback of the module: "
                                                "it would wait for the callback itself; leave the callback first")


def _deliver(length: int, package: int, token: int) -> int:
    """The one callback given to libvornmgr: hands the package to its client."""
    client = _clients.get(token)
    if client is None:
        return 1
    try:
        with in_callback():
            client.on_broadcast(ctypes.string_at(package, length))
    except Exception:  # noqa: BLE001 - nothing may unwind into the library's thread
        _log.exception("%s: broadcast handler failed", client.module.name)
    return 1


_deliver_cb = _lib.INFR_CB_DATA(_deliver)


class Client:
    """The low level: registration, requests and broadcasts of one module.

    ``module`` is a name as vornmgr-modsim spells it ("frr", "bgp", "ospf",
    "stp", "trelld", "swivend", "sdk", "system-services") or a Module value.
    ``on_broadcast(package)`` is called with each broadcast package (bytes)
    on the library's own thread, one package at a time, from register() on;
    it may call send() and wait for the reply, but not register() or
    unregister() (they raise vornmgr.CalledFromCallback). An exception it
    raises is logged and the next package is delivered as usual.

    Time-outs, socket renewal and threading are those of libvornmgr(3): every
    request waits up to 5 seconds; a request that timed out is never sent
    again, and the next one goes out on a fresh socket. A process registers
    one module at a time. Failures raise vornmgr.Error (an OSError) with the
    library's errno.
    """

    build_package = staticmethod(build_package)
    walk_package = staticmethod(walk_package)
    read_payload = staticmethod(read_payload)
    first_type = staticmethod(first_type)

    def __init__(self, module: str | int, on_broadcast: Callable[[bytes], object]) -> None:
        self.module: Module = module_from(module)
        self.on_broadcast = on_broadcast
        self._token: int | None = None

    def register(self) -> None:
        """Registers with the manager and starts delivering broadcasts.

        Raises vornmgr.ManagerUnreachable (a TimeoutError) when the manager
        did not answer, vornmgr.RefusedByManager (a ConnectionRefusedError)
        when it refused, vornmgr.NotTheManager (a PermissionError) when a
        process that is not root's answered in its place,
        vornmgr.AlreadyRegistered when this process has a module registered,
        all vornmgr.Error with libvornmgr's errno. Whether to try again is
        the caller's decision.
        """
        refuse_in_callback("register()")
        token = next(_tokens)
        with _clients_lock:
            _clients[token] = self
        mods = (ctypes.c_int32 * 1)(self.module)
        if not _lib.vornmgr_register_cb_data(self.module, 1, mods, _deliver_cb, token):
            code = ctypes.get_errno()
            with _clients_lock:
                del _clients[token]
            raise error_from_errno(code, f"{self.module.name}: cannot register")
        self._token = token

    def unregister(self) -> None:
        """Stops the delivery (after the callback in progress) and unregisters.

        Harmless when not registered. Raises vornmgr.Error when the manager
        did not acknowledge; delivery has stopped all the same.
        """
        refuse_in_callback("unregister()")
        result = _lib.vornmgr_unregister(self.module)
        code = ctypes.get_errno()
        with _clients_lock:
            _clients.pop(self._token, None)
        self._token = None
        if result != 0:
            raise error_from_errno(code, f"{self.module.name}: unregistering failed")

    def send(self, package: bytes) -> bytes:
        """Sends ``package`` (bytes, at most 1024) and returns the reply (bytes).

        Raises vornmgr.ManagerUnreachable (a TimeoutError) when the manager
        does not answer within 5 seconds and vornmgr.NotTheManager (a
        PermissionError) when a process that is not root's answered (the
        client works again for the next request either way), and
        vornmgr.Error for the other failures of vornmgr_send (not
        registered, bad size...).
        """
        data = bytes(package)
        reply = ctypes.create_string_buffer(MAX_PKG_LEN)
        size = _lib.vornmgr_send(self.module, len(data), data, MAX_PKG_LEN, reply)
        if size < 0:
            raise error_from_errno(ctypes.get_errno(), f"{self.module.name}: request failed")
        return reply.raw[:size]

    def request(self, message_type: int, payload: Record | bytes | None = None) -> bytes:
        """Sends a one-message package (a type and a Record) and returns the reply."""
        return self.send(build_package((message_type, payload)))

    def __enter__(self) -> Client:
        self.register()
        return self

    def __exit__(self, *exc_info: object) -> bool:
        self.unregister()
        return False


__all__ = ["Client"]
