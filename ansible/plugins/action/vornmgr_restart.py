# SPDX-License-Identifier: Apache-2.0
# The restart, seen from the controller: check the switch, ask for the
# restart, then wait through the reboot until the switch is whole again. The
# request's own answer may be lost with the session the reboot ends, so what
# happened is read afterwards from the manager's history, which survives it.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import shlex
import time

from ansible.errors import AnsibleConnectionFailure
from ansible.module_utils._text import to_text
from ansible.module_utils.common.validation import check_type_bool, check_type_int
from ansible.plugins.action import ActionBase
from ansible.utils.display import Display

from ansible_collections.vornmgr.switch.plugins.module_utils.vornmgrctl import (
    RESTART_OPTIONS,
    VornmgrctlError,
    boot_of,
    decode_document,
    decode_lines,
    modules_not_up,
    problem_module,
    restart_record,
    take_down_problems,
    take_down_summary,
)

display = Display()

POLL_SECONDS = 0.5
# How long one attempt to reach the switch may take while it reboots.
CONNECT_TIMEOUT = 10
# How often, while the manager still answers with its old start time, its
# history is read for a restart that ended without a reboot.
HISTORY_CHECK_SECONDS = 5.0
# How long a manager must stay up after recording a failed reboot command
# before the restart is given up.
REBOOT_FAILURE_GRACE_SECONDS = 10.0
# The manager answers a restart after its take-down (at most 55 s) and
# stores the record before the answer: without one by then, the request
# never reached it.
REQUEST_ANSWER_SECONDS = 90


class RestartFailed(Exception):
    pass


class ActionModule(ActionBase):
    TRANSFERS_FILES = False
    _VALID_ARGS = frozenset(("mode", "force", "timeout", "vornmgrctl"))

    def _arguments(self):
        args = self._task.args
        mode = args.get("mode", "configured")
        if mode not in RESTART_OPTIONS:
            raise RestartFailed("mode must be one of %s, not %r" % (", ".join(RESTART_OPTIONS), mode))
        try:
            force = check_type_bool(args.get("force", False))
            timeout = check_type_int(args.get("timeout", 600))
        except TypeError as error:
            raise RestartFailed(str(error))
        if timeout <= 0:
            raise RestartFailed("timeout must be positive, not %d" % timeout)
        return mode, force, timeout, args.get("vornmgrctl")

    def _ctl_command(self, ctl, *args):
        return " ".join(shlex.quote(word) for word in [ctl] + list(args))

    def _remote(self, ctl, *args):
        """Runs vornmgrctl on the switch; its standard output. Connection
        failures propagate; a failing tool raises VornmgrctlError."""
        result = self._low_level_execute_command(self._ctl_command(ctl, *args) + " </dev/null", sudoable=True)
        if result.get("rc") != 0:
            raise VornmgrctlError("vornmgrctl %s failed (status %s): %s"
                                  % (" ".join(args), result.get("rc"), to_text(result.get("stderr")).strip()))
        return to_text(result.get("stdout"))

    def _reset_connection(self):
        try:
            self._connection.set_option("connection_timeout", CONNECT_TIMEOUT)
        except (AttributeError, KeyError):
            pass
        try:
            self._connection.reset()
        except Exception as error:  # a switch in the middle of its reboot
            display.vvv("vornmgr_restart: resetting the connection: %s" % to_text(error))

    def _own_record(self, ctl, after_ms, pid):
        records = decode_lines(self._remote(ctl, "--history", "20", "--json"), "vornmgrctl --history --json")
        return restart_record(records, after_ms, pid)

    def _refused(self, ctl, before, after_ms):
        """Whether a request the tool reported as failed left the switch as
        it was: the same manager, and no record of a restart. A tool ended
        by the reboot it asked for fails too, but the switch goes down."""
        try:
            status = decode_document(self._remote(ctl, "--json"), "vornmgrctl --json")
            if status.get("start_time") != before.get("start_time"):
                return False
            return self._own_record(ctl, after_ms, None) is None
        except Exception as error:
            display.vvv("vornmgr_restart: after a failed request: %s" % to_text(error))
            return False

    def _wait(self, ctl, before, names, boot, deadline, after_ms, pid, requested, request_error):
        """Polls until the manager answers with a new start time and every
        module of `names` is up in `boot` (the new system mode's, when None).
        Returns (status after, problems left); raises RestartFailed when the
        history shows that no reboot will come, or none came in time."""
        last_error = "no answer yet"
        next_history_check = time.monotonic() + HISTORY_CHECK_SECONDS
        failure_seen_at = None
        status = None
        problems = []
        while time.monotonic() < deadline:
            try:
                status = decode_document(self._remote(ctl, "--json"), "vornmgrctl --json")
            except VornmgrctlError as error:
                # The switch answers; its manager does not yet.
                last_error = to_text(error)
                time.sleep(POLL_SECONDS)
                continue
            except Exception as error:
                last_error = to_text(error)
                self._reset_connection()
                time.sleep(POLL_SECONDS)
                continue
            if status.get("start_time") == before.get("start_time"):
                if time.monotonic() >= next_history_check:
                    next_history_check = time.monotonic() + HISTORY_CHECK_SECONDS
                    try:
                        record = self._own_record(ctl, after_ms, pid)
                    except (AnsibleConnectionFailure, VornmgrctlError):
                        record = None
                    summary = take_down_summary(record)
                    if record is None and time.monotonic() - requested > REQUEST_ANSWER_SECONDS:
                        raise RestartFailed("the manager holds no record of the restart %d s after the request, "
                                            "and the switch did not reboot%s"
                                            % (REQUEST_ANSWER_SECONDS, request_error))
                    # The shutdown of a switch may end the reboot command
                    # before the manager, which then records it as failed:
                    # only a manager still there a while later tells that no
                    # reboot comes.
                    if summary and summary.get("reboot_failure") and failure_seen_at is None:
                        failure_seen_at = time.monotonic()
                    elif summary and summary.get("reboot_failure") and \
                            time.monotonic() - failure_seen_at >= REBOOT_FAILURE_GRACE_SECONDS:
                        raise RestartFailed("the switch did not reboot: %s"
                                            % "; ".join(take_down_problems(summary)))
                time.sleep(POLL_SECONDS)
                continue
            problems = modules_not_up(status, names, boot or boot_of(status.get("mode")))
            if not problems:
                return status, []
            time.sleep(POLL_SECONDS)
        if status is None or status.get("start_time") == before.get("start_time"):
            raise RestartFailed("the switch did not come back through a reboot within the timeout (last: %s)"
                                % last_error)
        return status, problems

    def run(self, tmp=None, task_vars=None):
        if task_vars is None:
            task_vars = dict()
        result = super(ActionModule, self).run(tmp, task_vars)
        del tmp
        try:
            mode, force, timeout, ctl_path = self._arguments()
        except RestartFailed as error:
            result.update(failed=True, msg=str(error))
            return result
        result.update(changed=False, mode=mode, missing=[], failed_modules=[], not_up=[])

        info_args = {"history": 1}
        if ctl_path:
            info_args["vornmgrctl"] = ctl_path
        info = self._execute_module(module_name="vornmgr.switch.vornmgr_info", module_args=info_args,
                                    task_vars=task_vars)
        if info.get("failed"):
            result.update(failed=True, msg="reading the manager's status: %s" % info.get("msg"))
            return result
        facts = info["ansible_facts"]["vornmgr"]
        ctl = info["vornmgrctl"]
        names = [module["name"] for module in facts["modules"]]
        result.update(start_time_before=facts["start_time"], modules=names)
        not_up = [module["name"] + ": " + to_text(module["state"]) for module in facts["modules"]
                  if not module["up"]]
        if (not_up or not names) and not force:
            result.update(failed=True, not_up=not_up,
                          msg="refusing to restart: %s (force: true overrides)"
                          % (", ".join(not_up) if names else "no module is registered"))
            return result
        boot = None if mode == "configured" else mode
        if self._play_context.check_mode:
            result.update(changed=True, boot=boot or facts["boot"],
                          msg="would restart %s (vornmgrctl %s) and wait for %d modules"
                          % (mode, RESTART_OPTIONS[mode], len(names)))
            return result

        # The request, and its answer when the reboot leaves time to send one.
        # The manager's clock dates the history's records, so our request is
        # one that began after the status was taken.
        after_ms = int(facts.get("time") or 0) * 1000
        started = time.monotonic()
        deadline = started + timeout
        restart_args = {"mode": mode}
        restart_args["vornmgrctl"] = ctl
        answer = {}
        request_error = ""
        try:
            answer = self._execute_module(module_name="vornmgr.switch.vornmgr_restart",
                                          module_args=restart_args, task_vars=task_vars)
        except Exception as error:
            request_error = " (the request's session: %s)" % to_text(error)
            display.vvv("vornmgr_restart: the session ended with the request: %s" % to_text(error))
        result["changed"] = True
        if answer.get("request_failed") and self._refused(ctl, facts, after_ms):
            result.update(changed=False, failed=True, msg="restart refused: %s" % answer.get("msg"))
            return result
        outcome = answer.get("outcome")
        pid = None
        if outcome:
            result["outcome"] = outcome
            record = outcome.get("record") or {}
            pid = (record.get("requested_by") or {}).get("pid")
        elif answer:
            request_error = " (the request: %s)" % answer.get("msg")
            display.vvv("vornmgr_restart: no outcome from the request: %s" % answer.get("msg"))

        self._reset_connection()
        try:
            after, problems = self._wait(ctl, facts, names, boot, deadline, after_ms, pid, started, request_error)
        except RestartFailed as error:
            result.update(failed=True, msg=str(error))
            return result
        result.update(start_time_after=after.get("start_time"), boot=boot_of(after.get("mode")),
                      elapsed_s=round(time.monotonic() - started, 3))
        result["not_up"] = problems

        record = None
        for attempt in range(3):
            try:
                record = self._own_record(ctl, after_ms, pid)
                break
            except Exception as error:
                display.vvv("vornmgr_restart: reading the history: %s" % to_text(error))
                self._reset_connection()
                time.sleep(POLL_SECONDS)
        if record is None and outcome:
            record = outcome.get("record")
        summary = take_down_summary(record)
        failures = []
        if summary:
            result.update(take_down=summary, take_down_duration_s=summary["duration_s"],
                          slowest_module=summary["slowest_module"], slowest_wait_ms=summary["slowest_wait_ms"],
                          missing=summary["missing"], failed_modules=summary["failed"])
            failures += take_down_problems(summary, rebooted=True)
        else:
            failures.append("no history record of this restart was found")
        failures += ["%s did not come back up (%s)" % (problem_module(problem), problem.split(": ", 1)[1])
                     for problem in problems]
        if failures:
            result.update(failed=True, msg="restart of %s: %s" % (task_vars.get("inventory_hostname", "the switch"),
                                                                  "; ".join(failures)))
            return result
        result["msg"] = "restarted %s in %.1f s; take-down %.3f s, slowest %s" % (
            result.get("boot"), result["elapsed_s"], summary["duration_s"] or 0, summary["slowest_module"])
        return result
