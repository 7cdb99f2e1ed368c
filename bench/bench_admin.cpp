// SPDX-License-Identifier: Apache-2.0
// Take-down and bring-up as the operator asks for them: maintenance enable
// takes all eight modules down in layering order, each GO_DOWN acknowledged
// by every module; maintenance disable brings them up with one broadcast.

#include "bench_manager.h"
#include "bench_phases.h"
#include "bench_stats.h"

#include "vorn_mgr_cli.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <stdexcept>

namespace bench {

namespace {

using Cycle = AdminCycle;

// Reads one "A about received sent acked" line from each module per GO_DOWN.
bool collect_answers(ModulePool &pool, Cycle &cycle, Report &report)
{
    std::map<int, ns_t> longest_hold;  // per module taken down
    for (auto &module : pool.modules()) {
        for (int answer = 0; answer < takedown_module_count; answer++) {
            const auto line = module->read_line(takedown_line_timeout);
            int about = 0;
            long long received = 0;
            long long sent = 0;
            long long acked = 0;
            if (!line || sscanf(line->c_str(), "A %d %lld %lld %lld", &about, &received, &sent, &acked) != 4) {
                report.problem(format("take-down: module pid %d gave %s instead of its GO_DOWN answer",
                                      int(module->pid()), line ? line->c_str() : "nothing"));
                return false;
            }
            longest_hold[about] = std::max(longest_hold[about], ns_t(sent - received));
            cycle.answer_round_trips.push_back(ns_t(acked - sent));
        }
    }
    if (longest_hold.size() != takedown_module_count) {
        report.problem(format("take-down: answers named %zu modules, not %d", longest_hold.size(), takedown_module_count));
        return false;
    }
    for (const auto &[about, hold] : longest_hold)
        cycle.module_delays += hold;
    return true;
}

bool collect_up(ModulePool &pool, ns_t requested, Cycle &cycle, Report &report)
{
    ns_t last = 0;
    for (auto &module : pool.modules()) {
        const auto line = module->read_line(takedown_line_timeout);
        long long up = 0;
        if (!line || sscanf(line->c_str(), "U %lld", &up) != 1) {
            report.problem(format("bring-up: module pid %d gave %s instead of its init complete",
                                  int(module->pid()), line ? line->c_str() : "nothing"));
            return false;
        }
        last = std::max(last, ns_t(up));
    }
    cycle.all_up = last - requested;
    return true;
}

ns_t cpu_of(const ProcSample &before, const ProcSample &after)
{
    return proc_activity(before, after).run_ns;
}

bool run_cycle(pid_t manager, ModulePool &pool, Cycle &cycle, Report &report)
{
    const ProcSample before = proc_sample(manager);
    const ns_t down_requested = now_ns();
    const auto down_over = operator_request(MAINTENANCE_MODE_ENABLE, takedown_timeout);
    if (!down_over) {
        report.problem("take-down: no RESP_OVER");
        return false;
    }
    cycle.takedown = *down_over - down_requested;
    cycle.manager_cpu = cpu_of(before, proc_sample(manager));
    if (!collect_answers(pool, cycle, report))
        return false;

    const ns_t up_requested = now_ns();
    const auto up_over = operator_request(MAINTENANCE_MODE_DISABLE, takedown_timeout);
    if (!up_over) {
        report.problem("bring-up: no RESP_OVER");
        return false;
    }
    cycle.bringup = *up_over - up_requested;
    return collect_up(pool, up_requested, cycle, report);
}

void report_cycles(const char *title, const std::string &base, std::vector<Cycle> &cycles, Report &report)
{
    std::vector<ns_t> takedown, share, delays, cpu, bringup, all_up, answers;
    for (Cycle &cycle : cycles) {
        takedown.push_back(cycle.takedown);
        share.push_back(cycle.takedown - cycle.module_delays);
        delays.push_back(cycle.module_delays);
        cpu.push_back(cycle.manager_cpu);
        bringup.push_back(cycle.bringup);
        all_up.push_back(cycle.all_up);
        answers.insert(answers.end(), cycle.answer_round_trips.begin(), cycle.answer_round_trips.end());
    }
    const Summary s_takedown = summarise(takedown);
    const Summary s_share = summarise(share);
    const Summary s_delays = summarise(delays);
    const Summary s_cpu = summarise(cpu);
    const Summary s_bringup = summarise(bringup);
    const Summary s_all_up = summarise(all_up);
    const Summary s_answers = summarise(answers);
    report.line(format("%s (%zu cycles)", title, cycles.size()));
    report.line(format("  take-down to RESP_OVER         %9.2f %9.2f", to_ms(s_takedown.median), to_ms(s_takedown.p99)));
    report.line(format("    modules' answer delays       %9.2f %9.2f", to_ms(s_delays.median), to_ms(s_delays.p99)));
    report.line(format("    server's share               %9.2f %9.2f", to_ms(s_share.median), to_ms(s_share.p99)));
    report.line(format("    server CPU time              %9.2f %9.2f", to_ms(s_cpu.median), to_ms(s_cpu.p99)));
    report.line(format("    GO_DOWN answer round trip    %9.3f %9.3f   (a module's answer to its ACK, %zu answers)",
                       to_ms(s_answers.median), to_ms(s_answers.p99), s_answers.count));
    report.line(format("  bring-up to RESP_OVER          %9.2f %9.2f", to_ms(s_bringup.median), to_ms(s_bringup.p99)));
    report.line(format("    until all eight are up again %9.2f %9.2f", to_ms(s_all_up.median), to_ms(s_all_up.p99)));
    report.figure(base + ".takedown.median", to_ms(s_takedown.median), "ms");
    report.figure(base + ".takedown.p99", to_ms(s_takedown.p99), "ms");
    report.figure(base + ".module_delays.median", to_ms(s_delays.median), "ms");
    report.figure(base + ".share.median", to_ms(s_share.median), "ms");
    report.figure(base + ".share.p99", to_ms(s_share.p99), "ms");
    report.figure(base + ".cpu.median", to_ms(s_cpu.median), "ms");
    report.figure(base + ".answer_rtt.median", to_ms(s_answers.median), "ms");
    report.figure(base + ".bringup.median", to_ms(s_bringup.median), "ms");
    report.figure(base + ".all_up.median", to_ms(s_all_up.median), "ms");
}

// Runs `count` measured cycles after one unmeasured one.
bool run_cycles(pid_t manager, ModulePool &pool, int count, std::vector<Cycle> &cycles, Report &report)
{
    Cycle warmup;
    if (!run_cycle(manager, pool, warmup, report))
        return false;
    for (int i = 0; i < count; i++) {
        Cycle cycle;
        if (!run_cycle(manager, pool, cycle, report))
            return false;
        cycles.push_back(cycle);
    }
    return true;
}

} // namespace

ModulePool::ModulePool(const Options &options, Module slow_module, int answer_delay_ms)
{
    for (int i = 0; i < takedown_module_count; i++) {
        const Module mod = static_cast<Module>(FRR + i);
        const int delay = mod == slow_module ? answer_delay_ms : 0;
        SpawnOptions spawn;
        spawn.stdin_pipe = true;
        spawn.stdout_pipe = true;
        modules_.push_back(std::make_unique<Child>(
            std::vector<std::string>{options.self_path, "--module", std::to_string(int(mod)), "--answer-delay-ms",
                                     std::to_string(delay)},
            spawn));
    }
    for (auto &module : modules_) {
        const auto line = module->read_line(takedown_line_timeout);
        if (!line || *line != "R")
            throw std::runtime_error(format("module pid %d did not come up", int(module->pid())));
    }
}

ModulePool::~ModulePool()
{
    // End of input tells each module to unregister and leave.
    for (auto &module : modules_)
        module->stdin_fd().reset();
    for (auto &module : modules_)
        if (!module->wait_exit(5 * NS_PER_S))
            module->stop(NS_PER_S);
}

bool collect_admin(const Options &options, const AdminServer &server, AdminCycles &cycles, Report &report)
{
    struct Case {
        std::vector<Cycle> &into;
        Module slow;
        int delay_ms;
        int cycles;
    };
    const std::array<Case, 2> cases{{
        {cycles.responsive, MAX_MODULES, 0, options.takedowns},
        {cycles.slow, FRR, options.slow_delay_ms, options.slow_takedowns},
    }};
    for (const Case &kind : cases) {
        ModulePool pool(options, kind.slow, kind.delay_ms);
        if (!run_cycles(server.pid, pool, kind.cycles, kind.into, report))
            return false;
    }
    return true;
}

void report_admin(const Options &options, const AdminServer &server, AdminCycles &cycles, Report &report)
{
    report.section(format("Take-down and bring-up through %s, 8 library-client modules   median ms   p99 ms",
                          server.name));
    const std::string base = std::string("admin.") + server.key;
    struct Case {
        const char *key;
        std::vector<Cycle> &cycles;
        Module slow;
    };
    const std::array<Case, 2> cases{{{"responsive", cycles.responsive, MAX_MODULES}, {"slow", cycles.slow, FRR}}};
    for (const Case &kind : cases) {
        if (kind.cycles.empty())
            continue;
        const std::string title = kind.slow == MAX_MODULES
                                      ? std::string("eight responsive modules")
                                      : format("slowest module (%s) answering each GO_DOWN after %d ms",
                                               mod_id_to_str(kind.slow), options.slow_delay_ms);
        report_cycles(title.c_str(), base + "." + kind.key, kind.cycles, report);
        const auto share = report.value(base + "." + kind.key + ".share.median");
        if (server.is_manager) {
            report.target(format("eight-module take-down: manager's share <= 5 ms (median, %s)", kind.key),
                          *share <= 5.0, format("%.2f ms", *share));
            continue;
        }
        const auto manager_share = report.value(std::string("admin.vornmgrd.") + kind.key + ".share.median");
        if (manager_share) {
            report.line(format("  vornmgrd's share less the bare sequencer's: %.2f ms", *manager_share - *share));
            report.figure(std::string("admin.overhead.") + kind.key, *manager_share - *share, "ms");
        }
    }
}

} // namespace bench
