// SPDX-License-Identifier: Apache-2.0
// vorn_mgr_cli.h - the operator socket: its records, shared by the manager's
// operator server and by vornmgrctl. One request per connection; the answer
// is zero or more SHOW_IN_PROGRESS records, then one 8-byte RESP_OVER record.
#ifndef VORN_MGR_CLI_H
#define VORN_MGR_CLI_H

#include "vorn_paths.h"

#include <cstddef>
#include <cstdint>

// Both ends build and read records in buffers of this size.
#define VORNMGR_CLI_BUF_LEN 1024

typedef enum vorn_mgr_cli_cmd_t : int32_t {
    WARMBOOT = 1,
    FASTBOOT = 2,
    COLDBOOT = 3,
    MAINTENANCE_MODE_ENABLE = 4,
    MAINTENANCE_MODE_DISABLE = 5,
    MAINTENANCE_PORT_DOWN = 6,      // done by the tool itself, never sent
    MAINTENANCE_PORT_RESTORE = 7,   // done by the tool itself, never sent
    UPGRADE_MODE = 8,
    UPGRADE_DRY_RUN_MODE = 9,       // done by the tool itself, never sent
    SHOW = 10,
    SHOW_IN_PROGRESS = 11,          // response: one piece of report text follows
    RESP_OVER = 12,                 // response: the answer is complete
    INVALID = 13,                   // the tool's own: nothing valid requested
    // Requests added later are numbered from 20 on, clear of the codes a
    // manager has always answered as unknown.
    SHOW_JSON = 20,                 // the status as one JSON document, in SHOW_IN_PROGRESS records
    HISTORY = 21,                   // the tool's own: prints the manager's history; never sent
    METRICS = 22,                   // the tool's own: the status as metrics (asks SHOW_JSON); never sent
} vorn_mgr_cli_cmd_t, vorn_mgr_cli_cmd;

typedef struct vorn_mgr_cli_msg_t {
    vorn_mgr_cli_cmd_t cmd;
} vorn_mgr_cli_msg_t, vorn_mgr_cli_msg;

typedef struct vorn_mgr_cli_resp_t {
    vorn_mgr_cli_msg_t status;  // SHOW_IN_PROGRESS or RESP_OVER
    int32_t len;                // whole record, header included
    char data[];                // len - 8 bytes of text, not NUL-terminated
} vorn_mgr_cli_resp_t, vorn_mgr_cli_resp;

#define VORNMGR_CLI_RESP_HDR_LEN ((int32_t)sizeof(vorn_mgr_cli_resp_t))

static_assert(sizeof(vorn_mgr_cli_msg_t) == 4, "operator request is 4 bytes");
static_assert(sizeof(vorn_mgr_cli_resp_t) == 8, "operator response header is 8 bytes");
static_assert(offsetof(vorn_mgr_cli_resp_t, len) == 4, "len follows status");

#endif // VORN_MGR_CLI_H
