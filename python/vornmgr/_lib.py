# SPDX-License-Identifier: Apache-2.0
"""libvornmgr, loaded once through ctypes, with the prototype of every call used.

The library is found as ``libvornmgr.so.0`` on the dynamic loader's path
(LD_LIBRARY_PATH, then the system's library directories).
"""

import ctypes

from .wire import VornmgrPkgMessage

LIBRARY_NAME = "libvornmgr.so.0"

# The two broadcast callback types of vorn_mgr_intf.h.
INFR_CB = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p)
INFR_CB_DATA = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)

# ctypes releases the interpreter lock during every call, so that a call that
# waits for the manager (or for the callback thread, in vornmgr_unregister)
# never blocks the callback, which takes the lock to run Python code.
lib = ctypes.CDLL(LIBRARY_NAME, use_errno=True)


def _declare(name, restype, *argtypes):
    function = getattr(lib, name)
    function.restype = restype
    function.argtypes = argtypes
    return function


_int, _ptr = ctypes.c_int, ctypes.c_void_p

vornmgr_register_cb_data = _declare(
    "vornmgr_register_cb_data", _int, ctypes.c_int32, _int, ctypes.POINTER(ctypes.c_int32), INFR_CB_DATA, _ptr)
vornmgr_send = _declare("vornmgr_send", _int, ctypes.c_int32, _int, _ptr, _int, _ptr)
vornmgr_unregister = _declare("vornmgr_unregister", _int, ctypes.c_int32)

vornmgr_pkg_init = _declare("vornmgr_pkg_init", _int, _ptr, _int)
vornmgr_pkg_add = _declare("vornmgr_pkg_add", _int, _ptr, _int, ctypes.c_int32, _ptr, _int)
vornmgr_pkg_end = _declare("vornmgr_pkg_end", _int, _ptr, _int)
vornmgr_pkg_read_message = _declare(
    "vornmgr_pkg_read_message", ctypes.c_int32, _ptr, _int, _int, ctypes.POINTER(VornmgrPkgMessage))
vornmgr_pkg_read_payload = _declare(
    "vornmgr_pkg_read_payload", _int, _ptr, ctypes.POINTER(VornmgrPkgMessage), _ptr, _int)

mod_id_to_str = _declare("mod_id_to_str", ctypes.c_char_p, ctypes.c_int32)
mod_state_to_str = _declare("mod_state_to_str", ctypes.c_char_p, ctypes.c_int32)
mode_to_str = _declare("mode_to_str", ctypes.c_char_p, ctypes.c_int32, ctypes.c_char_p)
