// SPDX-License-Identifier: Apache-2.0
/* The shared header compiles as plain C, as modules written in C include it,
 * and C sees the same record layout as C++. */
#include "vorn_mgr_intf.h"

int intf_c_record_sizes(int *sizes, int count);

int intf_c_record_sizes(int *sizes, int count)
{
    const int all[] = {
        (int)sizeof(module_connect_t), (int)sizeof(module_mode_t),        (int)sizeof(module_status_t),
        (int)sizeof(module_down_status_t), (int)sizeof(keepalive_request_t), (int)sizeof(keepalive_response_t),
        (int)sizeof(issu_info_t),       (int)sizeof(msg_t),                (int)sizeof(msg_pkg_t),
    };
    int n = (int)(sizeof all / sizeof all[0]);
    for (int i = 0; i < n && i < count; i++)
        sizes[i] = all[i];
    /* Enumerators keep their wire values in C too. */
    return SYSTEM_SERVICES == 9 && ISSU_INFO == 200 && SYS_UPGRADE == 0x200 ? n : -1;
}
