#!/usr/bin/python
# SPDX-License-Identifier: Apache-2.0

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: vornmgr_maintenance
short_description: Enter or leave the switch's maintenance mode
description:
  - With O(state=present), asks C(vornmgrd) to enter maintenance mode
    (C(vornmgrctl -m1)); every module is taken down in layering order.
    Fails, naming them, when modules did not answer their GO_DOWN in time or
    answered it with a failure (the switch is in maintenance mode then all
    the same, and the task reports a change).
  - With O(state=absent), asks it to leave maintenance mode
    (C(vornmgrctl -m0)) and waits up to O(timeout) seconds until every
    registered module reports itself up; fails naming the modules that did
    not.
  - Idempotent; C(changed) is false when the switch already was in the
    state asked for.
version_added: "1.0.0"
author: vornmgr developers
options:
  state:
    description: C(present) to be in maintenance mode, C(absent) to be out of it.
    type: str
    choices: [present, absent]
    default: present
  timeout:
    description: Seconds to wait, after leaving maintenance, for every registered module to report up.
    type: int
    default: 120
  vornmgrctl:
    description: Path of C(vornmgrctl) on the switch; by default found on C(PATH) or in C(/usr/sbin).
    type: path
notes:
  - Supports check mode, reporting whether the mode would change.
  - Entering maintenance waits for the manager's answer, up to 55 seconds when modules do not answer.
"""

EXAMPLES = r"""
- name: Take every module down for the maintenance window
  vornmgr.switch.vornmgr_maintenance:
    state: present

- name: Bring them up again and wait until all are up
  vornmgr.switch.vornmgr_maintenance:
    state: absent
    timeout: 300
"""

RETURN = r"""
maintenance:
  description: Whether the switch is in maintenance mode now (in check mode, would be).
  returned: always
  type: bool
outcome:
  description: The request's outcome (C(done), C(incomplete), C(unchanged)); null when nothing was asked.
  returned: always
  type: str
missing:
  description: Modules that did not answer their GO_DOWN in time.
  returned: always
  type: list
  elements: str
failed:
  description: Modules that answered their GO_DOWN with a failure.
  returned: always
  type: list
  elements: str
not_up:
  description: 'After leaving maintenance, the modules not up when the wait ended, for example "bgp: down".'
  returned: always
  type: list
  elements: str
take_down:
  description: The take-down's record, summed up (C(duration_s), C(slowest_module), C(positions)); entering only.
  returned: when maintenance was entered
  type: dict
"""

import time

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.vornmgr.switch.plugins.module_utils.vornmgrctl import (
    Vornmgrctl,
    VornmgrctlError,
    modules_not_up,
    module_names,
    problem_module,
    take_down_summary,
)

POLL_SECONDS = 0.5


def wait_until_up(ctl, names, timeout):
    """Polls the status until every module of `names` is up; the problems
    left at the end (empty when all came up)."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            problems = modules_not_up(ctl.status(), names)
        except VornmgrctlError as error:
            problems = [str(error)]
        if not problems or time.monotonic() >= deadline:
            return problems
        time.sleep(POLL_SECONDS)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            state=dict(type="str", choices=["present", "absent"], default="present"),
            timeout=dict(type="int", default=120),
            vornmgrctl=dict(type="path"),
        ),
        supports_check_mode=True,
    )
    want = module.params["state"] == "present"
    if module.params["timeout"] < 0:
        module.fail_json(msg="timeout must not be negative, not %d" % module.params["timeout"])
    ctl = Vornmgrctl(module, module.params["vornmgrctl"])
    result = dict(changed=False, maintenance=want, outcome=None, missing=[], failed=[], not_up=[])
    try:
        before = ctl.status()
    except VornmgrctlError as error:
        module.fail_json(msg=str(error), **result)
    if bool(before.get("maintenance")) == want:
        module.exit_json(**result)
    result["changed"] = True
    if module.check_mode:
        module.exit_json(**result)

    try:
        outcome = ctl.sequence("-m1" if want else "-m0")
    except VornmgrctlError as error:
        result.update(changed=False, maintenance=not want)
        module.fail_json(msg=str(error), **result)
    result.update(outcome=outcome.get("outcome"), missing=outcome.get("missing") or [],
                  failed=outcome.get("failed") or [])
    if outcome.get("outcome") == "unchanged":
        # Someone else changed it between our status and our request.
        result["changed"] = False
    if want:
        result["take_down"] = take_down_summary(outcome.get("record"))
        if result["missing"] or result["failed"]:
            names = result["missing"] + [name for name in result["failed"] if name not in result["missing"]]
            module.fail_json(msg="maintenance entered, but modules did not go down cleanly: %s (missing: %s; "
                             "failed: %s)" % (", ".join(names), ", ".join(result["missing"]) or "none",
                                              ", ".join(result["failed"]) or "none"),
                             problems=outcome.get("problems") or [], **result)
        module.exit_json(**result)

    result["not_up"] = wait_until_up(ctl, module_names(before), module.params["timeout"])
    if result["not_up"]:
        module.fail_json(msg="maintenance left, but not every module came up within %d s: %s"
                         % (module.params["timeout"], ", ".join(result["not_up"])),
                         modules=[problem_module(problem) for problem in result["not_up"]], **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
