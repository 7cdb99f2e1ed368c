// SPDX-License-Identifier: Apache-2.0
// bench_phases.h - the measurements of one run, in the order the run makes
// them. Each adds its table lines, figures and targets to the report and
// reports a problem when a measurement could not be made as intended.
#ifndef VORN_BENCH_PHASES_H
#define VORN_BENCH_PHASES_H

#include "bench.h"
#include "bench_process.h"
#include "bench_report.h"
#include "vorn_mgr_intf.h"

#include <memory>
#include <vector>

namespace bench {

// Start-up: exec to READY=1 of fresh managers, and the resident memory of
// one of them just after.
void measure_startup(const Options &options, int log_fd, Report &report);

// The two servers compared: the bare echo server first, then the manager.
struct Servers {
    pid_t bare = -1;
    pid_t manager = -1;
};

// Request round trips through the manager and through the bare echo server,
// 1 and 8 concurrent modules, interleaved; with each server's CPU time per
// request, which machine load does not blur as it does latency.
void measure_round_trips(const Options &options, const Servers &servers, Report &report);

// One publish reaching eight subscribers, through the manager and bare.
void measure_fanout(const Options &options, const Servers &servers, Report &report);

// The take-down measurements' pool: eight modules, a line from one within
// 10 s, a whole take-down within 70 s (the manager waits at most 55 s for
// eight silent modules).
constexpr int takedown_module_count = 8;
constexpr ns_t takedown_line_timeout = 10 * NS_PER_S;
constexpr ns_t takedown_timeout = 70 * NS_PER_S;

// Eight library-client modules, identifiers 2 to 9 (the rows the round-trip
// measurement registered), each its own process. One of them may hold back
// each GO_DOWN answer.
class ModulePool {
public:
    // Throws std::runtime_error if a module does not come up.
    ModulePool(const Options &options, Module slow_module, int answer_delay_ms);
    ~ModulePool();
    ModulePool(const ModulePool &) = delete;
    ModulePool &operator=(const ModulePool &) = delete;

    std::vector<std::unique_ptr<Child>> &modules() { return modules_; }

private:
    std::vector<std::unique_ptr<Child>> modules_;
};

// The server of a take-down measurement: the manager, or the bare sequencer
// standing in for it on the same endpoints and operator socket.
struct AdminServer {
    pid_t pid = -1;
    const char *name = "vornmgrd";
    const char *key = "vornmgrd";  // prefix of its figures
    bool is_manager = true;        // the targets apply to the manager only
};

// One take-down and bring-up through a server.
struct AdminCycle {
    ns_t takedown = 0;       // request to RESP_OVER
    ns_t module_delays = 0;  // per GO_DOWN, the longest a module held its answer; summed
    ns_t manager_cpu = 0;    // CPU time the server used for it
    ns_t bringup = 0;        // request to RESP_OVER
    ns_t all_up = 0;         // request to the last module's init complete answered
    std::vector<ns_t> answer_round_trips;  // a module's answer to its ACK
};

// The cycles through one server, eight responsive modules and then one late
// module, gathered over every alternation of the run.
struct AdminCycles {
    std::vector<AdminCycle> responsive;
    std::vector<AdminCycle> slow;
};

// Take-down (maintenance enable) and bring-up (maintenance disable) from the
// operator request to RESP_OVER: runs one block of both cases through the
// server and adds its cycles; false after a problem, which is reported.
bool collect_admin(const Options &options, const AdminServer &server, AdminCycles &cycles, Report &report);
// Reports the gathered cycles with the server's own share; the bare
// sequencer's after the manager's, compared with them.
void report_admin(const Options &options, const AdminServer &server, AdminCycles &cycles, Report &report);

// Inside the manager, from its log: per position of a take-down of eight
// responsive modules, its last answer to its DOWN and on to the next GO_DOWN.
void measure_handover(const Options &options, Report &report);

// The manager's CPU time and wake-ups while nothing happens, and its
// resident memory, with the given modules connected.
void measure_idle(const Options &options, pid_t manager, pid_t module, Report &report);

} // namespace bench

#endif // VORN_BENCH_PHASES_H
