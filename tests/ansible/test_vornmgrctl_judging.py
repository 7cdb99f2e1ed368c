# SPDX-License-Identifier: Apache-2.0
"""How the collection reads vornmgrctl's documents: which history record is a
restart's own, what a take-down record says about its modules, and which
modules a status shows not up. Pure functions, no switch needed."""

import importlib.util
import json
import os

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "..", "..", "ansible", "plugins", "module_utils", "vornmgrctl.py")
found = importlib.util.spec_from_file_location("vornmgrctl_utils", SOURCE)
utils = importlib.util.module_from_spec(found)
found.loader.exec_module(utils)


def mode(*words):
    return {"bits": 0, "words": list(words), "text": ", ".join(words)}


def position(module, waited_us, missing=(), failed=()):
    return {"module": module, "waited_us": waited_us, "timed_out": bool(missing), "required": 3,
            "received": 3 - len(missing), "missing": list(missing),
            "failed": [{"module": name, "id": 0, "reason": "busy", "code": 1} for name in failed]}


def record(kind, started_ms, pid, positions=(), reboot_failure=None):
    return {"version": 1, "kind": kind, "boot": "warm", "started_ms": started_ms, "duration_ms": 900,
            "requested_by": None if pid is None else {"uid": 0, "pid": pid}, "completed": True,
            "registered": 3, "positions": list(positions),
            "reboot": {"command": "reboot", "exit_status": None, "signal": None, "failure": reboot_failure}}


class TestOwnRestartRecord:
    history = [
        record("restart", 1000, 10),
        record("maintenance-on", 5000, 11),
        record("restart", 6000, 12),
        record("recovery", 7000, None),
        record("restart", 8000, 13),
    ]

    def test_newest_restart_after_the_request(self):
        assert utils.restart_record(self.history, 5500)["started_ms"] == 8000

    def test_the_requesting_process_when_known(self):
        assert utils.restart_record(self.history, 5500, pid=12)["started_ms"] == 6000

    def test_none_before_the_request_counts(self):
        assert utils.restart_record(self.history, 9000) is None
        assert utils.restart_record(self.history, 5500, pid=10) is None


class TestTakeDownSummary:
    def test_slowest_position_and_each_module_named_once(self):
        summary = utils.take_down_summary(record("restart", 1, 1, [
            position("frr", 1000),
            position("bgp", 5000000, missing=["bgp", "stp"]),
            position("ospf", 20000, missing=["stp"], failed=["ospf"]),
        ]))
        assert summary["slowest_module"] == "bgp"
        assert summary["slowest_wait_ms"] == 5000.0
        assert summary["missing"] == ["bgp", "stp"]
        assert summary["failed"] == ["ospf"]
        assert summary["timed_out"] == ["bgp", "ospf"]
        assert utils.take_down_problems(summary) == [
            "bgp did not answer GO_DOWN in time", "stp did not answer GO_DOWN in time",
            "ospf answered GO_DOWN with a failure"]

    def test_reboot_failure_counts_only_without_a_reboot(self):
        summary = utils.take_down_summary(record("restart", 1, 1, [position("frr", 10)],
                                                 reboot_failure="the reboot command failed"))
        assert utils.take_down_problems(summary) == ["no reboot came of it: the reboot command failed"]
        assert utils.take_down_problems(summary, rebooted=True) == []


class TestModulesNotUp:
    status = {"modules": [
        {"name": "frr", "state": "up", "mode": mode("warm")},
        {"name": "bgp", "state": "down", "mode": mode("warm", "maintenance")},
        {"name": "sdk", "state": "up", "mode": mode("cold")},
    ]}

    def test_state_registration_and_boot_mode(self):
        assert utils.modules_not_up(self.status, ["frr", "bgp", "sdk", "stp"], "warm") == [
            "bgp: down", "sdk: up in cold mode, not warm", "stp: not registered"]

    def test_every_registered_module_by_default(self):
        assert utils.modules_not_up(self.status) == ["bgp: down"]


class TestDecoding:
    def test_one_object_or_an_error_naming_the_command(self):
        assert utils.decode_document(' {"version": 1}\n', "vornmgrctl --json") == {"version": 1}
        for text in ("", "No config file", "[1]"):
            with pytest.raises(utils.VornmgrctlError, match="vornmgrctl --json"):
                utils.decode_document(text, "vornmgrctl --json")

    def test_history_lines_that_are_not_records_are_left_out(self):
        lines = json.dumps({"kind": "restart"}) + "\n{damaged\n\n" + json.dumps({"kind": "recovery"}) + "\n"
        assert [r["kind"] for r in utils.decode_lines(lines, "history")] == ["restart", "recovery"]

    def test_failure_text_stops_at_the_usage(self):
        assert utils.failure_text(" override disallowed\nUsage: vornmgrctl -{action}\n  -w{f} Warmboot\n",
                                  "No config file\n") == "override disallowed; No config file"
