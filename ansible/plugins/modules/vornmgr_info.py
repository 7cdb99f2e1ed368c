#!/usr/bin/python
# SPDX-License-Identifier: Apache-2.0

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: vornmgr_info
short_description: Read the lifecycle manager's status and last take-down
description:
  - Asks C(vornmgrd) for its status (C(vornmgrctl --json)) and its history
    (C(vornmgrctl --history --json)) and returns them as facts under
    C(vornmgr) - the system mode, maintenance, the ports marker, each
    registered module's mode, state, up time and restarts, and the timeline
    of the newest take-down.
  - Never changes anything on the switch.
version_added: "1.0.0"
author: vornmgr developers
options:
  history:
    description: How many records of the history to read when looking for the newest take-down.
    type: int
    default: 10
  vornmgrctl:
    description: Path of C(vornmgrctl) on the switch; by default found on C(PATH) or in C(/usr/sbin).
    type: path
notes:
  - Needs root on the switch (the manager's socket is root's).
  - Supports check mode; it does the same in both.
"""

EXAMPLES = r"""
- name: Read the manager's status
  vornmgr.switch.vornmgr_info:

- name: Stop unless every module is up
  ansible.builtin.assert:
    that: vornmgr.all_up
    fail_msg: "{{ vornmgr.modules_up }} of {{ vornmgr.modules_registered }} modules up"
"""

RETURN = r"""
ansible_facts:
  description: The facts, under C(vornmgr).
  returned: success
  type: dict
  contains:
    vornmgr:
      description: The manager's status and the newest take-down.
      type: dict
      contains:
        mode:
          description: The system mode as C(vornmgrctl -s) prints it.
          type: str
          sample: warm
        mode_words:
          description: The mode's set bits as words.
          type: list
          elements: str
          sample: [warm, maintenance]
        boot:
          description: C(cold), C(fast) or C(warm).
          type: str
        maintenance:
          description: Whether the switch is in maintenance mode.
          type: bool
        maintenance_since:
          description: When maintenance was entered, in seconds since the epoch; null when unknown or not in maintenance.
          type: int
        ports_in_maintenance:
          description: Whether the front-panel ports are shut for maintenance.
          type: bool
        upgrade_pending:
          description: Whether packages were upgraded and the next restart is an upgrade restart.
          type: bool
        discovery_in_progress:
          description: Whether a restarted manager is still finding its modules.
          type: bool
        start_time:
          description: When the manager became ready, in seconds; changes with every start of the manager.
          type: int
        modules:
          description: One entry per registered module, in the order of C(vornmgrctl -s).
          type: list
          elements: dict
          sample:
            - name: bgp
              mode: warm
              boot: warm
              state: up
              up: true
              up_time_s: 52
              starts: 1
              restarts: 0
              keepalive_missed: 0
              last_take_down: null
        modules_registered:
          description: How many modules are registered.
          type: int
        modules_up:
          description: How many of them report themselves up.
          type: int
        all_up:
          description: Whether at least one module is registered and every one is up.
          type: bool
        last_take_down:
          description: The newest take-down (restart or maintenance entry) of the history; null without one.
          type: dict
          contains:
            kind:
              description: C(restart) or C(maintenance-on).
              type: str
            duration_s:
              description: How long the take-down took, in seconds.
              type: float
            slowest_module:
              description: The module whose position was waited on longest.
              type: str
            slowest_wait_ms:
              description: How long that position waited, in milliseconds.
              type: float
            missing:
              description: Modules that did not answer a GO_DOWN in time.
              type: list
              elements: str
            failed:
              description: Modules that answered a GO_DOWN with a failure.
              type: list
              elements: str
            positions:
              description: One entry per module taken down, in layering order, with C(waited_ms), C(timed_out), C(missing) and C(failed).
              type: list
              elements: dict
vornmgrctl:
  description: The path of C(vornmgrctl) used.
  returned: success
  type: str
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.vornmgr.switch.plugins.module_utils.vornmgrctl import (
    Vornmgrctl,
    VornmgrctlError,
    status_facts,
)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            history=dict(type="int", default=10),
            vornmgrctl=dict(type="path"),
        ),
        supports_check_mode=True,
    )
    if module.params["history"] < 1:
        module.fail_json(msg="history must be at least 1, not %d" % module.params["history"])
    ctl = Vornmgrctl(module, module.params["vornmgrctl"])
    warnings = []
    try:
        status = ctl.status()
    except VornmgrctlError as error:
        module.fail_json(msg=str(error), vornmgrctl=ctl.path)
    try:
        records = ctl.history(module.params["history"])
    except VornmgrctlError as error:
        # The status is still worth having without the timeline.
        warnings.append(str(error))
        records = []
    module.exit_json(changed=False, ansible_facts={"vornmgr": status_facts(status, records)},
                     vornmgrctl=ctl.path, warnings=warnings)


if __name__ == "__main__":
    main()
