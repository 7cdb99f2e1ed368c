// SPDX-License-Identifier: Apache-2.0
// vorn_mgr.h - the manager's private header: the globals and functions that
// its source files share. Each group names the file that defines it.
#ifndef VORN_MGR_H
#define VORN_MGR_H

#include "vorn_mgr_intf.h"
#include "vorn_mgr_pkg.h"
#include "vorn_paths.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>

// ---------------------------------------------------------------------------
// Daemon entry (vorn_mgr.cpp): its PID file is VORNMGR_PIDFILE (vorn_paths.h).

// ---------------------------------------------------------------------------
// The manager's start: shared globals, opening the channels, the comm
// receive thread and the discovery probe (vorn_mgr_start.cpp)

// The system mode and the state the manager wants modules in. Written by the
// comm receive thread and the operator thread, read by every thread.
extern std::atomic<Mode> operative_mode;
extern std::atomic<State> required_state;
// Set by the start-up mode decision when the manager already ran in this boot.
extern std::atomic<bool> vornmgr_restarted;
// Wall-clock time at which the manager became ready.
extern std::atomic<time_t> vornmgr_start_time;
// Seconds between keepalives (keepalive_interval in the configuration); set
// before the monitor timer is created.
extern std::atomic<int> keepalive_interval;

int vornmgr_start_channels(void);
int vornmgr_create_background_thread(void);
void vornmgr_discover_modules(void);

// ---------------------------------------------------------------------------
// Module registry (vorn_mgr_registry.cpp)

typedef struct registered_modules_t {
    module_status mod_status;  // mode.mod == row index means registered
    int num_starts;
    time_t start_time;
    int last_keepalive;
    // Liveness as the keepalives show it; the manager acts on none of it.
    time_t last_keepalive_time = 0;  // when it last answered a keepalive; 0: never
    int keepalive_missed = 0;        // keepalives in a row it left unanswered
    bool keepalive_awaited = false;  // registered when the last keepalive went out, no answer since
} registered_modules_t, registered_modules;

// One row per Module value, zero-filled at start, never reset. Every access
// holds registry_lock: the comm receive, operator, monitor and main threads
// all read or write rows.
extern std::array<registered_modules_t, MAX_MODULES> registered_mods;
extern std::mutex registry_lock;
extern const std::array<Module, 3> mod_l3_list;

bool vornmgr_is_mod_l3(Module mod);
int vornmgr_num_mod_l3_up(void);
bool vornmgr_is_mod_registered(Module mod);
int vornmgr_get_num_active_modules(void);
// The registered modules (rows 2 to 9) as a bit set, one bit per Module.
unsigned vornmgr_registered_set(void);
int vornmgr_num_l3_mod_present(void);
bool vornmgr_set_mod_state(Module module, Mode mode, State state);
// The same for one registered module, only while its state is `from`.
void vornmgr_set_mod_state_from(Module module, State from, Mode mode, State state);
// A consistent copy of every row, for readers that need more than one field.
std::array<registered_modules_t, MAX_MODULES> vornmgr_registry_snapshot(void);

// A row is registered when its identifier equals its index and the module
// has not unregistered since: a module that said goodbye is neither awaited
// nor counted until it registers again. Callers hold registry_lock.
inline bool vornmgr_row_is_registered(int index)
{
    const module_mode_t &mode = registered_mods[index].mod_status.mode;
    return mode.mod == index && mode.state != MODULE_UNREGISTER;
}
// A sender identifier is valid only in 0 to 9; the unsigned comparison makes
// negative values invalid too.
inline bool vornmgr_is_valid_module(int32_t mod)
{
    return static_cast<uint32_t>(mod) < MAX_MODULES;
}

// ---------------------------------------------------------------------------
// Message channels (vorn_mgr_channels.cpp)

int vornmgr_create_comm_channel(void);
void vornmgr_destroy_comm_channel(void);
int vornmgr_create_pub_channel(void);
void vornmgr_destroy_pub_channel(void);
bool vornmgr_pub_msg(int len, const void *pkg);
bool vornmgr_publish_dummy_nl_status(void);
// Sends on the publish socket without ever restarting the channel (discovery
// probe, keepalives). Returns what zmq_send returned; errno is kept.
int vornmgr_pub_send_no_restart(int len, const void *pkg);
// The channel tests' way to make the publish channel fail as a broken one
// does: ends its context, so that its sends fail from the socket's next
// command check on, until the channel is recreated. The daemon never calls it.
void vornmgr_fail_pub_channel(void);
int vornmgr_comm_thread(void *arg);
// A socket error on either channel recreates that channel (always on in the
// daemon; tests that have no real sockets turn it off).
extern bool zmq_socket_restart_on_error;
// Start the comm receive thread; wait for it to end (false if none runs).
bool vornmgr_start_comm_thread(void);
bool vornmgr_join_comm_thread(void);
// Ends the comm receive loop (and any discovery wait) so that main can run the
// teardown. Async-signal-safe: it only writes to an event descriptor, so the
// SIGTERM/SIGINT handler calls it.
void vornmgr_request_stop(void);
// Sleeps up to timeout_ms; true as soon as a stop has been requested.
bool vornmgr_wait_for_stop(int timeout_ms);

// ---------------------------------------------------------------------------
// Request dispatch and progress reports (vorn_mgr_dispatch.cpp,
// vorn_mgr_progress.cpp, vorn_mgr_init_complete.cpp)

// Set once layer 3 is up and announced (vorn_mgr_progress.cpp).
extern std::atomic<bool> broadcast_l3_up;

bool vornmgr_process_message(void *sock, int len, const char *pkg);

// The function every package of the manager leaves through: each handler's
// reply on the comm socket, and every broadcast (vornmgr_pub_msg, and the
// discovery probe and keepalives of vornmgr_pub_send_no_restart). It is
// zmq_send; a test that
// wants the bytes rather than a socket gives its own, before any thread of
// the manager runs (it is never changed while they run).
typedef int (*vornmgr_sender_fn)(void *sock, const void *buf, size_t len, int flags);
extern vornmgr_sender_fn vornmgr_package_sender;

// A package of one message without payload, laid out by the package codec
// once, at start.
struct vornmgr_bare_package_t {
    static constexpr int len = VORNMGR_PKG_HDR_LEN + VORNMGR_MSG_HDR_LEN;
    explicit vornmgr_bare_package_t(State type);
    char bytes[len];
};
extern const vornmgr_bare_package_t ack_package;
extern const vornmgr_bare_package_t nack_package;
extern const vornmgr_bare_package_t nl_info_package;
extern const vornmgr_bare_package_t discovery_probe_package;

// The handler contract: the comm socket, the request message (the first of
// its package, right after the package's total_len), the reply-length
// counter, the space left in the reply area and the reply area. Each handler
// sends its own reply and returns true when it (and any relay) went out in
// full. The dispatcher has checked that the message lies within the package
// and holds the handler's whole payload record.
typedef bool (*vornmgr_handler_fn)(void *sock, const char *msg, int *reply_len, int reply_space, char *reply);

bool vornmgr_send_nack_response(void *sock, const char *msg, int *reply_len, int reply_space, char *reply);
bool vornmgr_process_module_registration(void *sock, const char *msg, int *reply_len, int reply_space,
                                         char *reply);
bool vornmgr_process_keepalive_response(void *sock, const char *msg, int *reply_len, int reply_space,
                                        char *reply);
bool vornmgr_process_module_status_response(void *sock, const char *msg, int *reply_len, int reply_space,
                                            char *reply);
bool vornmgr_process_load_complete(void *sock, const char *msg, int *reply_len, int reply_space, char *reply);
bool vornmgr_process_go_down_response(void *sock, const char *msg, int *reply_len, int reply_space,
                                      char *reply);
bool vornmgr_process_nl_info(void *sock, const char *msg, int *reply_len, int reply_space, char *reply);
bool vornmgr_process_issu_info(void *sock, const char *msg, int *reply_len, int reply_space, char *reply);
bool vornmgr_process_init_complete(void *sock, const char *msg, int *reply_len, int reply_space, char *reply);

// Sends the 12-byte ACK on the comm socket; returns what the sender returned.
int vornmgr_send_ack(void *sock);

// The package of a handler's request message, and the message as the codec
// reads it there: false only for a message that is not whole, which the
// dispatcher never hands on (it found the message within the bytes received,
// so its package's total_len bounds it).
inline const char *vornmgr_request_package(const char *msg)
{
    return msg - VORNMGR_PKG_HDR_LEN;
}
inline bool vornmgr_read_request(const char *msg, vornmgr_pkg_message_t *message)
{
    const char *package = vornmgr_request_package(msg);
    return vornmgr_pkg_read_message(package, VORNMGR_PKG_HDR_LEN, vornmgr_pkg_end(package, VORNMGR_MAX_PKG_LEN),
                                    message) == VORNMGR_PKG_MESSAGE;
}
// The payload record of a handler's request message (zero-filled if the
// payload were too short for it, which the dispatcher never lets through).
template <typename Record>
inline Record vornmgr_read_payload(const char *msg)
{
    vornmgr_pkg_message_t message{};
    Record record{};
    if (vornmgr_read_request(msg, &message))
        vornmgr_pkg_read_payload(vornmgr_request_package(msg), &message, &record, int(sizeof record));
    return record;
}

// ---------------------------------------------------------------------------
// Start-up mode and configuration (vorn_mgr_startup_mode.cpp); the files
// are VORNMGR_CONF_FILE, VORNMGR_STARTUP_FILE and VORNMGR_UPGRADE_MARKER
// (vorn_paths.h).

extern std::atomic<int> l3_register_timeout;  // seconds, l3_up_max_time
extern std::atomic<int> l3_nl_info_timeout;   // seconds, issu_complete_max_time
extern std::atomic<int> reboot_grace_time;    // seconds, reboot_grace_time
extern std::atomic<int> bring_up_max_time;    // seconds, bring_up_max_time

bool vornmgr_get_config_startup_mode(Module mod, const char *path, Mode *mode, bool *override,
                                     int *l3_up_max_time, int *issu_complete_max_time);
Mode vornmgr_get_startup_mode(Module mod, bool *restarted);

// ---------------------------------------------------------------------------
// The manager's own files in its runtime directory, which survive a crash or
// a restart of the manager but not a reboot (vorn_mgr_run_files.cpp)

#define VORNMGR_RUN_DIR "/run/vornmgr"
// Left at the manager's first start within a boot, whatever the
// configuration holds: finding it means only the manager restarted. Holds
// the mode the boot started in.
#define VORNMGR_BOOT_MARKER VORNMGR_RUN_DIR "/boot"
// The modules registered with the manager, so that a restarted one knows
// whom to wait for.
#define VORNMGR_KNOWN_MODULES VORNMGR_RUN_DIR "/modules"
// The mode the manager last brought the modules up in within this boot: a
// restarted manager runs in it, not in the boot's, when it finds no sequence
// under way.
#define VORNMGR_UP_MODE VORNMGR_RUN_DIR "/up-mode"

// Reads a whole small file of the directory into `text` (NUL-terminated);
// false, with the reason logged unless the file is simply absent, when it
// cannot be trusted or read.
bool vornmgr_read_run_file(const char *path, char *text, size_t size);
// Replaces a file of the directory atomically (made when missing); a failure
// is logged.
bool vornmgr_write_run_file(const char *path, const char *text, size_t len);
// The boot marker: false when none is there (a first start).
bool vornmgr_read_boot_marker(Mode *mode);
void vornmgr_write_boot_marker(Mode mode);
// The up-mode file: false when none is there or it holds a maintenance mode.
bool vornmgr_read_up_mode(Mode *mode);
// Written only when `mode` differs from what the file was last seen to hold.
void vornmgr_note_up_mode(Mode mode);
// At the first start within a boot: no bring-up yet.
void vornmgr_forget_up_mode(void);
// The known-modules file: one bit per Module; false when none is there.
bool vornmgr_read_known_modules(unsigned *modules);
void vornmgr_write_known_modules(unsigned modules);

// ---------------------------------------------------------------------------
// Finding the modules again after a restart of the manager within one boot
// (vorn_mgr_discovery.cpp)

// True from the start of a restarted manager until discovery and the
// recovery of an interrupted sequence are over: requests that change modes
// wait for it.
extern std::atomic<bool> vornmgr_discovery_running;
// Modules that were registered before the restart and have not been heard
// from since, one bit per Module.
extern std::atomic<unsigned> vornmgr_unaccounted_modules;

// Reads who was registered before the restart (at start, before any thread).
void vornmgr_load_modules_before_restart(void);
// A module spoke: it is accounted for. Cheap; any thread.
inline void vornmgr_note_module_heard(Module mod)
{
    if (vornmgr_unaccounted_modules.load(std::memory_order_relaxed) & (1u << mod))
        vornmgr_unaccounted_modules.fetch_and(~(1u << mod));
}
// Keeps the known-modules file in step with the registry; writes only when
// the set changed. Comm receive thread and main thread.
void vornmgr_save_known_modules(void);
// After the discovery wait: probes again, every few seconds, until every
// module registered before the restart has answered or a bound has passed.
// Main thread; ends early on a stop.
void vornmgr_probe_unaccounted_modules(void);
// The discovery wait after a restart within one boot (main thread).
void vornmgr_wait_for_init_complete(void);
// Names of the modules in `modules`, ", "-separated, into `text`.
const char *vornmgr_module_names(unsigned modules, char *text, size_t size);
// Enters an unregistered module as it reports itself (a discovery answer, a
// keepalive answer); true if it was entered. Callers do not hold
// registry_lock.
bool vornmgr_enter_reported_module(const module_mode_t &reported);

// ---------------------------------------------------------------------------
// Administration sequence (vorn_mgr_admin.cpp)

extern const std::array<Module, 8> mod_layering_order;
extern const std::array<int, 8> module_response_timeout;

// Answers to a GO_DOWN broadcast, counted under `lock` and signalled on
// `cond`; only the take-down and vornmgr_count_go_down_answer change them.
extern std::mutex lock;
extern std::condition_variable cond;
extern int mod_id_in_process;              // guarded by lock
extern int num_go_down_response_required;  // guarded by lock
extern int num_go_down_response_recv;      // guarded by lock

bool vornmgr_admin_modules(Mode reason, Module target_mod, bool up);
// Hands the memory freed during the last mode change back to the system, if
// a mode change ran since the last call; the operator thread calls it once the
// operator has been answered.
void vornmgr_release_free_memory(void);
// Counts one answer about `for_mod` from `from_mod` if `for_mod` is the module
// in process. The answer that completes the count closes the position: the
// calling thread broadcasts its DOWN and the next position's GO_DOWN itself,
// or wakes the take-down when another thread holds its course. False for an
// answer about any other module (a late one). Only the first answer of an
// awaited module counts: the count is of distinct modules, and a position
// completes only once every awaited module answered. The sender's delay and
// failure reason go into the take-down's trace (vorn_mgr_history.h).
bool vornmgr_count_go_down_answer(Module for_mod, Module from_mod, Failure_Reason failure_reason);
// Starts the count of answers about `mod`, awaiting each module of `awaited`
// (one bit per Module) once; the take-down does this at each position, with
// the modules registered when it began that are still registered.
void vornmgr_await_go_down_answers(Module mod, unsigned awaited);
// A module that unregistered during a take-down is no longer awaited.
void vornmgr_forget_go_down_answers_of(Module mod);
// Called when the manager stops: the take-down in progress returns false at
// once, with no further broadcast, and none starts any more.
void vornmgr_stop_take_down(void);
bool vornmgr_take_down_is_stopped(void);

// ---------------------------------------------------------------------------
// Record of the sequence in progress (vorn_mgr_sequence_record.cpp)

#define VORNMGR_SEQUENCE_RECORD VORNMGR_RUN_DIR "/sequence"

typedef enum vornmgr_sequence_kind_t {
    SEQUENCE_RESTART,      // take-down, then the reboot command
    SEQUENCE_MAINT_ENTER,  // take-down into maintenance
    SEQUENCE_MAINT_LEAVE,  // bring-up out of maintenance
    SEQUENCE_RECOVERY,     // bring-up after an interrupted sequence or a failed reboot
} vornmgr_sequence_kind_t;

typedef enum vornmgr_sequence_stage_t {
    STAGE_RUNNING,         // broadcasts under way
    STAGE_TAKEN_DOWN,      // a restart's take-down ended; no reboot command yet
    STAGE_REBOOT_STARTED,  // the reboot command runs: the machine is going down
    STAGE_IN_MAINTENANCE,  // every module is down for maintenance
    STAGE_COMING_UP,       // COME_UP went out; not every module has reported up yet
} vornmgr_sequence_stage_t;

typedef struct vornmgr_sequence_record_t {
    vornmgr_sequence_kind_t kind;
    vornmgr_sequence_stage_t stage;
    Mode mode;         // the mode the sequence moves the system to
    Mode mode_before;  // the system's mode before the request
    time_t started;
    // A bring-up's modules, one bit per Module: those that must report up.
    unsigned modules = 0;
    // The reboot command, once started: its pid, its start time in clock
    // ticks after boot (which tells a reused pid apart) and the boot clock
    // (CLOCK_BOOTTIME, milliseconds) when it started.
    int reboot_pid = 0;
    unsigned long long reboot_start = 0;
    long long reboot_boottime_ms = 0;
} vornmgr_sequence_record_t;

// What a restarted manager does about the record it finds.
typedef enum vornmgr_recovery_t {
    RECOVER_NOTHING,             // a bring-up whose modules all report up: the record only goes
    RECOVER_BRING_UP,            // an interrupted take-down: every module up in mode_before
    RECOVER_REPEAT_BRING_UP,     // an interrupted bring-up: again, in mode
    RECOVER_RESUME_MAINTENANCE,  // modules down for maintenance: keep that mode
    RECOVER_WATCH_REBOOT,        // the reboot command still runs: wait for the machine to go down
    RECOVER_FAILED_REBOOT,       // the reboot command ended and the machine stayed up
} vornmgr_recovery_t;

// What the restarted manager found beside the record.
typedef struct vornmgr_recovery_facts_t {
    bool reboot_running;  // the record's reboot command still runs
    unsigned modules_up;  // registered modules that report themselves up, one bit per Module
} vornmgr_recovery_facts_t;

// Whether a mode has the maintenance bit, and the mode without it.
inline bool vornmgr_is_maintenance(Mode mode)
{
    return (static_cast<unsigned>(mode) & MAINTENANCE) != 0;
}
inline Mode vornmgr_without_maintenance(Mode mode)
{
    return static_cast<Mode>(static_cast<unsigned>(mode) & ~static_cast<unsigned>(MAINTENANCE));
}

// "restart", "maintenance-on", "maintenance-off", "recovery": the kind's word
// in the record and in the history.
const char *vornmgr_sequence_kind_name(vornmgr_sequence_kind_t kind);
const char *vornmgr_sequence_stage_name(vornmgr_sequence_stage_t stage);
int vornmgr_format_sequence_record(const vornmgr_sequence_record_t &record, char *text, size_t size);
// False for a record that is not exactly what the manager writes (a key
// twice, an unknown key or value, a required key missing).
bool vornmgr_parse_sequence_record(const char *text, vornmgr_sequence_record_t *record);
// Null for a record the manager could have written; else what contradicts
// itself in it (a maintenance stage with a mode that is not, say).
const char *vornmgr_sequence_record_contradiction(const vornmgr_sequence_record_t &record);
vornmgr_recovery_t vornmgr_plan_recovery(const vornmgr_sequence_record_t &record,
                                         const vornmgr_recovery_facts_t &facts);
// The maintenance mode a RECOVER_RESUME_MAINTENANCE keeps: the sequence's
// own for maintenance, the one before the request for a restart asked for
// during maintenance.
Mode vornmgr_recovery_maintenance_mode(const vornmgr_sequence_record_t &record);
// Written atomically and synced before a sequence's first broadcast and at
// each change of stage; a failure is logged and never stops the sequence.
void vornmgr_write_sequence_record(const vornmgr_sequence_record_t &record);
void vornmgr_remove_sequence_record(void);
// The record as the manager left it; false (logged) when there is none, it
// cannot be read, or it is damaged or contradicts itself.
bool vornmgr_load_sequence_record(vornmgr_sequence_record_t *record);

// ---------------------------------------------------------------------------
// Bring-ups, recovery and keeping modules in step with the system's mode
// (vorn_mgr_recovery.cpp); operator thread only unless said otherwise

// One bring-up of every module (or of `modules` alone, when not 0), recorded
// while it runs: the record stays, at STAGE_COMING_UP, until every module of
// it has reported INIT_COMPLETE or bring_up_max_time has passed.
bool vornmgr_bring_all_up(vornmgr_sequence_kind_t kind, Mode mode, Mode mode_before, unsigned modules = 0);
// After the discovery wait: acts on a record left by a manager that stopped
// in the middle of a sequence, then brings the modules in step with the mode.
void vornmgr_recover_interrupted_sequence(void);
// No reboot is coming after a restart's take-down (the caller logged why):
// the switch goes back to what it was before the request, up in mode_before
// or, asked during maintenance, in maintenance with its modules down.
void vornmgr_recover_from_failed_reboot(Mode mode_before, time_t started);
// Modules whose reported state disagrees with the system's mode (one that
// came back down after discovery, one up during maintenance) are brought in
// line.
void vornmgr_reconcile_modules(void);
// A module reported INIT_COMPLETE, or left: the bring-up no longer waits for
// it. Comm receive thread; cheap.
void vornmgr_note_bring_up_progress(Module mod);
// Milliseconds until the bring-up's bound passes; -1 when none is watched.
long long vornmgr_bring_up_wait_ms(void);
// Ends the watched bring-up when every module reported up (INFO) or its bound
// passed (ERR naming the missing ones): its record is removed.
void vornmgr_check_bring_up(void);
// Forgets the watched bring-up: a new sequence replaces its record.
void vornmgr_forget_bring_up(void);
// The boot clock (CLOCK_BOOTTIME) in milliseconds: it runs on across a
// restart of the manager and stops at a reboot.
long long vornmgr_boottime_ms(void);

// ---------------------------------------------------------------------------
// Monitor timer (vorn_mgr_monitor.cpp)

bool vornmgr_create_monitor_timer(int start_delay, int interval);
bool vornmgr_arm_monitor_timer(int start_delay, int interval);
void vornmgr_delete_monitor_timer(void);
// A module answered keepalive `seq`: noted in its row, and one INFO line if
// it had missed enough in a row to be warned about. Returns whether it is
// registered. Comm receive thread; callers do not hold registry_lock.
bool vornmgr_note_keepalive_answer(Module mod, int32_t seq);
// Judged at each expiry: a module that registered before the last keepalive
// and left it unanswered missed one more; at this many in a row it is
// warned about, once.
#define VORNMGR_KEEPALIVES_MISSED_WARN 2

// ---------------------------------------------------------------------------
// Operator socket (vorn_mgr_cli.cpp)

bool vornmgr_start_cli(void);
void vornmgr_stop_cli(void);
// Has the operator thread run vornmgr_recover_interrupted_sequence, between
// two requests; runs it at once when there is no operator thread.
void vornmgr_cli_request_recovery(void);
// Has the operator thread run vornmgr_reconcile_modules between two
// requests, and check the watched bring-up; any thread, cheap.
void vornmgr_cli_request_reconcile(void);
void vornmgr_cli_request_bring_up_check(void);

#endif // VORN_MGR_H
