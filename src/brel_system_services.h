// SPDX-License-Identifier: Apache-2.0
// brel_system_services.h - the system-services module: its variables and the
// entry points through which it talks to the lifecycle manager.
//
// Threads: the main thread runs start-up, retries a pending handshake when it
// is due, and the final unregistration; the client library's delivery thread
// runs the broadcast callback, which may run the start-up handshake again on
// COME_UP and after a broadcast. Both write the module's mode and state, so
// those are atomics; mod_mode is a record and has a lock.
#ifndef BREL_SYSTEM_SERVICES_H
#define BREL_SYSTEM_SERVICES_H

#include "vorn_mgr_intf.h"
#include "vorn_paths.h"

#include <atomic>
#include <ctime>
#include <mutex>

// Capacity of every reply buffer passed to vornmgr_send.
constexpr int resp_buf_len = VORNMGR_MAX_PKG_LEN;

// The module's identity; never changes. Not const: registration takes its
// address as the module list.
extern Module my_mod_id;
// Mode and state as last told by the manager; reported in status answers.
extern std::atomic<Mode> my_mode;
extern std::atomic<State> my_state;
// The last MODE_INFO record of a load-complete reply.
extern module_mode_t mod_mode;  // guarded by mod_mode_lock
extern std::mutex mod_mode_lock;
// Set by the signal handler; the main thread then shuts down.
extern std::atomic<bool> time_to_quit;
// The signal that set time_to_quit, for the main thread's log line.
extern std::atomic<int> caught_signal;

// Start-up handshake (also run again on COME_UP). Each returns 1 when the
// request was sent and its reply read, 0 when sending failed.
int brel_system_services_vorn_mgr_load_complete(module_mode *mod_mode_out, int *num_mods, Module *mods);
int brel_system_services_vorn_mgr_init_complete(void);
// Load-complete exchange that keeps the received MODE_INFO in mod_mode.
int brel_system_services_load_complete_into_mod_mode(int *num_mods, Module *mods);

// The handshake runs on one thread at a time: a thread claims the turn
// (waiting for a handshake in progress), runs it, and releases the turn,
// saying whether the manager was away for it. Such a handshake stays pending
// (the module then reports itself loaded, not up) and runs again after the
// manager's next broadcast and at the latest brel_retry_interval_s after the
// last try, until it succeeds or a COME_UP, GO_DOWN or DOWN for this module
// supersedes it.
constexpr int brel_retry_interval_s = 5;
void brel_system_services_claim_handshake(void);
void brel_system_services_release_handshake(bool manager_away);
// How long the main thread may sleep before it calls
// brel_system_services_retry_due_handshake, which runs the pending handshake
// when it is due.
timespec brel_system_services_time_to_retry(void);
void brel_system_services_retry_due_handshake(void);

// Logs, when a library call failed with EPERM, that the process answering on
// the manager's port is not root's, so not the manager.
void brel_system_services_log_not_manager(int error);

// The callback the client library calls with each broadcast package.
extern "C" int brel_system_services_vornmgr_cb(int len, void *buf);
// The callback registered with the library: the one above, then a pending
// handshake, since the broadcast shows that a manager is there again.
extern "C" int brel_system_services_vornmgr_retrying_cb(int len, void *buf);

// Handlers of the broadcasts (called by the callback).
bool brel_system_services_send_down_action_complete(const module_mode *order);
bool brel_system_services_process_mod_down(const module_mode *order);
bool brel_system_services_process_down_event(const module_mode *event);
int brel_system_services_process_come_up_event(const module_mode *event);
bool brel_system_services_process_up_event(const module_status *event);
bool brel_system_services_send_keepalive_response(const keepalive_request *request);
bool brel_system_services_send_module_status_response(void);
bool brel_system_services_handle_network_layer_info(const void *data);
int brel_system_services_process_issu_info(const issu_info *info);

#endif // BREL_SYSTEM_SERVICES_H
