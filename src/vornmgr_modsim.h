// SPDX-License-Identifier: Apache-2.0
// vornmgr_modsim.h - vornmgr-modsim, a simulated module of the switch. It
// lives with the manager through libvornmgr exactly as a real module does
// (register, LOAD_COMPLETE, INIT_COMPLETE, answer every broadcast it owes an
// answer), with the answer delay, failure reason and silence chosen on its
// command line, and prints one time-stamped line per event on standard output.
// Operators rehearse a restart with it; the tests use it as a real library
// client.
#ifndef VORNMGR_MODSIM_H
#define VORNMGR_MODSIM_H

#include "vorn_mgr_intf.h"

#include <atomic>
#include <cstdio>
#include <ctime>

// What the command line chose. Filled once before registration and only read
// afterwards, by both the main thread and the library's callback thread.
struct modsim_options_t {
    Module module = MAX_MODULES;
    int own_delay_ms = 0;    // before answering a GO_DOWN that names this module
    int others_delay_ms = 0; // before answering a GO_DOWN that names another module
    Failure_Reason failure_reason = NO_ERROR; // carried by the answer about this module
    bool silent_own = false; // leave a GO_DOWN naming this module unanswered
    bool silent_all = false; // leave every GO_DOWN unanswered
    int register_wait_s = 30; // how long to keep trying to register
};
typedef modsim_options_t modsim_options_type;

enum modsim_parse_result_t { MODSIM_RUN, MODSIM_EXIT_OK, MODSIM_EXIT_USAGE };

// Exit statuses of the program.
constexpr int MODSIM_STATUS_OK = 0;
constexpr int MODSIM_STATUS_FAILED = 1; // could not register, handshake or unregister
constexpr int MODSIM_STATUS_USAGE = 2;

constexpr int MODSIM_MAX_DELAY_MS = 600000;

// Command line (vornmgr_modsim_options.cpp). Diagnostics and usage go to
// standard error, -h's usage to standard output.
modsim_parse_result_t modsim_parse_options(int argc, char **argv, modsim_options_t *options);
void modsim_print_usage(FILE *out, const char *program);
// The module for a name: "frr", "bgp", "ospf", "stp", "trelld", "swivend",
// "sdk" or "system-services"; MAX_MODULES for anything else.
Module modsim_module_from_name(const char *name);

// Output (vornmgr_modsim_events.cpp): one line per call, "HH:MM:SS.mmm <module>: <text>".
void modsim_say(const char *format, ...) __attribute__((format(printf, 1, 2)));      // standard output
void modsim_complain(const char *format, ...) __attribute__((format(printf, 1, 2))); // standard error
// What a failed library call's errno means here: strerror's text, except that
// EPERM says someone other than the manager answered.
const char *modsim_error_text(int error);
// Between registrations answered by a process that is not the manager.
constexpr int MODSIM_SQUATTED_RETRY_S = 1;

// The simulated module (vornmgr_modsim_events.cpp).
extern modsim_options_t modsim_options;
extern std::atomic<Mode> my_mode;
extern std::atomic<State> my_state;
// The bring-up handshake, LOAD_COMPLETE then INIT_COMPLETE: at start, again on
// COME_UP, and again while one the manager never answered (it was away, e.g.
// restarting) is pending: after the next broadcast, which shows a manager is
// there, and at the latest MODSIM_RETRY_INTERVAL_S after the last try. Never
// two at once. A handshake the manager refused is not tried again.
constexpr int MODSIM_RETRY_INTERVAL_S = 5;
// The first one, on the main thread; false (reported) if it failed. The
// program then ends, so nothing is left pending.
bool modsim_start_handshake(void);
// How long the main thread may wait for a signal before it calls
// modsim_retry_due_handshake: until a pending handshake is due, otherwise
// one interval.
timespec modsim_time_to_retry(void);
// Runs the pending handshake again if it is due and no other runs. Main thread.
void modsim_retry_due_handshake(void);
// The broadcast callback given to vornmgr_register_cb.
int modsim_vornmgr_cb(int len, void *buf);
// Ends an answer delay in progress at once and makes later ones end at once;
// the answers are then not sent. Called before unregistering.
void modsim_stop_delays(void);

#endif // VORNMGR_MODSIM_H
