# SPDX-License-Identifier: Apache-2.0
# Runs vornmgrctl on the switch and decodes what its --json forms print, and
# judges the decoded documents. The judging functions are pure, so that the
# modules (on the switch) and the restart's action plugin (on the controller)
# read the status and the history the same way.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

import json

# vornmgrctl's exit statuses for a sequence asked with --json.
EXIT_DONE = 0
EXIT_INCOMPLETE = 3
EXIT_FAILURE = 255

# The restart requests, without the prompt.
RESTART_OPTIONS = {"warm": "-wf", "fast": "-ff", "cold": "-cf", "configured": "-rf"}

BOOT_WORDS = ("cold", "fast", "warm")

# Where a Debian system keeps it; PATH of an SSH session may lack sbin.
SEARCH_DIRS = ["/usr/sbin", "/sbin", "/usr/local/sbin"]


class VornmgrctlError(Exception):
    """vornmgrctl failed (exit status `rc`; negative for a signal) or printed
    something that is not its JSON (rc None)."""

    def __init__(self, text, rc=None):
        super(VornmgrctlError, self).__init__(text)
        self.rc = rc


def decode_document(text, what):
    """The one JSON object `text` holds; VornmgrctlError naming `what` else."""
    text = text.strip()
    if not text:
        raise VornmgrctlError("%s printed nothing on standard output" % what)
    try:
        document = json.loads(text)
    except ValueError as error:
        raise VornmgrctlError("%s printed no JSON document (%s): %r" % (what, error, text[:200]))
    if not isinstance(document, dict):
        raise VornmgrctlError("%s printed JSON that is not an object: %r" % (what, text[:200]))
    return document


def decode_lines(text, what):
    """The JSON objects of `text`, one a line; lines that are not one are left out."""
    records = []
    for line in text.splitlines():
        line = line.strip()
        if not line:
            continue
        try:
            record = json.loads(line)
        except ValueError:
            continue
        if isinstance(record, dict):
            records.append(record)
    return records


def mode_words(mode):
    """The words of a mode object ({"bits":…, "words":[…], "text":…})."""
    if isinstance(mode, dict):
        return list(mode.get("words") or [])
    return []


def boot_of(mode):
    """cold, fast or warm from a mode object; None without one."""
    for word in mode_words(mode):
        if word in BOOT_WORDS:
            return word
    return None


def module_names(status):
    return [module.get("name") for module in status.get("modules") or []]


def modules_not_up(status, names=None, boot=None):
    """Problems of the modules `names` (default: every registered one) in
    `status`, one text each, e.g. "bgp: down" or "ospf: not registered";
    with `boot`, a module up in another boot mode counts too."""
    by_name = dict((module.get("name"), module) for module in status.get("modules") or [])
    if names is None:
        names = list(by_name)
    problems = []
    for name in names:
        module = by_name.get(name)
        if module is None:
            problems.append("%s: not registered" % name)
            continue
        if module.get("state") != "up":
            problems.append("%s: %s" % (name, module.get("state")))
            continue
        if boot is not None and boot_of(module.get("mode")) != boot:
            problems.append("%s: up in %s mode, not %s" % (name, boot_of(module.get("mode")), boot))
    return problems


def problem_module(problem):
    """The module a text of modules_not_up names."""
    return problem.split(":", 1)[0]


def is_take_down(record):
    return record.get("kind") in ("restart", "maintenance-on") and bool(record.get("positions"))


def take_down_summary(record):
    """What a take-down record tells an operator: its duration, the slowest
    position (the module whose GO_DOWN was waited on longest), and the modules
    missing or failed, each named once in layering order."""
    if not record:
        return None
    positions = record.get("positions") or []
    slowest = None
    for position in positions:
        if slowest is None or (position.get("waited_us") or 0) > (slowest.get("waited_us") or 0):
            slowest = position
    missing = []
    failed = []
    for position in positions:
        for name in position.get("missing") or []:
            if name not in missing:
                missing.append(name)
        for failure in position.get("failed") or []:
            name = failure.get("module")
            if name not in failed:
                failed.append(name)
    reboot = record.get("reboot") or {}
    duration_ms = record.get("duration_ms")
    return {
        "kind": record.get("kind"),
        "boot": record.get("boot"),
        "started_ms": record.get("started_ms"),
        "duration_ms": duration_ms,
        "duration_s": None if duration_ms is None else round(duration_ms / 1000.0, 3),
        "completed": record.get("completed"),
        "registered": record.get("registered"),
        "slowest_module": slowest.get("module") if slowest else None,
        "slowest_wait_ms": None if slowest is None else round((slowest.get("waited_us") or 0) / 1000.0, 3),
        "timed_out": [position.get("module") for position in positions if position.get("timed_out")],
        "missing": missing,
        "failed": failed,
        "reboot_failure": reboot.get("failure"),
        "positions": [
            {
                "module": position.get("module"),
                "waited_ms": round((position.get("waited_us") or 0) / 1000.0, 3),
                "received": position.get("received"),
                "required": position.get("required"),
                "timed_out": position.get("timed_out"),
                "missing": position.get("missing") or [],
                "failed": [failure.get("module") for failure in position.get("failed") or []],
            }
            for position in positions
        ],
    }


def take_down_problems(summary, rebooted=False):
    """One text per module that held a take-down up, naming it. Once the
    switch is known to have rebooted, a reboot failure in the record is not
    one: the shutdown may end the reboot command before the manager, which
    then records it as killed."""
    if not summary:
        return []
    problems = ["%s did not answer GO_DOWN in time" % name for name in summary["missing"]]
    problems += ["%s answered GO_DOWN with a failure" % name for name in summary["failed"]]
    if summary.get("completed") is False:
        problems.append("the manager stopped in the middle of the take-down")
    if summary.get("reboot_failure") and not rebooted:
        problems.append("no reboot came of it: %s" % summary["reboot_failure"])
    return problems


def restart_record(records, after_ms, pid=None):
    """The newest restart record that began at or after `after_ms` (and was
    asked by `pid`, when known)."""
    for record in reversed(records):
        if record.get("kind") != "restart":
            continue
        if (record.get("started_ms") or 0) < after_ms:
            continue
        requester = record.get("requested_by") or {}
        if pid is not None and requester.get("pid") != pid:
            continue
        return record
    return None


def status_facts(status, records):
    """The facts vornmgr_info returns: the status, trimmed to what an operator
    reads, and the newest take-down of `records`."""
    modules = []
    for module in status.get("modules") or []:
        modules.append({
            "name": module.get("name"),
            "mode": (module.get("mode") or {}).get("text"),
            "boot": boot_of(module.get("mode")),
            "state": module.get("state"),
            "up": module.get("state") == "up",
            "up_time_s": module.get("up_time_s"),
            "starts": module.get("starts"),
            "restarts": module.get("restarts"),
            "keepalive_missed": module.get("keepalive_missed"),
            "last_take_down": module.get("last_take_down"),
        })
    take_downs = [record for record in records if is_take_down(record)]
    return {
        "mode": (status.get("mode") or {}).get("text"),
        "mode_words": mode_words(status.get("mode")),
        "boot": boot_of(status.get("mode")),
        "maintenance": bool(status.get("maintenance")),
        "maintenance_since": status.get("maintenance_since"),
        "ports_in_maintenance": bool(status.get("ports_in_maintenance")),
        "upgrade_pending": bool(status.get("upgrade_pending")),
        "discovery_in_progress": bool(status.get("discovery_in_progress")),
        "start_time": status.get("start_time"),
        "time": status.get("time"),
        "modules": modules,
        "modules_registered": len(modules),
        "modules_up": len([module for module in modules if module["up"]]),
        "all_up": bool(modules) and all(module["up"] for module in modules),
        "last_take_down": take_down_summary(take_downs[-1]) if take_downs else None,
    }


def failure_text(out, err):
    """What a failed vornmgrctl said, on one line, for a message: its
    standard error and its standard output up to the usage text."""
    lines = []
    for line in out.splitlines():
        line = line.strip()
        if line.startswith("Usage:"):
            break
        if line:
            lines.append(line)
    lines += [line.strip() for line in err.splitlines() if line.strip()]
    return "; ".join(lines)[:600]


class Vornmgrctl:
    """vornmgrctl on the switch, run through an AnsibleModule."""

    def __init__(self, module, path=None):
        self.module = module
        self.path = path or module.get_bin_path("vornmgrctl", required=False, opt_dirs=SEARCH_DIRS)
        if not self.path:
            module.fail_json(msg="vornmgrctl not found on the switch (looked on PATH and in %s)"
                             % ", ".join(SEARCH_DIRS))

    def run(self, *args):
        """(exit status, standard output, standard error); standard input is
        empty, so that a prompt can never wait."""
        return self.module.run_command([self.path] + list(args), data="", binary_data=True,
                                       check_rc=False)

    def status(self):
        rc, out, err = self.run("--json")
        if rc != 0:
            raise VornmgrctlError("vornmgrctl --json failed (status %d): %s" % (rc, failure_text("", err)), rc)
        return decode_document(out, "vornmgrctl --json")

    def history(self, count=10):
        """The last `count` records, oldest first. A history that cannot be
        read raises; a missing one is empty."""
        rc, out, err = self.run("--history", str(count), "--json")
        if rc != 0:
            raise VornmgrctlError("vornmgrctl --history --json failed (status %d): %s" % (rc, failure_text("", err)),
                                  rc)
        return decode_lines(out, "vornmgrctl --history --json")

    def sequence(self, option):
        """Asks for a restart or a maintenance change with --json; the
        outcome object. Status 0 and 3 carry one; 255 raises with what the
        tool said."""
        rc, out, err = self.run(option, "--json")
        if rc not in (EXIT_DONE, EXIT_INCOMPLETE):
            raise VornmgrctlError("vornmgrctl %s failed (status %d): %s" % (option, rc, failure_text(out, err)), rc)
        outcome = decode_document(out, "vornmgrctl %s --json" % option)
        outcome["rc"] = rc
        outcome["stderr_lines"] = [line for line in err.splitlines() if line.strip()]
        return outcome
