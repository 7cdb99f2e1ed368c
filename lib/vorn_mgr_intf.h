// SPDX-License-Identifier: Apache-2.0
/*
 * vorn_mgr_intf.h - what crosses between the lifecycle manager (vornmgrd) and
 * the modules it sequences: identifiers, modes, message types and states, the
 * fixed-layout payload records, the package envelope, the two endpoints, the
 * text functions used in every log line, and the client library's calls.
 *
 * Plain C (C11 or C++), so that modules written in either language include it.
 * Every number on the wire is a 32-bit integer in host byte order; records are
 * packed as listed, every field 4 bytes, no gaps.
 */
#ifndef VORN_MGR_INTF_H
#define VORN_MGR_INTF_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Every enumeration travels as a 32-bit integer; in C++ fix that in the type,
 * so that any value a peer sends (-1 included) is a valid value of it. */
#ifdef __cplusplus
#define VORN_ENUM_BASE : int32_t
#else
#define VORN_ENUM_BASE
#endif

#define VORNMGR_COMM_ENDPOINT "tcp://127.0.0.1:49002"
#define VORNMGR_PUB_ENDPOINT  "tcp://127.0.0.1:49012"

/* A package never exceeds the manager's 1024-byte receive and reply buffers. */
#define VORNMGR_MAX_PKG_LEN 1024
/* Size of the caller's buffer for mode_to_str, issu_action_to_str, issu_status_to_str. */
#define VORNMGR_TEXT_BUF_LEN 256

/* Module identifier; also the index of the module's row in the manager's registry. */
typedef enum Module VORN_ENUM_BASE {
    VORNMGR = 0,
    ALL_MODULES = 1,
    FRR = 2,
    BGP = 3,
    OSPF = 4,
    STP = 5,
    TRELL = 6,
    SWIVEND = 7,
    SDK = 8,
    SYSTEM_SERVICES = 9,
    MAX_MODULES = 10
} Module;

/* System mode: one boot kind plus flags. */
typedef enum Mode VORN_ENUM_BASE {
    UNKNOWN_MODE = 0,
    REBOOT_COLD = 0x1,
    REBOOT_FAST = 0x2,
    REBOOT_WARM = 0x4,
    MAINTENANCE = 0x100,
    SYS_UPGRADE = 0x200,
    COMP_UPGRADE = 0x400
} Mode;

/* One enumeration for message types and module states. */
typedef enum State VORN_ENUM_BASE {
    SUCCESS = 0,
    FAILURE = 1,
    IN_PROGRESS = 2,
    LOAD_COMPLETE = 3,
    INIT_COMPLETE = 4,
    KEEP_ALIVE_RESP = 5,
    MODULE_STATUS_RESP = 6,
    MODULE_REGISTER = 7,
    MODULE_UNREGISTER = 8,
    GO_DOWN = 100,
    DOWN = 101,
    COME_UP = 102,
    UP = 103,
    MODE_INFO = 104,
    MOD_LIST = 105,
    KEEP_ALIVE_REQ = 106,
    ACK = 107,
    NACK = 108,
    NETWORK_LAYER_INFO = 109,
    MODULE_STATUS_REQ = 110,
    ISSU_INFO = 200
} State;

/* The manager only tests a failure reason for zero versus non-zero. */
typedef enum Failure_Reason VORN_ENUM_BASE {
    NO_ERROR = 0,
    BUSY = 1,
    UNKNOWN = 0
} Failure_Reason;

typedef enum issu_action VORN_ENUM_BASE {
    ISSU_START = 1,
    ISSU_END = 2
} issu_action;

typedef enum issu_action_status VORN_ENUM_BASE {
    ISSU_OK = 1,
    ISSU_FAIL = 2,
    ISSU_IN_PROGRESS = 3
} issu_action_status;

typedef struct module_connect_t {
    Module mod;
} module_connect_t, module_connect;

typedef struct module_mode_t {
    Module mod;
    Mode mode;
    State state;
} module_mode_t, module_mode;

typedef struct module_status_t {
    module_mode_t mode;
    Failure_Reason failure_reason;
} module_status_t, module_status, module_status_response;

typedef struct module_down_status_t {
    Module mod;          /* the module being taken down */
    module_mode_t mode;  /* mode.mod is the answering module */
    Failure_Reason failure_reason;
} module_down_status_t, module_down_status;

typedef struct keepalive_request_t {
    int32_t seq;
} keepalive_request_t, keepalive_request;

typedef struct keepalive_response_t {
    int32_t seq;
    module_status_t mod_status;
} keepalive_response_t, keepalive_response;

typedef struct issu_info_t {
    Module module;
    issu_action action;
    issu_action_status status;
} issu_info_t, issu_info;

/* The three records below end in a flexible array member: standard C, and in
 * C++ an extension of GCC and Clang with the same layout (checked below), which
 * -pedantic would report in every C++ module that includes this header. */
#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#endif

/* Payload of a module's NETWORK_LAYER_INFO request; the manager never reads it. */
typedef struct nl_data_t {
    int32_t total_len;
    char data[];
} nl_data_t, nl_data;

/* One message inside a package: type, length including this header, payload. */
typedef struct msg_t {
    int32_t type;
    int32_t len;
    char data[];
} msg_t, msg;

/* The envelope: total length including these 4 bytes, then messages back to back. */
typedef struct msg_pkg_t {
    int32_t total_len;
    char entry[];
} msg_pkg_t, msg_pkg;

#if defined(__cplusplus) && defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#define VORNMGR_MSG_HDR_LEN ((int32_t)sizeof(msg_t))
#define VORNMGR_PKG_HDR_LEN ((int32_t)sizeof(msg_pkg_t))

/* Text functions: pure, no allocation. The last three fill the caller's
 * buffer of VORNMGR_TEXT_BUF_LEN bytes and return it. */
const char *mod_id_to_str(Module mod);
const char *mod_state_to_str(State state);
char *mode_to_str(Mode mode, char *buf);
char *issu_action_to_str(issu_action action, char *buf);
char *issu_status_to_str(issu_action_status status, char *buf);

/* Client library (libvornmgr). The callback gets each broadcast package,
 * lent for the duration of the call. */
typedef int (*INFR_CB)(int len, void *buf);

int vornmgr_register_cb(Module module, int count, Module *mods, INFR_CB cb);
int vornmgr_send(Module module, int req_len, void *req, int reply_cap, void *reply);
int vornmgr_unregister(Module module);

/* vornmgr_register_cb with a pointer of the caller's, handed unchanged to
 * every call of the callback (libvornmgr(3)). */
typedef int (*INFR_CB_DATA)(int len, void *buf, void *data);
int vornmgr_register_cb_data(Module module, int count, Module *mods, INFR_CB_DATA cb, void *data);

#ifdef __cplusplus
}
#endif

/* The layout is the protocol: check every size and offset at compile time. */
#ifdef __cplusplus
#define VORN_STATIC_ASSERT static_assert
#else
#define VORN_STATIC_ASSERT _Static_assert
#endif
#include <stddef.h>
VORN_STATIC_ASSERT(sizeof(Module) == 4, "Module is 32 bits");
VORN_STATIC_ASSERT(sizeof(Mode) == 4, "Mode is 32 bits");
VORN_STATIC_ASSERT(sizeof(State) == 4, "State is 32 bits");
VORN_STATIC_ASSERT(sizeof(Failure_Reason) == 4, "Failure_Reason is 32 bits");
VORN_STATIC_ASSERT(sizeof(issu_action) == 4, "issu_action is 32 bits");
VORN_STATIC_ASSERT(sizeof(issu_action_status) == 4, "issu_action_status is 32 bits");
VORN_STATIC_ASSERT(sizeof(module_connect_t) == 4, "module_connect_t layout");
VORN_STATIC_ASSERT(sizeof(module_mode_t) == 12, "module_mode_t layout");
VORN_STATIC_ASSERT(offsetof(module_mode_t, mode) == 4, "module_mode_t.mode offset");
VORN_STATIC_ASSERT(offsetof(module_mode_t, state) == 8, "module_mode_t.state offset");
VORN_STATIC_ASSERT(sizeof(module_status_t) == 16, "module_status_t layout");
VORN_STATIC_ASSERT(offsetof(module_status_t, failure_reason) == 12, "module_status_t.failure_reason offset");
VORN_STATIC_ASSERT(sizeof(module_down_status_t) == 20, "module_down_status_t layout");
VORN_STATIC_ASSERT(offsetof(module_down_status_t, mode) == 4, "module_down_status_t.mode offset");
VORN_STATIC_ASSERT(offsetof(module_down_status_t, failure_reason) == 16, "module_down_status_t.failure_reason offset");
VORN_STATIC_ASSERT(sizeof(keepalive_request_t) == 4, "keepalive_request_t layout");
VORN_STATIC_ASSERT(sizeof(keepalive_response_t) == 20, "keepalive_response_t layout");
VORN_STATIC_ASSERT(offsetof(keepalive_response_t, mod_status) == 4, "keepalive_response_t.mod_status offset");
VORN_STATIC_ASSERT(sizeof(issu_info_t) == 12, "issu_info_t layout");
VORN_STATIC_ASSERT(offsetof(issu_info_t, action) == 4, "issu_info_t.action offset");
VORN_STATIC_ASSERT(offsetof(issu_info_t, status) == 8, "issu_info_t.status offset");
VORN_STATIC_ASSERT(sizeof(nl_data_t) == 4, "nl_data_t header");
VORN_STATIC_ASSERT(offsetof(nl_data_t, data) == 4, "nl_data_t.data offset");
VORN_STATIC_ASSERT(sizeof(msg_t) == 8, "msg_t header");
VORN_STATIC_ASSERT(offsetof(msg_t, len) == 4, "msg_t.len offset");
VORN_STATIC_ASSERT(offsetof(msg_t, data) == 8, "msg_t.data offset");
VORN_STATIC_ASSERT(sizeof(msg_pkg_t) == 4, "msg_pkg_t header");
VORN_STATIC_ASSERT(offsetof(msg_pkg_t, entry) == 4, "msg_pkg_t.entry offset");

#endif /* VORN_MGR_INTF_H */
