// SPDX-License-Identifier: Apache-2.0
// vorn_mgr_cli_server.h - the manager's operator server, private to its files:
// the server's state, what each request does, and the status report.
#ifndef VORN_MGR_CLI_SERVER_H
#define VORN_MGR_CLI_SERVER_H

#include "vorn_mgr.h"
#include "vorn_mgr_cli.h"

#include <array>
#include <cstdint>
#include <ctime>
#include <sys/types.h>

// A root peer that connects and sends nothing holds the operator thread this
// long: the tool connects before it runs a restart's preparation scripts,
// which save state and may take a minute or more.
#define VORNMGR_CLI_READ_TIMEOUT_SEC 300

// ---------------------------------------------------------------------------
// Server (vorn_mgr_cli.cpp)

extern const char *vornmgr_cli_socket_path;
// Seconds a root peer may take to send its request (tests shorten it).
extern int vornmgr_cli_read_timeout_sec;
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
    CLI_ACTION_SHOW_JSON,   // send the status as one JSON document
    CLI_ACTION_UNKNOWN,     // log the code
} vornmgr_cli_action_kind_t;

typedef struct vornmgr_cli_action_t {
    vornmgr_cli_action_kind_t kind;
    Mode reason;                 // the mode handed to the administration sequence
    const char *reboot_command;  // shell command of a restart, else nullptr
} vornmgr_cli_action_t;

// The shell command lines of a restart's reboot: cold (a cold restart, and a
// warm one of a system not running warm) and fast (a fast restart, and a warm
// one of a system running warm). vornmgr_read_reboot_commands sets them once
// at start, before the operator thread runs, from the environment
// (VORNMGR_REBOOT_COLD, VORNMGR_REBOOT_FAST; unset or empty keeps the
// default), and logs them.
#define VORNMGR_REBOOT_COLD_DEFAULT "sync; reboot"
#define VORNMGR_REBOOT_FAST_DEFAULT "sync; reboot --fast"
extern const char *vornmgr_reboot_cold_command;
extern const char *vornmgr_reboot_fast_command;
void vornmgr_read_reboot_commands(void);

vornmgr_cli_action_t vornmgr_plan_cli(int32_t cmd, Mode current, bool upgraded);
// Acts on one request (its first 4 bytes) and always answers RESP_OVER. Returns 1.
int vornmgr_process_cli(int conn_fd, int len, const void *cmd);
bool vornmgr_process_upgrade(int conn_fd, vorn_mgr_cli_msg_t cli_msg, bool *upgraded);
bool vornmgr_send_resp_over(int conn_fd);

// ---------------------------------------------------------------------------
// Reboot command of a restart (vorn_mgr_cli_reboot.cpp); operator thread only

// Starts a shell command in a child; returns its pid, or -1 with *error set.
// The daemon runs "/bin/sh -c command" (vornmgr_spawn_shell); a test or fuzzer
// that must not run commands installs a recorder of its own.
typedef pid_t (*vornmgr_reboot_spawner_fn)(const char *command, int *error);
extern vornmgr_reboot_spawner_fn vornmgr_reboot_spawner;
pid_t vornmgr_spawn_shell(const char *command, int *error);

// Starts `command` in a child of its own, in a process group of its own,
// and records that it runs; the record's mode_before is the system's mode
// before the restart request, restored if no reboot comes.
void vornmgr_cli_reboot(const char *command, vornmgr_sequence_record_t record);
// A descriptor readable once the watched command has ended; -1 if none is
// watched.
int vornmgr_cli_reboot_fd(void);
// Collects the ended command's status. On a failure: an ERR line naming the
// command and its status (a signal that ended it, also one the shell
// reports as 128 + its number), then the switch goes back to its state
// before the request. On success the machine is going down, and has until
// reboot_grace_time after the command's start to do so.
void vornmgr_cli_reboot_ended(void);
// Milliseconds until the reboot's grace period ends; -1 when no reboot is
// awaited.
long long vornmgr_cli_reboot_wait_ms(void);
// At the end of the grace period the reboot has failed: a command still
// running is killed with its process group, an ERR line says so, and the
// switch goes back to its state before the request.
void vornmgr_cli_reboot_check_deadline(void);
// A reboot command runs, or ran successfully, and the machine has not gone
// down yet.
bool vornmgr_cli_reboot_pending(void);
// Stops waiting for the reboot; a command that still runs is stopped with
// its process group. `for_restart`: the operator asked for another restart,
// whose own reboot command replaces it.
void vornmgr_cli_forget_reboot(bool for_restart = false);
// The mode the switch ran in before the restart whose reboot is awaited;
// `otherwise` when none is awaited.
Mode vornmgr_cli_reboot_mode_before(Mode otherwise);
// Maintenance left while the reboot of a restart asked during it is awaited:
// should that reboot fail, the modules come up out of maintenance rather
// than stay down. False when no such reboot is awaited.
bool vornmgr_cli_reboot_leave_maintenance(void);
// Whether the record's reboot command (its pid, with the same start time) is
// still running, not merely a zombie.
bool vornmgr_reboot_still_runs(const vornmgr_sequence_record_t &record);
// Watches the reboot command of a manager that died after starting it, for
// what is left of its grace period.
void vornmgr_cli_adopt_reboot(const vornmgr_sequence_record_t &record);

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
    bool discovering = false;  // a restarted manager is still finding its modules
    unsigned unaccounted = 0;  // registered before the restart, not heard from since
    time_t start_time = 0;     // when the manager became ready
    int keepalive_interval = 0;  // seconds between keepalives
} vornmgr_report_t;

// Records are SHOW_IN_PROGRESS with len set; each returns the record's length,
// the summary -1 when the maintenance start time cannot be converted.
int vornmgr_build_summary_record(vornmgr_cli_record_t &record, const vornmgr_report_t &report);
int vornmgr_build_module_record(vornmgr_cli_record_t &record, Module mod, const registered_modules_t &row,
                                time_t now);
bool vornmgr_write_report(int conn_fd, const vornmgr_report_t &report);
// Whether the operator tool shut the ports (a marker root left; another is
// logged and ignored).
bool vornmgr_ports_in_maintenance(void);
// What the status reports (text and JSON) show, as it is now.
vornmgr_report_t vornmgr_current_report(bool upgraded);
bool vornmgr_process_show(int conn_fd, vorn_mgr_cli_msg_t cli_msg, bool upgraded);

#endif // VORN_MGR_CLI_SERVER_H
