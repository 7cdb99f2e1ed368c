// SPDX-License-Identifier: Apache-2.0
// Text functions of the shared interface: the words every log line of the
// manager and its modules uses for identifiers, states, modes and ISSU steps.

#include "vorn_mgr_intf.h"

#include <cstdio>

const char *mod_id_to_str(Module mod)
{
    switch (mod) {
    case VORNMGR: return "vornmgr";
    case ALL_MODULES: return "all";
    case FRR: return "frr";
    case BGP: return "bgp";
    case OSPF: return "ospf";
    case STP: return "stp";
    case TRELL: return "trelld";
    case SWIVEND: return "swivend";
    case SDK: return "sdk";
    case SYSTEM_SERVICES: return "System Services";
    case MAX_MODULES: return "max_modules";
    default: return "Unknown";
    }
}

const char *mod_state_to_str(State state)
{
    switch (state) {
    case SUCCESS: return "success";
    case FAILURE: return "failure";
    case IN_PROGRESS: return "in progress";
    case LOAD_COMPLETE: return "load complete";
    case INIT_COMPLETE: return "init complete";
    case KEEP_ALIVE_RESP: return "keepalive response";
    case MODULE_STATUS_RESP: return "module status response";
    case MODULE_REGISTER: return "module register";
    case MODULE_UNREGISTER: return "module unregister";
    case GO_DOWN: return "going down";
    case DOWN: return "down";
    case COME_UP: return "coming up";
    case UP: return "up";
    case MODE_INFO: return "mode info";
    case MOD_LIST: return "mode list";
    case KEEP_ALIVE_REQ: return "keepalive request";
    case ACK: return "ack";
    case NACK: return "nack";
    case NETWORK_LAYER_INFO: return "network layer info";
    case MODULE_STATUS_REQ: return "module status request";
    case ISSU_INFO: return "issu info";
    default: return "Unknown";
    }
}

char *mode_to_str(Mode mode, char *buf)
{
    const unsigned bits = static_cast<unsigned>(mode);
    size_t off = 0;

    buf[0] = '\0';
    if (bits & MAINTENANCE)
        off += static_cast<size_t>(snprintf(buf + off, VORNMGR_TEXT_BUF_LEN - off, "%s, ", "Maintenance"));
    if (bits & SYS_UPGRADE)
        off += static_cast<size_t>(snprintf(buf + off, VORNMGR_TEXT_BUF_LEN - off, "%s, ", "Upgrade"));

    // The boot kind is the first bit set, cold before fast before warm.
    const char *kind = "Unknown";
    if (bits & REBOOT_COLD)
        kind = "cold";
    else if (bits & REBOOT_FAST)
        kind = "fast";
    else if (bits & REBOOT_WARM)
        kind = "warm";
    snprintf(buf + off, VORNMGR_TEXT_BUF_LEN - off, "%s", kind);
    return buf;
}

char *issu_action_to_str(issu_action action, char *buf)
{
    const char *text = "ISSU action unknown";
    if (action == ISSU_START)
        text = "ISSU Start";
    else if (action == ISSU_END)
        text = "ISSU End";
    snprintf(buf, VORNMGR_TEXT_BUF_LEN, "%s", text);
    return buf;
}

char *issu_status_to_str(issu_action_status status, char *buf)
{
    const char *text = "ISSU status unknown";
    if (status == ISSU_OK)
        text = "ISSU OK";
    else if (status == ISSU_FAIL)
        text = "ISSU Fail";
    else if (status == ISSU_IN_PROGRESS)
        text = "ISSU In Progress";
    snprintf(buf, VORNMGR_TEXT_BUF_LEN, "%s", text);
    return buf;
}
