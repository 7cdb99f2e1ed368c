// vorn_mgr_cli_server.h - the manager's operator server, private to its files:
// the server's state, what each request does, and the status report.
#ifndef VORN_MGR_CLI_SERVER_H
#define VORN_MGR_CLI_SERVER_H

#include "vorn_mgr.h"
#include "vorn_mgr_cli.h"

#include <array>
#include <cstdint>
#include <ctime>

// Present while the operator tool has shut the front-panel ports for maintenance.
#define VORNMGR_PORTS_MAINT_MARKER "/tmp/.ports_in_maint"
// A peer that connects and sends nothing holds the operator thread this long.
#define VORNMGR_CLI_READ_TIMEOUT_SEC 3

// ---------------------------------------------------------------------------
// Server (vorn_mgr_cli.cpp)

extern const char *vornmgr_cli_socket_path;
// Written and read only by the operator thread.
extern bool upgraded;                  // a package upgrade was reported; never cleared
extern time_t maintenance_start_time;  // last maintenance entry through the socket; 0: never

// What one request asks of the manager, decided from the request and the
// state before anything changes.
typedef enum vornmgr_cli_action_kind_t {
    CLI_ACTION_NONE,        // nothing to do: answer RESP_OVER
    CLI_ACTION_RESTART,     // take everything down with `reason`, then run `reboot_command`
    CLI_ACTION_MAINT_ENTER, // note the start time, take everything down with `reason`
    CLI_ACTION_MAINT_LEAVE, // bring everything up with `reason`
    CLI_ACTION_UPGRADE,     // remember the upgrade
    CLI_ACTION_SHOW,        // send the status report
    CLI_ACTION_UNKNOWN,     // log the code
} vornmgr_cli_action_kind_t;

typedef struct vornmgr_cli_action_t {
    vornmgr_cli_action_kind_t kind;
    Mode reason;                 // the mode handed to the administration sequence
    const char *reboot_command;  // shell command of a restart, else nullptr
} vornmgr_cli_action_t;

vornmgr_cli_action_t vornmgr_plan_cli(int32_t cmd, Mode current, bool upgraded);
// Acts on one request (its first 4 bytes) and always answers RESP_OVER. Returns 1.
int vornmgr_process_cli(int conn_fd, int len, const void *cmd);
bool vornmgr_process_upgrade(int conn_fd, vorn_mgr_cli_msg_t cli_msg, bool *upgraded);
bool vornmgr_send_resp_over(int conn_fd);

// ---------------------------------------------------------------------------
// Status report (vorn_mgr_cli_report.cpp)

// One response record as built and written: 8-byte header, then the text.
typedef std::array<char, VORNMGR_CLI_BUF_LEN> vornmgr_cli_record_t;
// Text of one record never exceeds this, so a record stays below 1024 bytes.
#define VORNMGR_CLI_MAX_TEXT_LEN (VORNMGR_CLI_BUF_LEN - VORNMGR_CLI_RESP_HDR_LEN - 1)

// Everything the report shows, taken at one moment.
typedef struct vornmgr_report_t {
    Mode mode;
    bool upgraded;
    time_t maintenance_start_time;
    bool ports_in_maint;
    time_t now;
    std::array<registered_modules_t, MAX_MODULES> rows;
} vornmgr_report_t;

// Records are SHOW_IN_PROGRESS with len set; each returns the record's length,
// the summary -1 when the maintenance start time cannot be converted.
int vornmgr_build_summary_record(vornmgr_cli_record_t &record, const vornmgr_report_t &report);
int vornmgr_build_module_record(vornmgr_cli_record_t &record, Module mod, const registered_modules_t &row,
                                time_t now);
bool vornmgr_write_report(int conn_fd, const vornmgr_report_t &report);
bool vornmgr_process_show(int conn_fd, vorn_mgr_cli_msg_t cli_msg, bool upgraded);

#endif // VORN_MGR_CLI_SERVER_H
