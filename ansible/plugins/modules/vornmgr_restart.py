#!/usr/bin/python
# SPDX-License-Identifier: Apache-2.0

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: vornmgr_restart
short_description: Restart a switch through its lifecycle manager and wait until it is whole again
description:
  - Refuses unless every registered module is up (O(force=true) overrides).
  - Asks C(vornmgrd) for a restart without the prompt (C(vornmgrctl -wf),
    C(-ff), C(-cf), or C(-rf) for the configured boot mode). The manager
    takes every module down in layering order and reboots the switch.
  - Then waits until the switch really went through its reboot (the
    manager's start time changed, not merely SSH answering again) and every
    module registered before is up again in the boot mode asked for, within
    O(timeout) seconds, resetting the connection between attempts.
  - Fails naming each module that did not answer its GO_DOWN in time,
    answered it with a failure (both from the manager's history record of
    this restart), or did not come back up; also when no reboot came of the
    request.
  - In check mode, reports what it would do and changes nothing.
version_added: "1.0.0"
author: vornmgr developers
options:
  mode:
    description:
      - The boot mode of the restart; C(configured) restarts in the boot mode
        of the manager's configuration file (C(vornmgrctl -rf)).
      - C(warm), C(fast) and C(cold) need C(vornmgrctl_override=true) in the
        configuration, or no valid boot mode there.
    type: str
    choices: [warm, fast, cold, configured]
    default: configured
  force:
    description: Restart even when not every registered module is up.
    type: bool
    default: false
  timeout:
    description: Seconds from the request until every module must be up again.
    type: int
    default: 600
  vornmgrctl:
    description: Path of C(vornmgrctl) on the switch; by default found on C(PATH) or in C(/usr/sbin).
    type: path
notes:
  - This is an action plugin that runs C(vornmgr.switch.vornmgr_info) and
    this module on the switch; the waiting happens on the controller.
  - Supports check mode.
seealso:
  - module: vornmgr.switch.vornmgr_info
"""

EXAMPLES = r"""
- name: Warm restart, waiting up to 10 minutes for every module
  vornmgr.switch.vornmgr_restart:
    mode: warm
  register: restart

- name: Tell how long the take-down took
  ansible.builtin.debug:
    msg: "{{ restart.take_down_duration_s }} s, slowest {{ restart.slowest_module }}"
"""

RETURN = r"""
mode:
  description: The boot mode asked for.
  returned: always
  type: str
boot:
  description: The boot mode the switch came back in (in check mode, the mode it would ask for).
  returned: always
  type: str
start_time_before:
  description: The manager's start time before the restart, in seconds.
  returned: always
  type: int
start_time_after:
  description: The manager's start time after the restart; differs from the one before once the switch rebooted.
  returned: when the switch rebooted
  type: int
modules:
  description: The modules registered before the restart, which must all come back up.
  returned: always
  type: list
  elements: str
take_down_duration_s:
  description: How long the take-down took, from the manager's history record of this restart.
  returned: when the record was found
  type: float
slowest_module:
  description: The module whose GO_DOWN position was waited on longest.
  returned: when the record was found
  type: str
slowest_wait_ms:
  description: How long that position waited.
  returned: when the record was found
  type: float
elapsed_s:
  description: Seconds from the request until every module was up again.
  returned: when the switch rebooted
  type: float
missing:
  description: Modules that did not answer their GO_DOWN in time.
  returned: always
  type: list
  elements: str
failed_modules:
  description: Modules that answered their GO_DOWN with a failure.
  returned: always
  type: list
  elements: str
not_up:
  description: 'Modules not up in the requested mode when the wait ended, for example "bgp: down".'
  returned: always
  type: list
  elements: str
take_down:
  description: The history record of this restart, summed up (positions, missing, failed, reboot failure).
  returned: when the record was found
  type: dict
outcome:
  description: vornmgrctl's outcome object, when the tool could still print it before the reboot ended the session.
  returned: sometimes
  type: dict
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.vornmgr.switch.plugins.module_utils.vornmgrctl import (
    RESTART_OPTIONS,
    Vornmgrctl,
    VornmgrctlError,
)


def main():
    # The action plugin calls this part on the switch: the request itself.
    # Its answer may never arrive, as the reboot ends the session.
    module = AnsibleModule(
        argument_spec=dict(
            mode=dict(type="str", choices=list(RESTART_OPTIONS), default="configured"),
            force=dict(type="bool", default=False),
            timeout=dict(type="int", default=600),
            vornmgrctl=dict(type="path"),
        ),
        supports_check_mode=False,
    )
    ctl = Vornmgrctl(module, module.params["vornmgrctl"])
    option = RESTART_OPTIONS[module.params["mode"]]
    try:
        outcome = ctl.sequence(option)
    except VornmgrctlError as error:
        # Marks a refusal the tool reported, as opposed to a session the
        # reboot cut.
        module.fail_json(msg=str(error), request_failed=True, rc=error.rc)
    module.exit_json(changed=True, outcome=outcome)


if __name__ == "__main__":
    main()
