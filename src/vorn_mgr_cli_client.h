// SPDX-License-Identifier: Apache-2.0
// vorn_mgr_cli_client.h - vornmgrctl's private header: the tool's globals and
// the functions its source files share. Each group names the file that
// defines it.
#ifndef VORN_MGR_CLI_CLIENT_H
#define VORN_MGR_CLI_CLIENT_H

#include "vorn_config_line.h"
#include "vorn_mgr_cli.h"
#include "vorn_mgr_intf.h"

#include <cstdint>
#include <string>
#include <vector>

// The files the tool shares with the manager are in vorn_paths.h (included
// through vorn_mgr_cli.h).

#define VORNMGR_DEFAULT_L3_UP_MAX_TIME 180
#define VORNMGR_DEFAULT_ISSU_COMPLETE_MAX_TIME 700

// Every failure, refusal or invalid command line ends the tool with this status.
#define VORNMGRCTL_EXIT_FAILURE 255
// A sequence asked for with --json was done, but modules did not answer in
// time or reported a failure.
#define VORNMGRCTL_EXIT_INCOMPLETE 3

// ---------------------------------------------------------------------------
// The tool's state (vorn_mgr_cli_client_state.cpp). Single-threaded.

extern bool call_vornmgr;        // after the local work, send the request to the manager
extern bool force_boot;          // the {f} modifier was given: restart without asking
extern bool override;            // the configuration lets the operator choose the boot mode
extern Mode start_mode;          // mode the system runs in, from the startup file
extern Mode cfg_mode;            // configured boot mode, from the configuration file
extern Mode do_mode;             // boot mode asked for with -w, -f or -c
extern bool update_config_file;  // rewrite the configuration file before the restart
extern bool upgrade_failed;      // -u could not take a checksum: nothing is known to be upgraded
extern int l3_register_timeout;  // "l3_up_max_time"
extern int l3_nl_info_timeout;   // "issu_complete_max_time"
// Kept from the configuration file when the tool rewrites it.
extern int cfg_reboot_grace_time;  // "reboot_grace_time"
extern int cfg_bring_up_max_time;  // "bring_up_max_time"
extern char cfg_module_users[VORN_CONFIG_MODULE_USERS_LEN];  // "module_users"; empty when absent
extern int cfg_keepalive_interval;  // "keepalive_interval"

// ---------------------------------------------------------------------------
// Boot-mode files (vorn_mgr_cli_client_config.cpp)

bool vornmgr_client_read_config(void);
// Reads a boot-mode file (vorn_config_line.h), saying on standard error what
// the operator must know: a missing file, a bad override or boot mode.
bool vornmgr_get_config_startup_mode(Module module, const char *cfg_file_name, Mode *mode, bool *override,
                                     int *l3_timeout, int *issu_timeout);
// The tool's words for a diagnostic of the reader, a whole line; empty for
// those it keeps quiet about (limits it cannot read, unknown keys).
std::string vornmgr_config_message(vorn_config_diagnostic_t what, const char *path, const char *quoted);
// Replaces `path` with the tool's configuration for `mode` and the two time
// limits (and the manager's reboot_grace_time, bring_up_max_time,
// module_users and keepalive_interval as read from the configuration, when
// not the defaults), atomically: on failure the old file is untouched and
// errno tells why.
// If `path` is a symbolic link, the file it resolves to is replaced and the
// link is kept.
bool vornmgr_write_config_file(const char *path, Mode mode, int l3_timeout, int issu_timeout);
bool vornmgr_overwrite_config_file(void);
// Says on standard error that a file at `path`, in a directory any user may
// write, is ignored, and why.
void vornmgr_report_untrusted(const char *path, const char *why);

// ---------------------------------------------------------------------------
// Markers in /tmp and /var/tmp, where any user may create files: only what
// root left there counts (vorn_mgr_cli_client_markers.cpp)

// True if a marker that root left is at `path`; another is reported and
// counts as absent.
bool vornmgr_marker_present(const char *path);
// Leaves a root-owned marker at `path` that nothing planted there can
// redirect; on failure prints why on standard error and returns false.
bool vornmgr_create_marker(const char *path);

// ---------------------------------------------------------------------------
// Command line and ports (vorn_mgr_cli_client_cmdline.cpp)

vorn_mgr_cli_cmd_t parse_cmdline(int argc, char *argv[]);
// With --version as the only argument, prints "vornmgrctl <version>", with
// --help the usage text, and returns true; reads nothing, prints nothing
// otherwise.
bool vornmgr_cli_print_version_or_help(int argc, char *argv[]);
bool vornmgr_cli_get_boot_param(const char *param, bool *force_boot);
void show_usage(const char *exec_name);
bool vornmgr_set_ports_state(bool up);

// Runs a command line through the shell; the caller does not look at the
// result. Standard output is flushed first so that the command's output
// follows what the tool printed before it.
void vornmgr_run_command(const char *command);
// The same, for a caller that judges the result: system()'s status.
int vornmgr_run_command_status(const char *command);
// A status of vornmgr_run_command_status in words: "exit status 100",
// "killed by signal 9", "could not be run: ...".
std::string vornmgr_status_text(int status);

// ---------------------------------------------------------------------------
// Restart confirmation and the exchange with the manager (vorn_mgr_cli_client_restart.cpp)

bool vornmgr_confirm_restart(vorn_mgr_cli_cmd_t cmd);
bool vornmgr_handle_sock_ret(int fd, int err);
// Connects, runs the restart preparation, sends `cmd` and handles the answer.
// Never returns: ends the tool with its exit status.
[[noreturn]] void vornmgr_send_command(vorn_mgr_cli_cmd_t cmd);

// ---------------------------------------------------------------------------
// Package upgrade (vorn_mgr_cli_client_upgrade.cpp)

bool vornmgr_process_upgrade(bool upgrade);

// ---------------------------------------------------------------------------
// The manager's history and the JSON status (vorn_mgr_cli_client_history.cpp)

// The history file read (tests point it elsewhere).
extern const char *vornmgr_history_file;
// A command line starting with a long option: --history [N] prints the last
// N records (HISTORY; INVALID if the file cannot be read), --history --json
// prints them as stored, --json alone asks for SHOW_JSON, --metrics[=FILE]
// prints or writes the metrics (METRICS; INVALID when it failed).
vorn_mgr_cli_cmd_t vornmgr_parse_long_options(const char *exec_name, int argc, char *argv[]);
// The usable lines of a history file, oldest first; lines that are not a
// record are counted in *damaged. False (errno set) if it cannot be opened.
bool vornmgr_read_history_records(const char *path, std::vector<std::string> *lines, int *damaged);
// One record as the timeline prints it; false if it lacks what that needs.
bool vornmgr_format_history_entry(const std::string &line, std::string *text);
// Prints the last `count` records; the exit status.
int vornmgr_print_history(int count, bool as_json);
// What to tell the operator of one record: a line for each module that did
// not answer in time or reported a failure.
std::vector<std::string> vornmgr_problems_of(const std::string &line);
int64_t vornmgr_now_ms(void);

// ---------------------------------------------------------------------------
// The outcome of a sequence request (vorn_mgr_cli_client_outcome.cpp)

// -m0, -m1, -w, -f, -c or -r with --json: standard output holds only the
// outcome as one JSON object.
extern bool outcome_json;
// Takes a "--json" beside a sequence option out of the command line (before
// or after it), sets outcome_json and starts vornmgr_outcome_begin; false,
// with a message, for --json beside any other short option or when standard
// output cannot be set aside. Long options together are left alone.
bool vornmgr_take_outcome_json(int *argc, char *argv[]);
// With outcome_json, keeps standard output aside for the outcome and sends
// everything else the tool and its scripts print to standard error.
bool vornmgr_outcome_begin(void);
// Called once RESP_OVER answered `cmd` (sent at `sent_ms`); returns the exit
// status. A SHOW_JSON answered without text came from a manager that does
// not know it; after a sequence, the modules that held it up are named on
// standard error, and with outcome_json the outcome is printed.
int vornmgr_end_of_answer(vorn_mgr_cli_cmd_t cmd, bool text_received, int64_t sent_ms);

// ---------------------------------------------------------------------------
// The status as Prometheus metrics (vorn_mgr_cli_client_metrics.cpp)

// The metrics text from the manager's JSON status (empty when it did not
// answer) and the history's records, oldest first; *up (if given) tells
// whether the status could be read. Without it, only vornmgr_up 0 and the
// build info.
std::string vornmgr_format_metrics(const std::string &status_text, const std::vector<std::string> &history,
                                   bool *up = nullptr);
// Asks the manager for SHOW_JSON and collects the document; false (errno
// set) when it does not answer within its bound.
bool vornmgr_fetch_status_json(std::string *text);
// --metrics: prints the metrics, or with a `path` replaces that file
// atomically with them (also when the manager does not answer). The exit
// status: 0 only when the manager answered and the text went out.
int vornmgr_print_metrics(const char *path);

#endif // VORN_MGR_CLI_CLIENT_H
