// SPDX-License-Identifier: Apache-2.0
// vorn_mgr_cli_client_state.cpp - vornmgrctl's globals: what the boot-mode files
// say and what the command line asked for.

#include "vorn_mgr_cli_client.h"
#include "vorn_config_line.h"

bool call_vornmgr = true;
bool force_boot = false;
bool override = false;
Mode start_mode = UNKNOWN_MODE;
Mode cfg_mode = UNKNOWN_MODE;
Mode do_mode = UNKNOWN_MODE;
bool update_config_file = false;
bool upgrade_failed = false;
int l3_register_timeout = VORNMGR_DEFAULT_L3_UP_MAX_TIME;
int l3_nl_info_timeout = VORNMGR_DEFAULT_ISSU_COMPLETE_MAX_TIME;
int cfg_reboot_grace_time = VORNMGR_DEFAULT_REBOOT_GRACE_TIME;
int cfg_bring_up_max_time = VORNMGR_DEFAULT_BRING_UP_MAX_TIME;
char cfg_module_users[VORN_CONFIG_MODULE_USERS_LEN] = "";
int cfg_keepalive_interval = VORNMGR_DEFAULT_KEEPALIVE_INTERVAL;
