# SPDX-License-Identifier: Apache-2.0
"""What module authors trip over: wrong answers, a bring-up that must be
refused, errors, signals, asyncio, and a binding imported without its
library."""

import errno
import logging
import os
import signal
import struct
import subprocess
import sys
import time

import pytest

import vornmgr
from vornmgr import FailureReason, Mode, ModuleId, State

from conftest import wait_until
from test_module_wire import ACK, pkg

EXAMPLE = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "asyncio_module.py")


def python(code, **kwargs):
    return subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, **kwargs)


def take_down(manager):
    started = time.monotonic()
    assert manager.ctl("-m1").returncode == 0
    return time.monotonic() - started


def test_wrong_go_down_answers_are_failures_answered_at_once(manager, caplog, request):
    caplog.set_level(logging.INFO, logger="vornmgr")
    answers = iter(["busy", FailureReason.UNKNOWN])
    raised = []

    def on_go_down(mod, mode):
        try:
            module.stop()
        except vornmgr.Error as error:
            raised.append(error)
        return next(answers)

    module = vornmgr.Module("stp", on_go_down)
    module.start()
    request.addfinalizer(module.stop)
    with pytest.raises(vornmgr.AlreadyRegistered) as again:
        vornmgr.Client("bgp", lambda package: None).register()
    assert again.value.errno == errno.EALREADY and isinstance(again.value, OSError)

    for returned in ("'busy' (str), not a FailureReason", "FailureReason.UNKNOWN, which is 0 on the wire"):
        assert take_down(manager) < 2.0, manager.log()
        assert ", failure" in manager.status_row("stp")
        assert any(returned in line and line.endswith("answered BUSY") for line in caplog.messages)
        assert manager.ctl("-m0").returncode == 0
        assert wait_until(lambda: ", up" in manager.status_row("stp"))
    assert [type(error) for error in raised] == [vornmgr.CalledFromCallback] * 2
    assert raised[0].errno == errno.EDEADLK


def test_refusing_before_up_keeps_the_module_out_of_up_until_the_next_come_up(manager, monkeypatch, request):
    monkeypatch.setattr(vornmgr.module, "RETRY_INTERVAL", 0.1)
    refusals = [True, False, True, False]
    told = []

    def on_before_up(mode, modules_up):
        told.append((mode, modules_up))
        if refusals.pop(0):
            raise RuntimeError("no saved state")

    module = vornmgr.Module("stp", on_before_up=on_before_up, on_come_up=told.append)
    with pytest.raises(vornmgr.BringUpRefused):
        module.start()
    assert ", module unregister" in manager.status_row("stp")
    assert module.start() == (Mode.REBOOT_COLD, State.UP, [])
    request.addfinalizer(module.stop)

    take_down(manager)
    assert manager.ctl("-m0").returncode == 0
    assert wait_until(lambda: module.state == State.FAILURE)
    assert wait_until(lambda: "module status response from stp Mode cold State failure" in manager.log())
    time.sleep(0.5)  # five retry intervals: a refusal is never retried on its own
    assert ", load complete" in manager.status_row("stp") and len(told) == 3

    take_down(manager)
    assert manager.ctl("-m0").returncode == 0
    assert wait_until(lambda: ", up" in manager.status_row("stp"))
    # on_come_up follows the manager's answer to INIT_COMPLETE.
    assert wait_until(lambda: len(told) == 5)
    assert told[1:] == [(Mode.REBOOT_COLD, []), (Mode.REBOOT_COLD, []), (Mode.REBOOT_COLD, []), Mode.REBOOT_COLD]


def test_asyncio_example_answers_from_its_loop_and_stops_on_sigterm(manager):
    example = subprocess.Popen([sys.executable, EXAMPLE, "bgp"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               text=True)
    try:
        assert wait_until(lambda: ", up" in (manager.status_row("bgp") or ""))
        assert take_down(manager) < 2.0, manager.log()
        assert "GOING_DOWN ack from bgp for bgp" in manager.log()
        assert manager.ctl("-m0").returncode == 0
        assert wait_until(lambda: ", up" in manager.status_row("bgp"))
        example.send_signal(signal.SIGTERM)
        output = example.communicate(timeout=10)[0]
    finally:
        example.kill()
    assert example.returncode == 0, output
    for line in ("restoring for cold, modules up: none", "going down for Maintenance, cold", "up again, mode cold",
                 "stopped"):
        assert line in output
    assert ", module unregister" in manager.status_row("bgp")


def test_run_unregisters_on_sigterm(manager):
    module = python("import vornmgr; vornmgr.Module('ospf').run()")
    assert wait_until(lambda: ", up" in (manager.status_row("ospf") or ""))
    module.send_signal(signal.SIGTERM)
    assert module.wait(10) == 0, module.stdout.read()
    assert ", module unregister" in manager.status_row("ospf")


def test_ctrl_c_ends_a_start_the_manager_does_not_answer_at_once(fake_manager):
    module = python("import logging, vornmgr; logging.basicConfig(level=logging.INFO); vornmgr.Module('sdk').run()")
    assert fake_manager.reply.poll(5000)
    started = time.monotonic()
    module.send_signal(signal.SIGINT)
    assert module.wait(5) == 0
    assert time.monotonic() - started < 1.0
    assert "sdk: SIGINT during start, not started" in module.stdout.read()
    fake_manager.reply.recv()
    fake_manager.reply.send(ACK)


def test_a_signal_after_registering_unregisters_before_the_process_ends(fake_manager):
    module = python("import logging, vornmgr; logging.basicConfig(level=logging.INFO); vornmgr.Module('sdk').run()")
    assert fake_manager.answer(ACK) == pkg((State.MODULE_REGISTER, ModuleId.SDK))
    assert fake_manager.reply.poll(5000)
    load_complete = fake_manager.reply.recv()
    assert struct.unpack_from("=i", load_complete, 4)[0] == State.LOAD_COMPLETE
    module.send_signal(signal.SIGTERM)
    # Its log says so before it sends anything more.
    assert any("unregistering the given-up start" in module.stdout.readline() for _ in range(10))
    # Not brought up only to go: the next request is the unregistration.
    fake_manager.reply.send(pkg((State.MODE_INFO, ModuleId.SDK, Mode.REBOOT_COLD, State.UP)))
    assert fake_manager.answer(ACK) == pkg((State.MODULE_UNREGISTER, ModuleId.SDK))
    assert module.wait(5) == 0


def test_import_without_the_library_fails_only_when_it_is_needed_and_the_version_is_known(tmp_path):
    # The dist-info as the CMake rules install it beside the package.
    subprocess.run([sys.executable, os.path.join(vornmgr.__path__[0], "..", "make_dist_info.py"), str(tmp_path)],
                   check=True, capture_output=True)
    environment = {name: value for name, value in os.environ.items() if name != "LD_LIBRARY_PATH"}
    environment["PYTHONPATH"] += os.pathsep + str(tmp_path)
    code = ("import importlib.metadata, vornmgr; assert vornmgr.FailureReason.UNKNOWN == 0; help(vornmgr.Module)\n"
            "print(importlib.metadata.version('vornmgr'), vornmgr.__version__)\n"
            "try:\n    vornmgr.Module('stp')\nexcept ImportError as error:\n    print(error)")
    printed = subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True, text=True,
                             check=True).stdout.splitlines()
    assert printed[-2] == f"{vornmgr.__version__} {vornmgr.__version__}"
    assert printed[-1].startswith("vornmgr needs libvornmgr.so.0")
