// vorn_mgr.h - the manager's private header: the globals and functions that
// its source files share. Each group names the file that defines it.
#ifndef VORN_MGR_H
#define VORN_MGR_H

#include "vorn_mgr_intf.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <ctime>
#include <mutex>

// ---------------------------------------------------------------------------
// Daemon entry (vorn_mgr.cpp)

#define VORNMGR_PIDFILE "/var/run/vornmgr.pid"

// The system mode and the state the manager wants modules in. Written by the
// comm receive thread and the operator thread, read by every thread.
extern std::atomic<Mode> operative_mode;
extern std::atomic<State> required_state;
// Set by the start-up mode decision when the manager already ran in this boot.
extern std::atomic<bool> vornmgr_restarted;
// Wall-clock time at which the manager became ready.
extern std::atomic<time_t> vornmgr_start_time;
extern int keepalive_interval;

int vornmgr_start_channels(void);
int vornmgr_create_background_thread(void);
void vornmgr_discover_modules(void);
// Ends the comm receive loop so that main can run the teardown; safe to call
// from any thread (not from a signal handler).
void vornmgr_request_stop(void);

// ---------------------------------------------------------------------------
// Module registry (vorn_mgr_registry.cpp)

typedef struct registered_modules_t {
    module_status mod_status;  // mode.mod == row index means registered
    int num_starts;
    time_t start_time;
    int last_keepalive;
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
int vornmgr_num_l3_mod_present(void);
bool vornmgr_set_mod_state(Module module, Mode mode, State state);
// A consistent copy of every row, for readers that need more than one field.
std::array<registered_modules_t, MAX_MODULES> vornmgr_registry_snapshot(void);

// ---------------------------------------------------------------------------
// Message channels (vorn_mgr_channels.cpp)

int vornmgr_create_comm_channel(void);
void vornmgr_destroy_comm_channel(void);
int vornmgr_create_pub_channel(void);
void vornmgr_destroy_pub_channel(void);
bool vornmgr_pub_msg(int len, const void *pkg);
bool vornmgr_publish_dummy_nl_status(void);
// Starts the comm receive thread and waits for it to end.
bool vornmgr_start_comm_thread(void);
bool vornmgr_join_comm_thread(void);

// ---------------------------------------------------------------------------
// Request dispatch and progress reports (vorn_mgr_dispatch.cpp, vorn_mgr_progress.cpp)

// Answers to a GO_DOWN broadcast: counted under `lock`, signalled on `cond`.
extern std::mutex lock;
extern std::condition_variable cond;
extern int mod_id_in_process;              // guarded by lock
extern int num_go_down_response_required;  // guarded by lock
extern int num_go_down_response_recv;      // guarded by lock
extern std::atomic<bool> broadcast_l3_up;

bool vornmgr_process_message(void *sock, int len, const char *pkg);

// ---------------------------------------------------------------------------
// Start-up mode and configuration (vorn_mgr_state.cpp)

#define VORNMGR_CONF_FILE "/etc/norvane/vornmgrd.conf"
#define VORNMGR_STARTUP_FILE "/tmp/.vornmgrd.startup.conf"
#define VORNMGR_UPGRADE_MARKER "/var/tmp/.upgrade"

extern std::atomic<int> l3_register_timeout;  // seconds, l3_up_max_time
extern std::atomic<int> l3_nl_info_timeout;   // seconds, issu_complete_max_time

bool vornmgr_get_config_startup_mode(Module mod, const char *path, Mode *mode, bool *override,
                                     int *l3_up_max_time, int *issu_complete_max_time);
Mode vornmgr_get_startup_mode(Module mod, bool *restarted);

// ---------------------------------------------------------------------------
// Administration sequence and discovery wait (vorn_mgr_admin.cpp)

extern const std::array<Module, 8> mod_layering_order;
extern const std::array<int, 8> module_response_timeout;

bool vornmgr_admin_modules(Mode reason, Module target_mod, bool up);
void vornmgr_wait_for_init_complete(void);

// ---------------------------------------------------------------------------
// Monitor timer (vorn_mgr_monitor.cpp)

bool vornmgr_create_monitor_timer(int start_delay, int interval);
bool vornmgr_arm_monitor_timer(int start_delay, int interval);
void vornmgr_delete_monitor_timer(void);

// ---------------------------------------------------------------------------
// Operator socket (vorn_mgr_cli.cpp)

bool vornmgr_start_cli(void);
void vornmgr_stop_cli(void);

#endif // VORN_MGR_H
