# SPDX-License-Identifier: Apache-2.0
"""The wire of vorn_mgr_intf.h in Python: enumerations and fixed-layout records.

Every number on the wire is a 32-bit integer in host byte order and every
record field is 4 bytes, no gaps, exactly as in the C header; the test suite
checks each size and offset against it. Each record class names its C type in
``c_name``.
"""

from __future__ import annotations

import ctypes
import enum
from typing import ClassVar

_i32 = ctypes.c_int32


class Module(enum.IntEnum):
    """Module identifier; also the row of the module in the manager's registry."""
    VORNMGR = 0
    ALL_MODULES = 1
    FRR = 2
    BGP = 3
    OSPF = 4
    STP = 5
    TRELL = 6
    SWIVEND = 7
    SDK = 8
    SYSTEM_SERVICES = 9
    MAX_MODULES = 10


class Mode(enum.IntFlag):
    """System mode: one boot kind plus flags."""
    UNKNOWN_MODE = 0
    REBOOT_COLD = 0x1
    REBOOT_FAST = 0x2
    REBOOT_WARM = 0x4
    MAINTENANCE = 0x100
    SYS_UPGRADE = 0x200
    COMP_UPGRADE = 0x400


class State(enum.IntEnum):
    """Message types and module states (one enumeration for both)."""
    SUCCESS = 0
    FAILURE = 1
    IN_PROGRESS = 2
    LOAD_COMPLETE = 3
    INIT_COMPLETE = 4
    KEEP_ALIVE_RESP = 5
    MODULE_STATUS_RESP = 6
    MODULE_REGISTER = 7
    MODULE_UNREGISTER = 8
    GO_DOWN = 100
    DOWN = 101
    COME_UP = 102
    UP = 103
    MODE_INFO = 104
    MOD_LIST = 105
    KEEP_ALIVE_REQ = 106
    ACK = 107
    NACK = 108
    NETWORK_LAYER_INFO = 109
    MODULE_STATUS_REQ = 110
    ISSU_INFO = 200


class FailureReason(enum.IntEnum):
    """Carried by a GO_DOWN answer; the manager only tests it for zero.

    UNKNOWN is 0 on the wire, exactly as NO_ERROR: the manager reads it as
    success. It is kept as a member of its own (equal to NO_ERROR, and 0 as
    an int) only so that the binding can tell it apart and refuse it as an
    answer: a module that failed answers BUSY.
    """

    def __new__(cls, wire: int, alias: str | None = None) -> FailureReason:
        member = int.__new__(cls, wire)
        # A value of its own keeps UNKNOWN from becoming NO_ERROR's alias.
        member._value_ = wire if alias is None else alias
        return member

    NO_ERROR = 0
    BUSY = 1
    UNKNOWN = 0, "UNKNOWN"

    @enum.property
    def value(self) -> int:  # type: ignore[override]
        """The number on the wire."""
        return int(self)

    def __repr__(self) -> str:
        return f"<{type(self).__name__}.{self._name_}: {int(self)}>"


class IssuAction(enum.IntEnum):
    ISSU_START = 1
    ISSU_END = 2


class IssuActionStatus(enum.IntEnum):
    ISSU_OK = 1
    ISSU_FAIL = 2
    ISSU_IN_PROGRESS = 3


class Record(ctypes.Structure):
    """A fixed-layout record; bytes(record) is its wire form."""
    _pack_ = 1
    c_name: ClassVar[str] = ""

    @classmethod
    def size(cls) -> int:
        return ctypes.sizeof(cls)

    def __repr__(self) -> str:
        fields = ", ".join(f"{name}={getattr(self, name)!r}" for name, _ in self._fields_)
        return f"{type(self).__name__}({fields})"


class ModuleConnect(Record):
    c_name = "module_connect_t"
    _fields_ = [("mod", _i32)]


class ModuleMode(Record):
    c_name = "module_mode_t"
    _fields_ = [("mod", _i32), ("mode", _i32), ("state", _i32)]


class ModuleStatus(Record):
    c_name = "module_status_t"
    _fields_ = [("mode", ModuleMode), ("failure_reason", _i32)]


class ModuleDownStatus(Record):
    c_name = "module_down_status_t"
    _fields_ = [("mod", _i32), ("mode", ModuleMode), ("failure_reason", _i32)]


class KeepaliveRequest(Record):
    c_name = "keepalive_request_t"
    _fields_ = [("seq", _i32)]


class KeepaliveResponse(Record):
    c_name = "keepalive_response_t"
    _fields_ = [("seq", _i32), ("mod_status", ModuleStatus)]


class IssuInfo(Record):
    c_name = "issu_info_t"
    _fields_ = [("module", _i32), ("action", _i32), ("status", _i32)]


class NlData(Record):
    """Header of a module's NETWORK_LAYER_INFO payload; data bytes follow."""
    c_name = "nl_data_t"
    _fields_ = [("total_len", _i32)]


class MsgHeader(Record):
    """Header of one message in a package; the payload follows."""
    c_name = "msg_t"
    _fields_ = [("type", _i32), ("len", _i32)]


class PkgHeader(Record):
    """Header of a package; the messages follow back to back."""
    c_name = "msg_pkg_t"
    _fields_ = [("total_len", _i32)]


class VornmgrPkgMessage(Record):
    """One message as the package codec of libvornmgr finds it (vorn_mgr_pkg.h)."""
    c_name = "vornmgr_pkg_message_t"
    _fields_ = [("type", _i32), ("len", _i32), ("payload_offset", _i32), ("payload_len", _i32)]


RECORDS = (ModuleConnect, ModuleMode, ModuleStatus, ModuleDownStatus, KeepaliveRequest, KeepaliveResponse,
           IssuInfo, NlData, MsgHeader, PkgHeader, VornmgrPkgMessage)
ENUMS = (Module, Mode, State, FailureReason, IssuAction, IssuActionStatus)

# The take-down's positions in order, and how long the manager waits at each
# for the GO_DOWN answers (seconds): a callback that takes longer is too late.
POSITION_LIMITS = {Module.SYSTEM_SERVICES: 10, Module.FRR: 10, Module.BGP: 5, Module.OSPF: 5, Module.TRELL: 5,
                   Module.STP: 5, Module.SWIVEND: 10, Module.SDK: 5}

MAX_PKG_LEN = 1024
PKG_HDR_LEN = 4
MSG_HDR_LEN = 8
COMM_ENDPOINT = "tcp://127.0.0.1:49002"
PUB_ENDPOINT = "tcp://127.0.0.1:49012"

# Module names as vornmgr-modsim and the demonstration spell them.
MODULE_NAMES = {
    "frr": Module.FRR, "bgp": Module.BGP, "ospf": Module.OSPF, "stp": Module.STP, "trelld": Module.TRELL,
    "swivend": Module.SWIVEND, "sdk": Module.SDK, "system-services": Module.SYSTEM_SERVICES,
}


def module_from(module: str | int) -> Module:
    """The Module for a name of MODULE_NAMES or an enumeration value (int).

    Raises ValueError for anything else; a module of a switch is one of FRR
    (2) to SYSTEM_SERVICES (9).
    """
    if isinstance(module, str):
        if module not in MODULE_NAMES:
            raise ValueError(f"unknown module {module!r}: one of {', '.join(MODULE_NAMES)}")
        return MODULE_NAMES[module]
    value = Module(module)
    if not Module.FRR <= value <= Module.SYSTEM_SERVICES:
        raise ValueError(f"{value.name} is not a module that registers")
    return value
