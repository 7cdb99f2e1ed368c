# SPDX-License-Identifier: Apache-2.0
"""libvornmgr through ctypes, loaded when a call first needs it.

The library is found as ``libvornmgr.so.0`` on the dynamic loader's path
(LD_LIBRARY_PATH, then the system's library directories). ``import vornmgr``
does not load it, so the enumerations, the records and help() work without
it; the first call that needs it raises LibraryNotFoundError (an
ImportError) naming it when it cannot be loaded.
"""

from __future__ import annotations

import ctypes
import threading
from typing import Any

from .errors import LibraryNotFoundError
from .wire import VornmgrPkgMessage

LIBRARY_NAME = "libvornmgr.so.0"

# The two broadcast callback types of vorn_mgr_intf.h.
INFR_CB = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p)
INFR_CB_DATA = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)

_int, _ptr, _i32 = ctypes.c_int, ctypes.c_void_p, ctypes.c_int32

# Name, result type and argument types of every call used.
_PROTOTYPES = {
    "vornmgr_register_cb_data": (_int, _i32, _int, ctypes.POINTER(_i32), INFR_CB_DATA, _ptr),
    "vornmgr_send": (_int, _i32, _int, _ptr, _int, _ptr),
    "vornmgr_unregister": (_int, _i32),
    "vornmgr_pkg_init": (_int, _ptr, _int),
    "vornmgr_pkg_add": (_int, _ptr, _int, _i32, _ptr, _int),
    "vornmgr_pkg_end": (_int, _ptr, _int),
    "vornmgr_pkg_read_message": (_i32, _ptr, _int, _int, ctypes.POINTER(VornmgrPkgMessage)),
    "vornmgr_pkg_read_payload": (_int, _ptr, ctypes.POINTER(VornmgrPkgMessage), _ptr, _int),
    "mod_id_to_str": (ctypes.c_char_p, _i32),
    "mod_state_to_str": (ctypes.c_char_p, _i32),
    # The buffer is written: it must be a ctypes.create_string_buffer of
    # VORNMGR_TEXT_BUF_LEN bytes, never a bytes object.
    "mode_to_str": (ctypes.c_char_p, _i32, ctypes.c_char_p),
}

TEXT_BUF_LEN = 256
"""VORNMGR_TEXT_BUF_LEN: the size of the buffer the text functions fill."""

_load_lock = threading.Lock()
lib: ctypes.CDLL | None = None


def load() -> ctypes.CDLL:
    """The library, loaded and declared on the first call."""
    global lib
    with _load_lock:
        if lib is not None:
            return lib
        try:
            # ctypes releases the interpreter lock during every call, so that
            # a call that waits for the manager (or for the callback thread,
            # in vornmgr_unregister) never blocks the callback, which takes
            # the lock to run Python code.
            loaded = ctypes.CDLL(LIBRARY_NAME, use_errno=True)
        except OSError as error:
            raise LibraryNotFoundError(
                f"vornmgr needs {LIBRARY_NAME} (package libvornmgr0) on the dynamic loader's path: {error}",
                name=LIBRARY_NAME) from error
        for name, (restype, *argtypes) in _PROTOTYPES.items():
            function = getattr(loaded, name)
            function.restype = restype
            function.argtypes = argtypes
        lib = loaded
        return lib


def __getattr__(name: str) -> Any:
    # _lib.vornmgr_send and the like: the library's call, loading it first.
    if name in _PROTOTYPES:
        return getattr(load(), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
