// SPDX-License-Identifier: Apache-2.0
// vorn_mgr_cli_client.cpp - vornmgrctl, the operator's tool: chooses the boot
// mode of the next restart and asks the manager for it, switches maintenance
// mode and the front-panel ports, upgrades packages, shows the manager's status.

#include "vorn_mgr_cli_client.h"

#include <cerrno>
#include <cstdio>

namespace {

bool vornmgr_is_restart(vorn_mgr_cli_cmd_t cmd)
{
    return cmd == WARMBOOT || cmd == FASTBOOT || cmd == COLDBOOT;
}

} // namespace

int main(int argc, char *argv[])
{
    if (vornmgr_cli_print_version_or_help(argc, argv))
        return 0;
    vornmgr_client_read_config();

    const vorn_mgr_cli_cmd_t cmd = parse_cmdline(argc, argv);
    if (cmd == INVALID)
        return VORNMGRCTL_EXIT_FAILURE;
    // -p, -d, and -u without changes did all their work while parsing.
    if (!call_vornmgr)
        return 0;

    if (vornmgr_is_restart(cmd)) {
        if (!force_boot && !vornmgr_confirm_restart(cmd))
            return VORNMGRCTL_EXIT_FAILURE;
        // The new boot mode is on disk before the manager is asked, so the
        // next boot uses it even if the request cannot be delivered.
        if (update_config_file && do_mode != cfg_mode && !vornmgr_overwrite_config_file()) {
            perror(" failed to save configuration file");
            return VORNMGRCTL_EXIT_FAILURE;
        }
    }
    vornmgr_send_command(cmd);
}
