// SPDX-License-Identifier: Apache-2.0
/*
 * layout.c - prints what the C compiler makes of the wire: "name size" for
 * each record, "name.field offset" for each field and "ENUMERATOR value" for
 * each enumerator, for the Python binding's layout test to compare.
 */
#include "vorn_mgr_pkg.h"

#include <stddef.h>
#include <stdio.h>

#define SIZE(type) printf("%s %zu\n", #type, sizeof(type))
#define FIELD(type, field) printf("%s.%s %zu\n", #type, #field, offsetof(type, field))
#define VALUE(name) printf("%s %d\n", #name, (int)(name))

int main(void)
{
    SIZE(module_connect_t);
    FIELD(module_connect_t, mod);
    SIZE(module_mode_t);
    FIELD(module_mode_t, mod);
    FIELD(module_mode_t, mode);
    FIELD(module_mode_t, state);
    SIZE(module_status_t);
    FIELD(module_status_t, mode);
    FIELD(module_status_t, failure_reason);
    SIZE(module_down_status_t);
    FIELD(module_down_status_t, mod);
    FIELD(module_down_status_t, mode);
    FIELD(module_down_status_t, failure_reason);
    SIZE(keepalive_request_t);
    FIELD(keepalive_request_t, seq);
    SIZE(keepalive_response_t);
    FIELD(keepalive_response_t, seq);
    FIELD(keepalive_response_t, mod_status);
    SIZE(issu_info_t);
    FIELD(issu_info_t, module);
    FIELD(issu_info_t, action);
    FIELD(issu_info_t, status);
    SIZE(nl_data_t);
    FIELD(nl_data_t, total_len);
    SIZE(msg_t);
    FIELD(msg_t, type);
    FIELD(msg_t, len);
    SIZE(msg_pkg_t);
    FIELD(msg_pkg_t, total_len);
    SIZE(vornmgr_pkg_message_t);
    FIELD(vornmgr_pkg_message_t, type);
    FIELD(vornmgr_pkg_message_t, len);
    FIELD(vornmgr_pkg_message_t, payload_offset);
    FIELD(vornmgr_pkg_message_t, payload_len);

    VALUE(VORNMGR); VALUE(ALL_MODULES); VALUE(FRR); VALUE(BGP); VALUE(OSPF); VALUE(STP); VALUE(TRELL);
    VALUE(SWIVEND); VALUE(SDK); VALUE(SYSTEM_SERVICES); VALUE(MAX_MODULES);
    VALUE(UNKNOWN_MODE); VALUE(REBOOT_COLD); VALUE(REBOOT_FAST); VALUE(REBOOT_WARM); VALUE(MAINTENANCE);
    VALUE(SYS_UPGRADE); VALUE(COMP_UPGRADE);
    VALUE(SUCCESS); VALUE(FAILURE); VALUE(IN_PROGRESS); VALUE(LOAD_COMPLETE); VALUE(INIT_COMPLETE);
    VALUE(KEEP_ALIVE_RESP); VALUE(MODULE_STATUS_RESP); VALUE(MODULE_REGISTER); VALUE(MODULE_UNREGISTER);
    VALUE(GO_DOWN); VALUE(DOWN); VALUE(COME_UP); VALUE(UP); VALUE(MODE_INFO); VALUE(MOD_LIST);
    VALUE(KEEP_ALIVE_REQ); VALUE(ACK); VALUE(NACK); VALUE(NETWORK_LAYER_INFO); VALUE(MODULE_STATUS_REQ);
    VALUE(ISSU_INFO);
    VALUE(NO_ERROR); VALUE(BUSY); VALUE(UNKNOWN);
    VALUE(ISSU_START); VALUE(ISSU_END); VALUE(ISSU_OK); VALUE(ISSU_FAIL); VALUE(ISSU_IN_PROGRESS);
    VALUE(VORNMGR_MAX_PKG_LEN); VALUE(VORNMGR_PKG_HDR_LEN); VALUE(VORNMGR_MSG_HDR_LEN);
    return 0;
}
