// SPDX-License-Identifier: Apache-2.0
// bench.h - what the benchmark's files share: the clock, the options of a run,
// the endpoints and paths it uses, and one entry per measurement.
//
// vornmgr_bench measures the manager against bare ZeroMQ on the same loopback
// in the same run. It uses the manager's fixed ports, sockets and files, so
// it runs only inside tools/sandbox (scripts/bench).
#ifndef VORN_BENCH_H
#define VORN_BENCH_H

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace bench {

using ns_t = int64_t;

// CLOCK_MONOTONIC is one clock for every process of the machine, so times
// taken by the module processes and by the coordinator can be compared.
ns_t now_ns();
void sleep_ns(ns_t duration);

constexpr ns_t NS_PER_US = 1000;
constexpr ns_t NS_PER_MS = 1000 * NS_PER_US;
constexpr ns_t NS_PER_S = 1000 * NS_PER_MS;

// The bare REQ/REP echo server (and its relaying publisher) listens next to
// the manager on the same loopback interface.
inline constexpr const char *BARE_COMM_ENDPOINT = "tcp://127.0.0.1:49102";
inline constexpr const char *BARE_PUB_ENDPOINT = "tcp://127.0.0.1:49112";

// The manager's files, all private to the sandbox.
inline constexpr const char *MANAGER_CONF_DIR = "/etc/norvane";
inline constexpr const char *MANAGER_CONF_FILE = "/etc/norvane/vornmgrd.conf";
inline constexpr const char *MANAGER_STARTUP_FILE = "/tmp/.vornmgrd.startup.conf";
// The manager's runtime directory, which survives its restart but not a reboot.
inline constexpr const char *MANAGER_RUN_DIR = "/run/vornmgr";
inline constexpr const char *MANAGER_CLI_SOCKET = "/run/vornmgr_cli.sock";
// The manager's history, in the sandbox's own state directory.
inline constexpr const char *MANAGER_STATE_DIR = "/var/lib/vornmgr";
inline constexpr const char *MANAGER_HISTORY_FILE = "/var/lib/vornmgr/history.jsonl";

// Counts and durations of one run. The defaults are the documented run;
// --smoke shrinks everything to a few seconds.
struct Options {
    bool wants(const char *phase) const { return ("," + phases + ",").find("," + std::string(phase) + ",") != std::string::npos; }

    int requests = 20000;     // request round trips per (kind, target, concurrency)
    int rounds = 10;          // bare and manager alternate this many times
    int fanouts = 1000;       // publishes reaching eight subscribers, per target
    int takedowns = 30;       // take-down + bring-up cycles, responsive modules
    int slow_takedowns = 5;   // the same with one module answering after 50 ms
    int alternations = 1;     // blocks of cycles, manager then bare sequencer, each
    int slow_delay_ms = 50;
    int startups = 30;        // fresh manager starts, exec to READY=1
    int idle_seconds = 60;    // quiet period measured; 60 and more waits for a keepalive first
    bool full_history = false;  // the manager starts with its history at the bound of records
    // Which measurements to make: any of startup, rtt, fanout, admin, handover, idle.
    std::string phases = "startup,rtt,fanout,admin,handover,idle";
    std::string results_path = "bench-results.txt";
    std::string log_path = "/tmp/vornmgr_bench-vornmgrd.log";
    std::string vornmgrd_path;  // the manager built with this program by default
    std::string self_path;      // this program, re-run for the helper processes
};

} // namespace bench

#endif // VORN_BENCH_H
