# SPDX-License-Identifier: Apache-2.0
"""The binding's view of the wire agrees with the C header, and its package
helpers with the codec's three outcomes."""

import ctypes
import os
import subprocess

import pytest

import vornmgr
from vornmgr import ModuleMode, State


def test_every_size_offset_and_value_matches_the_c_header():
    printed = subprocess.run([os.environ["VORN_LAYOUT"]], capture_output=True, text=True, check=True).stdout
    in_c = {name: int(value) for name, value in (line.split() for line in printed.splitlines())}
    in_python = {"VORNMGR_MAX_PKG_LEN": vornmgr.MAX_PKG_LEN, "VORNMGR_PKG_HDR_LEN": vornmgr.wire.PKG_HDR_LEN,
                 "VORNMGR_MSG_HDR_LEN": vornmgr.wire.MSG_HDR_LEN}
    for record in vornmgr.RECORDS:
        in_python[record.c_name] = ctypes.sizeof(record)
        for field, _ in record._fields_:
            in_python[f"{record.c_name}.{field}"] = getattr(record, field).offset
    for enumeration in vornmgr.ENUMS:
        for name, member in enumeration.__members__.items():
            in_python[name] = int(member)
    assert in_python == in_c


def test_package_helpers_build_walk_and_stop_at_a_malformed_message():
    package = vornmgr.build_package((State.ACK, None), (State.MODE_INFO, ModuleMode(5, 4, 103)))
    assert package == bytes.fromhex("20000000" "6b000000" "08000000" "68000000" "14000000" "05000000"
                                    "04000000" "67000000")
    messages = list(vornmgr.walk_package(package + b"trailing bytes are not the package's"))
    assert [(m.type, m.len) for m in messages] == [(State.ACK, 8), (State.MODE_INFO, 20)]
    info = vornmgr.read_payload(messages[1], ModuleMode)
    assert (info.mod, info.mode, info.state) == (5, 4, 103)
    with pytest.raises(ValueError):
        vornmgr.read_payload(messages[0], ModuleMode)

    # Cut after the first message: the second runs past the bytes received.
    walked = []
    with pytest.raises(vornmgr.MalformedPackage) as malformed:
        for message in vornmgr.walk_package(package[:20]):
            walked.append(message.type)
    assert walked == [State.ACK]
    assert (malformed.value.type, malformed.value.len, malformed.value.offset) == (State.MODE_INFO, 20, 12)
    with pytest.raises(ValueError):
        vornmgr.build_package((State.ACK, bytes(1020)))
