#!/usr/bin/python
# SPDX-License-Identifier: Apache-2.0

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
---
module: vornmgr_upgrade
short_description: Upgrade the switch's packages through vornmgrctl
description:
  - Runs C(vornmgrctl -u), which updates the package lists, upgrades the
    installed packages keeping locally changed configuration files, and,
    when something was upgraded, tells the manager that its next restart is
    an upgrade restart. The switch is never restarted by this module; use
    M(vornmgr.switch.vornmgr_restart) afterwards when RV(restart_required).
  - Whether something was upgraded is told, as C(vornmgrctl) itself tells
    it, by the package manager's log C(/var/log/apt/history.log) changing,
    and by the manager's status turning C(upgrade_pending) on
    (C(vornmgrctl --json)); whether a restart is required by
    C(upgrade_pending) and C(/var/run/reboot-required).
  - In check mode runs C(vornmgrctl -d) (the package manager's dry run)
    instead, and changes nothing.
version_added: "1.0.0"
author: vornmgr developers
options:
  vornmgrctl:
    description: Path of C(vornmgrctl) on the switch; by default found on C(PATH) or in C(/usr/sbin).
    type: path
notes:
  - Supports check mode.
"""

EXAMPLES = r"""
- name: Upgrade the packages
  vornmgr.switch.vornmgr_upgrade:
  register: upgrade

- name: Restart where the upgrade asks for it
  vornmgr.switch.vornmgr_restart:
    mode: configured
  when: upgrade.restart_required
"""

RETURN = r"""
upgraded:
  description: Whether packages were upgraded by this run (in check mode, whether the dry run would upgrade some).
  returned: always
  type: bool
upgrade_pending:
  description: Whether the manager's next restart is an upgrade restart.
  returned: always
  type: bool
restart_required:
  description: Whether the switch should be restarted, for an upgrade pending or C(/var/run/reboot-required).
  returned: always
  type: bool
reboot_required_text:
  description: The text of C(/var/run/reboot-required), empty without it.
  returned: always
  type: str
would_upgrade:
  description: In check mode, the packages the dry run would upgrade.
  returned: in check mode
  type: list
  elements: str
output:
  description: What vornmgrctl printed, line by line.
  returned: always
  type: list
  elements: str
"""

import hashlib

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.vornmgr.switch.plugins.module_utils.vornmgrctl import (
    Vornmgrctl,
    VornmgrctlError,
    failure_text,
)

REBOOT_REQUIRED = "/var/run/reboot-required"
APT_HISTORY = "/var/log/apt/history.log"


def reboot_required_text():
    try:
        with open(REBOOT_REQUIRED, "r", errors="replace") as text:
            return text.read()
    except FileNotFoundError:
        return ""
    except OSError as error:
        return "(%s: %s)" % (REBOOT_REQUIRED, error.strerror)


def apt_history_digest():
    """The package manager's log's digest; None without one."""
    digest = hashlib.sha256()
    try:
        with open(APT_HISTORY, "rb") as history:
            for block in iter(lambda: history.read(65536), b""):
                digest.update(block)
    except OSError:
        return None
    return digest.hexdigest()


def main():
    module = AnsibleModule(argument_spec=dict(vornmgrctl=dict(type="path")), supports_check_mode=True)
    ctl = Vornmgrctl(module, module.params["vornmgrctl"])
    try:
        pending_before = bool(ctl.status().get("upgrade_pending"))
    except VornmgrctlError as error:
        module.fail_json(msg=str(error))
    history_before = apt_history_digest()

    rc, out, err = ctl.run("-d" if module.check_mode else "-u")
    output = [line for line in (out + err).splitlines() if line.strip()]
    if rc != 0:
        module.fail_json(msg="vornmgrctl %s failed (status %d): %s" % ("-d" if module.check_mode else "-u", rc,
                                                                        failure_text(out, err)),
                         output=output)
    text = reboot_required_text()
    if module.check_mode:
        # The package manager's dry run names each package it would install
        # on an "Inst" line.
        would = [line.split()[1] for line in out.splitlines() if line.startswith("Inst ") and len(line.split()) > 1]
        module.exit_json(changed=bool(would), upgraded=bool(would), would_upgrade=would,
                         upgrade_pending=pending_before, restart_required=pending_before or bool(would) or bool(text),
                         reboot_required_text=text, output=output)

    try:
        pending_after = bool(ctl.status().get("upgrade_pending"))
    except VornmgrctlError as error:
        module.fail_json(msg="the upgrade ran, but then: %s" % error, output=output)
    history_after = apt_history_digest()
    upgraded = (pending_after and not pending_before) or history_after != history_before
    module.exit_json(changed=upgraded, upgraded=upgraded, upgrade_pending=pending_after,
                     restart_required=pending_after or bool(text), reboot_required_text=text, output=output)


if __name__ == "__main__":
    main()
