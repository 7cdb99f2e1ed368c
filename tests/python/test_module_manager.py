# SPDX-License-Identifier: Apache-2.0
"""vornmgr.Module and vornmgr.Client against the real manager."""

import signal
import time

import pytest

import vornmgr
from vornmgr import Mode, ModuleId, State

from conftest import wait_until


def test_module_registers_goes_down_for_maintenance_comes_back_and_unregisters(manager):
    calls = []
    module = vornmgr.Module("stp", on_go_down=lambda mod, mode: calls.append(("go down", mod, mode)),
                            on_come_up=lambda mode: calls.append(("come up", mode)))
    assert module.start() == (Mode.REBOOT_COLD, State.UP, [])
    assert manager.status_row("stp").startswith(" stp             : cold, up")

    started = time.monotonic()
    taken_down = manager.ctl("-m1")
    took = time.monotonic() - started
    assert taken_down.returncode == 0, taken_down.stdout + taken_down.stderr
    # Its answer ends the position at once, not at the 10-second time-out.
    assert took < 2.0, manager.log()
    assert "GOING_DOWN ack from stp for stp (1 of 1)" in manager.log()
    assert calls == [("go down", ModuleId.STP, Mode.MAINTENANCE | Mode.REBOOT_COLD)]
    assert ", down" in manager.status_row("stp")

    assert manager.ctl("-m0").returncode == 0
    assert wait_until(lambda: ", up" in manager.status_row("stp")), manager.status_row("stp")
    assert calls[1:] == [("come up", Mode.REBOOT_COLD)]

    module.stop()
    assert wait_until(lambda: ", module unregister" in manager.status_row("stp")), manager.status_row("stp")


def test_a_request_the_manager_leaves_unanswered_times_out_and_the_next_one_works(manager):
    status = vornmgr.ModuleStatus(vornmgr.ModuleMode(ModuleId.BGP, Mode.REBOOT_COLD, State.UP), 0)
    with vornmgr.Client("bgp", lambda package: None) as client:
        manager.process.send_signal(signal.SIGSTOP)
        # The stop reaches every thread a moment later: a request sent at once
        # could still be answered.
        assert wait_until(lambda: manager.all_threads_stopped())
        started = time.monotonic()
        try:
            with pytest.raises(TimeoutError):
                client.request(State.MODULE_STATUS_RESP, status)
        finally:
            manager.process.send_signal(signal.SIGCONT)
        assert 4.5 < time.monotonic() - started < 8
        assert vornmgr.first_type(client.request(State.MODULE_STATUS_RESP, status)) == State.ACK
