// SPDX-License-Identifier: Apache-2.0
// The take-down's hand-over inside the manager, read from the manager's own
// log: once a position's last GO_DOWN answer came in on the comm receive
// thread, how long the operator thread takes to broadcast that module's DOWN
// and then the next module's GO_DOWN. The time stamps are the manager's,
// taken where each step happens, so no module and no transport time is in
// these figures: what is left is the wake-up between the two threads and the
// manager's own work.

#include "bench_manager.h"
#include "bench_phases.h"
#include "bench_stats.h"

#include "vorn_mgr_cli.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

namespace {

// The manager's hand-overs in one take-down.
struct Handover {
    std::vector<ns_t> to_down;  // per position: its last answer logged to "Send down for module"
    std::vector<ns_t> to_next;  // per position but the last: "Send down" to the next "Send going down"
};

long long log_size(const std::string &path)
{
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

std::string log_since(const std::string &path, long long offset)
{
    std::ifstream in(path, std::ios::binary);
    in.seekg(offset);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The time stamp at a log line's start ("<seconds>.<6 digits> ..."), read as
// integers so that no microsecond is lost; -1 for a line without one.
ns_t stamp_of(const std::string &line)
{
    char *end = nullptr;
    const long long seconds = strtoll(line.c_str(), &end, 10);
    if (end == line.c_str() || *end != '.')
        return -1;
    const char *micros_at = end + 1;
    const long long micros = strtoll(micros_at, &end, 10);
    if (end - micros_at != 6)
        return -1;
    return seconds * NS_PER_S + micros * NS_PER_US;
}

bool read_handover(const std::string &log, Handover &handover, Report &report)
{
    ns_t last_answer = -1;
    ns_t down = -1;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        const ns_t stamp = stamp_of(line);
        if (stamp < 0)
            continue;
        if (line.find(" GOING_DOWN ack from ") != std::string::npos) {
            last_answer = stamp;
        } else if (line.find(" Send down for module ") != std::string::npos) {
            if (last_answer < 0) {
                report.problem("hand-over: a DOWN without a GO_DOWN answer before it in the manager's log");
                return false;
            }
            handover.to_down.push_back(stamp - last_answer);
            down = stamp;
        } else if (line.find(" Send going down module ") != std::string::npos) {
            if (down >= 0)
                handover.to_next.push_back(stamp - down);
            last_answer = -1;
        }
    }
    if (handover.to_down.size() != takedown_module_count) {
        report.problem(format("hand-over: the manager's log shows %zu positions taken down, not %d",
                              handover.to_down.size(), takedown_module_count));
        return false;
    }
    return true;
}

// Every module's lines of one take-down (an "A" line per GO_DOWN) or one
// bring-up (a "U" line), read so that no module blocks on a full pipe.
bool drain_modules(ModulePool &pool, char kind, int per_module, Report &report)
{
    for (auto &module : pool.modules()) {
        for (int i = 0; i < per_module; i++) {
            const auto line = module->read_line(takedown_line_timeout);
            if (!line || line->empty() || (*line)[0] != kind) {
                report.problem(format("hand-over: module pid %d gave %s instead of its '%c' line",
                                      int(module->pid()), line ? line->c_str() : "nothing", kind));
                return false;
            }
        }
    }
    return true;
}

bool run_cycle(const Options &options, ModulePool &pool, Handover &handover, Report &report)
{
    const long long offset = log_size(options.log_path);
    if (!operator_request(MAINTENANCE_MODE_ENABLE, takedown_timeout)) {
        report.problem("hand-over: no RESP_OVER for the take-down");
        return false;
    }
    // "Send down" of the last position precedes RESP_OVER, and every line is
    // written out at once: the take-down's lines are all in the file.
    if (!read_handover(log_since(options.log_path, offset), handover, report) ||
        !drain_modules(pool, 'A', takedown_module_count, report))
        return false;
    if (!operator_request(MAINTENANCE_MODE_DISABLE, takedown_timeout)) {
        report.problem("hand-over: no RESP_OVER for the bring-up");
        return false;
    }
    return drain_modules(pool, 'U', 1, report);
}

} // namespace

void measure_handover(const Options &options, Report &report)
{
    report.section("Take-down hand-over inside vornmgrd, from its log, 8 library-client modules   median us    p99 us");
    ModulePool pool(options, MAX_MODULES, 0);
    Handover warmup;
    if (!run_cycle(options, pool, warmup, report))
        return;
    std::vector<ns_t> to_down, to_next, totals;
    for (int cycle = 0; cycle < options.takedowns; cycle++) {
        Handover handover;
        if (!run_cycle(options, pool, handover, report))
            return;
        to_down.insert(to_down.end(), handover.to_down.begin(), handover.to_down.end());
        to_next.insert(to_next.end(), handover.to_next.begin(), handover.to_next.end());
        // As a whole: from each position's last answer to the step after it.
        totals.push_back(std::accumulate(handover.to_down.begin(), handover.to_down.end(), ns_t{0}) +
                         std::accumulate(handover.to_next.begin(), handover.to_next.end(), ns_t{0}));
    }
    const Summary s_down = summarise(to_down);
    const Summary s_next = summarise(to_next);
    const Summary s_total = summarise(totals);
    report.line(format("eight responsive modules (%d take-downs, %zu positions)", options.takedowns, s_down.count));
    report.line(format("  %-74s%9.1f %9.1f", "last answer to its DOWN", to_us(s_down.median), to_us(s_down.p99)));
    report.line(format("  %-74s%9.1f %9.1f", "DOWN to the next GO_DOWN", to_us(s_next.median), to_us(s_next.p99)));
    report.line(format("  %-74s%9.1f %9.1f   (each last answer to the next step)", "a take-down's hand-overs in all",
                       to_us(s_total.median), to_us(s_total.p99)));
    report.figure("handover.to_down.median", to_us(s_down.median), "us");
    report.figure("handover.to_down.p99", to_us(s_down.p99), "us");
    report.figure("handover.to_next.median", to_us(s_next.median), "us");
    report.figure("handover.total.median", to_us(s_total.median), "us");
    report.figure("handover.total.p99", to_us(s_total.p99), "us");
}

} // namespace bench
