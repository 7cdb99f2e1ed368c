# SPDX-License-Identifier: Apache-2.0
"""Packages: build them, walk their messages, read payload records.

A thin layer over the package codec of libvornmgr (vorn_mgr_pkg.h), so that a
module in Python reads the wire exactly as one in C: the walk stops at the
package's own total_len, never past the bytes received, and a message whose
len cannot be makes the rest of the package malformed.
"""

from __future__ import annotations

import ctypes
import os
import sys
from typing import Iterator, NamedTuple, TypeVar

from . import _lib
from .wire import MAX_PKG_LEN, PKG_HDR_LEN, Record, VornmgrPkgMessage

_MESSAGE, _END, _MALFORMED = 0, 1, 2


class MalformedPackage(ValueError):
    """A message whose len is below its header or runs past the package.

    ``type`` and ``len`` are those the message claimed; ``offset`` is where it
    starts. The messages before it were whole.
    """

    def __init__(self, type_: int, length: int, offset: int) -> None:
        super().__init__(f"malformed message type 0x{type_ & 0xffffffff:x} len {length} at offset {offset}")
        self.type, self.len, self.offset = type_, length, offset


class Message(NamedTuple):
    """One message of a package: its type (an int, a State value), its len
    (header included) and its payload bytes."""
    type: int
    len: int
    payload: bytes


RecordT = TypeVar("RecordT", bound="Record")


def build_package(*messages: tuple[int, Record | bytes | None], capacity: int = MAX_PKG_LEN) -> bytes:
    """The package holding ``messages``, each a (type, payload) pair.

    The payload is a Record, bytes, or None for none. Raises ValueError when
    the package would exceed ``capacity`` (the manager's 1024 bytes).
    """
    buffer = ctypes.create_string_buffer(capacity)
    _lib.vornmgr_pkg_init(buffer, capacity)
    for message_type, payload in messages:
        data = b"" if payload is None else bytes(payload)
        if _lib.vornmgr_pkg_add(buffer, capacity, int(message_type), data, len(data)) < 0:
            code = ctypes.get_errno()
            raise ValueError(f"cannot add a {len(data)}-byte payload: {os.strerror(code)}")
    # Host order, as every number on the wire: the package is built here.
    total_len = int.from_bytes(buffer.raw[:PKG_HDR_LEN], sys.byteorder, signed=True)
    return buffer.raw[:total_len]


def walk_package(package: bytes) -> Iterator[Message]:
    """Yields each whole Message of ``package`` (bytes) in order.

    Raises MalformedPackage on reaching a message that cannot be, after the
    whole messages before it were yielded.
    """
    data = bytes(package)
    end = _lib.vornmgr_pkg_end(data, len(data))
    found = VornmgrPkgMessage()
    offset = PKG_HDR_LEN
    while True:
        outcome = _lib.vornmgr_pkg_read_message(data, offset, end, ctypes.byref(found))
        if outcome == _END:
            return
        if outcome == _MALFORMED:
            raise MalformedPackage(found.type, found.len, offset)
        start = found.payload_offset
        yield Message(found.type, found.len, data[start:start + found.payload_len])
        offset += found.len


def read_payload(message: Message, record_type: type[RecordT]) -> RecordT:
    """The payload of ``message`` as a ``record_type`` (a Record class).

    Raises ValueError when the payload is shorter than the record; bytes
    beyond it are ignored.
    """
    record = record_type()
    if len(message.payload) < ctypes.sizeof(record_type):
        raise ValueError(f"short message type {message.type} len {message.len} for {record_type.__name__}")
    ctypes.memmove(ctypes.addressof(record), message.payload, ctypes.sizeof(record_type))
    return record


def first_type(package: bytes) -> int | None:
    """The type of the package's first message, or None if it holds none."""
    try:
        return next(iter(walk_package(package))).type
    except (StopIteration, MalformedPackage):
        return None


__all__ = ["Message", "MalformedPackage", "build_package", "walk_package", "read_payload", "first_type"]
