# SPDX-License-Identifier: Apache-2.0
"""vornmgr.Module against a fake manager: the bytes it sends for the handshake
and for every broadcast it owes an answer, as the C modules send them."""

import logging
import struct
import threading

import vornmgr
from vornmgr import FailureReason, Mode, ModuleId, State

from conftest import wait_until

ACK = struct.pack("=3i", 12, State.ACK, 8)


def pkg(*messages):
    """A package of (type, payload ints...) messages."""
    body = b"".join(struct.pack(f"={len(m) + 1}i", m[0], 4 * len(m) + 4, *m[1:]) for m in messages)
    return struct.pack("=i", 4 + len(body)) + body


def in_thread(function):
    results = []
    thread = threading.Thread(target=lambda: results.append(function()))
    thread.start()
    return thread, results


def test_module_handshakes_and_answers_like_the_c_modules(fake_manager):
    came_up = []
    module = vornmgr.Module("bgp", on_go_down=lambda mod, mode: FailureReason.BUSY if mod == ModuleId.BGP else None,
                            on_come_up=came_up.append)
    starting, started = in_thread(module.start)
    assert fake_manager.answer(ACK) == pkg((State.MODULE_REGISTER, ModuleId.BGP))
    assert fake_manager.answer(pkg((State.MODE_INFO, ModuleId.BGP, Mode.REBOOT_WARM, State.UP),
                                   (State.MOD_LIST, ModuleId.FRR, ModuleId.STP))) == \
        pkg((State.LOAD_COMPLETE, ModuleId.BGP, Mode.REBOOT_COLD, State.LOAD_COMPLETE, 0))
    # The mode told in MODE_INFO is the one it reports from then on.
    assert fake_manager.answer(pkg((State.UP, ModuleId.BGP, Mode.REBOOT_WARM, State.UP, 0))) == \
        pkg((State.INIT_COMPLETE, ModuleId.BGP, Mode.REBOOT_WARM, State.INIT_COMPLETE, 0))
    starting.join(5)
    assert started == [(Mode.REBOOT_WARM, State.UP, [ModuleId.FRR, ModuleId.STP])]
    fake_manager.wait_subscribed()

    fake_manager.publish(pkg((State.KEEP_ALIVE_REQ, 7)))
    assert fake_manager.answer(ACK) == pkg((State.KEEP_ALIVE_RESP, 7, ModuleId.BGP, Mode.REBOOT_WARM, State.UP, 0))
    fake_manager.publish(pkg((State.MODULE_STATUS_REQ,)))
    assert fake_manager.answer(ACK) == pkg((State.MODULE_STATUS_RESP, ModuleId.BGP, Mode.REBOOT_WARM, State.UP, 0))

    # Every GO_DOWN is answered; the failure reason on_go_down gives is carried.
    fake_manager.publish(pkg((State.GO_DOWN, ModuleId.FRR, Mode.REBOOT_FAST, State.GO_DOWN)))
    assert fake_manager.answer(ACK) == \
        pkg((State.GO_DOWN, ModuleId.FRR, ModuleId.BGP, Mode.REBOOT_FAST, State.GO_DOWN, 0))
    fake_manager.publish(pkg((State.GO_DOWN, ModuleId.BGP, Mode.REBOOT_FAST, State.GO_DOWN)))
    assert fake_manager.answer(ACK) == \
        pkg((State.GO_DOWN, ModuleId.BGP, ModuleId.BGP, Mode.REBOOT_FAST, State.GO_DOWN, FailureReason.BUSY))
    assert wait_until(lambda: module.state == State.GO_DOWN)

    # A COME_UP for another module asks nothing; one for all runs the handshake again.
    fake_manager.publish(pkg((State.COME_UP, ModuleId.STP, Mode.REBOOT_FAST, State.COME_UP)))
    fake_manager.publish(pkg((State.COME_UP, ModuleId.ALL_MODULES, Mode.REBOOT_FAST, State.COME_UP)))
    assert fake_manager.answer(pkg((State.MODE_INFO, ModuleId.BGP, Mode.REBOOT_FAST, State.UP), (State.MOD_LIST,))) \
        == pkg((State.LOAD_COMPLETE, ModuleId.BGP, Mode.REBOOT_FAST, State.LOAD_COMPLETE, 0))
    assert fake_manager.answer(pkg((State.UP, ModuleId.BGP, Mode.REBOOT_FAST, State.UP, 0))) == \
        pkg((State.INIT_COMPLETE, ModuleId.BGP, Mode.REBOOT_FAST, State.INIT_COMPLETE, 0))
    assert wait_until(lambda: came_up == [Mode.REBOOT_FAST])
    assert (module.mode, module.state, module.modules_up) == (Mode.REBOOT_FAST, State.UP, [])

    stopping, _ = in_thread(module.stop)
    assert fake_manager.answer(ACK) == pkg((State.MODULE_UNREGISTER, ModuleId.BGP))
    stopping.join(5)
    assert not stopping.is_alive()


def test_module_runs_the_handshake_the_manager_never_answered_again_when_it_is_back(fake_manager, caplog):
    caplog.set_level(logging.INFO, logger="vornmgr")
    came_up = []
    module = vornmgr.Module("stp", on_come_up=came_up.append)
    starting, _ = in_thread(module.start)
    fake_manager.answer(ACK)
    fake_manager.answer(pkg((State.MODE_INFO, ModuleId.STP, Mode.REBOOT_WARM, State.UP), (State.MOD_LIST,)))
    fake_manager.answer(pkg((State.UP, ModuleId.STP, Mode.REBOOT_WARM, State.UP, 0)))
    starting.join(5)
    fake_manager.wait_subscribed()

    # A manager killed right after its COME_UP takes the LOAD_COMPLETE with it.
    fake_manager.publish(pkg((State.COME_UP, ModuleId.ALL_MODULES, Mode.REBOOT_FAST, State.COME_UP)))
    assert fake_manager.reply.poll(5000)
    assert fake_manager.reply.recv() == \
        pkg((State.LOAD_COMPLETE, ModuleId.STP, Mode.REBOOT_WARM, State.LOAD_COMPLETE, 0))
    assert wait_until(lambda: module.state == State.LOAD_COMPLETE, 15)
    # Owed to a requester that gave up: goes nowhere, and the socket is back in step.
    fake_manager.reply.send(ACK)

    # The restarted manager's probe is answered first, with the module not up.
    fake_manager.publish(pkg((State.MODULE_STATUS_REQ,)))
    assert fake_manager.answer(ACK) == \
        pkg((State.MODULE_STATUS_RESP, ModuleId.STP, Mode.REBOOT_WARM, State.LOAD_COMPLETE, 0))
    assert fake_manager.answer(pkg((State.MODE_INFO, ModuleId.STP, Mode.REBOOT_FAST, State.UP), (State.MOD_LIST,))) \
        == pkg((State.LOAD_COMPLETE, ModuleId.STP, Mode.REBOOT_WARM, State.LOAD_COMPLETE, 0))
    assert fake_manager.answer(pkg((State.UP, ModuleId.STP, Mode.REBOOT_FAST, State.UP, 0))) == \
        pkg((State.INIT_COMPLETE, ModuleId.STP, Mode.REBOOT_FAST, State.INIT_COMPLETE, 0))
    assert wait_until(lambda: came_up == [Mode.REBOOT_FAST])
    assert module.state == State.UP
    assert "stp: handshake done on retry: up, mode fast, state up" in caplog.messages

    stopping, _ = in_thread(module.stop)
    assert fake_manager.answer(ACK) == pkg((State.MODULE_UNREGISTER, ModuleId.STP))
    stopping.join(5)
    assert not stopping.is_alive()
