# SPDX-License-Identifier: Apache-2.0
"""vornmgr.Client: a module's connection to vornmgrd, through libvornmgr."""

import ctypes
import itertools
import logging
import os
import threading

from . import _lib
from .package import build_package, first_type, read_payload, walk_package
from .wire import MAX_PKG_LEN, module_from

_log = logging.getLogger("vornmgr")

# Registered clients by the token handed to libvornmgr as the callback's data
# pointer. Guarded by _clients_lock; the callback thread only reads it.
_clients = {}
_clients_lock = threading.Lock()
_tokens = itertools.count(1)


def _deliver(length, package, token):
    """The one callback given to libvornmgr: hands the package to its client."""
    client = _clients.get(token)
    if client is None:
        return 1
    try:
        client.on_broadcast(ctypes.string_at(package, length))
    except Exception:  # noqa: BLE001 - nothing may unwind into the library's thread
        _log.exception("%s: broadcast handler failed", client.module.name)
    return 1


_deliver_cb = _lib.INFR_CB_DATA(_deliver)


def _os_error(code, what):
    # OSError picks the subclass from errno: ETIMEDOUT gives TimeoutError.
    return OSError(code, f"{what}: {os.strerror(code)}")


class Client:
    """The low level: registration, requests and broadcasts of one module.

    ``module`` is a name as vornmgr-modsim spells it ("frr", "bgp", "ospf",
    "stp", "trelld", "swivend", "sdk", "system-services") or a Module value.
    ``on_broadcast(package)`` is called with each broadcast package (bytes)
    on the library's own thread, one package at a time, from register() on;
    it may call send() and wait for the reply, but not register() or
    unregister(). An exception it raises is logged and the next package is
    delivered as usual.

    Time-outs, socket renewal and threading are those of libvornmgr(3): every
    request waits up to 5 seconds; a request that timed out is never sent
    again, and the next one goes out on a fresh socket. A process registers
    one module at a time.
    """

    build_package = staticmethod(build_package)
    walk_package = staticmethod(walk_package)
    read_payload = staticmethod(read_payload)
    first_type = staticmethod(first_type)

    def __init__(self, module, on_broadcast):
        self.module = module_from(module)
        self.on_broadcast = on_broadcast
        self._token = None

    def register(self):
        """Registers with the manager and starts delivering broadcasts.

        Raises OSError (TimeoutError when the manager did not answer,
        ConnectionRefusedError when it refused, PermissionError when a
        process that is not root's answered in its place) with libvornmgr's
        errno. Whether to try again is the caller's decision.
        """
        token = next(_tokens)
        with _clients_lock:
            _clients[token] = self
        mods = (ctypes.c_int32 * 1)(self.module)
        if not _lib.vornmgr_register_cb_data(self.module, 1, mods, _deliver_cb, token):
            code = ctypes.get_errno()
            with _clients_lock:
                del _clients[token]
            raise _os_error(code, f"{self.module.name}: cannot register")
        self._token = token

    def unregister(self):
        """Stops the delivery (after the callback in progress) and unregisters.

        Harmless when not registered. Raises OSError when the manager did not
        acknowledge; delivery has stopped all the same.
        """
        result = _lib.vornmgr_unregister(self.module)
        code = ctypes.get_errno()
        with _clients_lock:
            _clients.pop(self._token, None)
        self._token = None
        if result != 0:
            raise _os_error(code, f"{self.module.name}: unregistering failed")

    def send(self, package):
        """Sends ``package`` (bytes, at most 1024) and returns the reply (bytes).

        Raises TimeoutError when the manager does not answer within 5 seconds
        and PermissionError when a process that is not root's answered (the
        client works again for the next request either way), and OSError for
        the other failures of vornmgr_send (not registered, bad size...).
        """
        data = bytes(package)
        reply = ctypes.create_string_buffer(MAX_PKG_LEN)
        size = _lib.vornmgr_send(self.module, len(data), data, MAX_PKG_LEN, reply)
        if size < 0:
            raise _os_error(ctypes.get_errno(), f"{self.module.name}: request failed")
        return reply.raw[:size]

    def request(self, message_type, payload=None):
        """Sends a one-message package (a type and a Record) and returns the reply."""
        return self.send(build_package((message_type, payload)))

    def __enter__(self):
        self.register()
        return self

    def __exit__(self, *exc_info):
        self.unregister()
        return False
