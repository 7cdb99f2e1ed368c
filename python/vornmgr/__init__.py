# SPDX-License-Identifier: Apache-2.0
"""vornmgr: modules of the switch in Python, on the client library libvornmgr.

Two levels:

- ``Client(module, on_broadcast)``: registration, requests (``send`` returns
  the reply, ``vornmgr.ManagerUnreachable``, a TimeoutError, when the manager
  does not answer in 5 seconds) and the broadcast packages, with the package
  helpers ``build_package``, ``walk_package`` and ``read_payload``.
- ``Module(module, on_go_down=None, on_come_up=None, *, on_before_up=None,
  loop=None)``: a whole module: ``start()`` registers and runs the load and
  init handshake, then every broadcast it owes an answer is answered;
  ``stop()`` unregisters; ``run()`` does both around SIGTERM or SIGINT.
  Callbacks may be coroutine functions (see ``start_async``).

Failures of the library's calls raise ``vornmgr.Error`` (an OSError) or one
of its subclasses. The enumerations (Module, Mode, State, FailureReason, ...)
and records (ModuleMode, ModuleStatus, ...) mirror vorn_mgr_intf.h and need
no library; libvornmgr.so.0 is loaded from the dynamic loader's path when a
call first needs it (LibraryNotFoundError, an ImportError, when it is not
there). See vornmgr-python(7).
"""

from .wire import (COMM_ENDPOINT, ENUMS, MAX_PKG_LEN, MODULE_NAMES, POSITION_LIMITS, PUB_ENDPOINT, RECORDS,
                   FailureReason, IssuAction, IssuActionStatus, IssuInfo, KeepaliveRequest, KeepaliveResponse, Mode,
                   ModuleConnect, ModuleDownStatus, ModuleMode, ModuleStatus, MsgHeader, NlData, PkgHeader,
                   Record, State, VornmgrPkgMessage, module_from)
from .wire import Module as ModuleId
from .errors import (AlreadyRegistered, BringUpRefused, CalledFromCallback, Error, LibraryNotFoundError,
                     ManagerUnreachable, NotTheManager, Refused, RefusedByManager)
from .package import MalformedPackage, Message, build_package, first_type, read_payload, walk_package
from .client import Client
from .module import Module, ProtocolError, StartInfo, mode_text, module_text, state_text

__version__ = "1.0.0"

__all__ = [
    "Client", "Module", "ModuleId", "StartInfo", "ProtocolError", "MalformedPackage", "Message",
    "build_package", "walk_package", "read_payload", "first_type", "module_from",
    "module_text", "state_text", "mode_text",
    "Mode", "State", "FailureReason", "IssuAction", "IssuActionStatus",
    "Record", "ModuleConnect", "ModuleMode", "ModuleStatus", "ModuleDownStatus", "KeepaliveRequest",
    "KeepaliveResponse", "IssuInfo", "NlData", "MsgHeader", "PkgHeader", "VornmgrPkgMessage",
    "RECORDS", "ENUMS", "MODULE_NAMES", "MAX_PKG_LEN", "COMM_ENDPOINT", "PUB_ENDPOINT", "POSITION_LIMITS",
    "Error", "ManagerUnreachable", "AlreadyRegistered", "Refused", "RefusedByManager", "NotTheManager",
    "CalledFromCallback", "LibraryNotFoundError", "BringUpRefused", "__version__",
]
