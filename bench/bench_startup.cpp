// SPDX-License-Identifier: Apache-2.0
// Start-up: from the exec of a fresh manager to "READY=1" on its
// notification socket, as systemd sees it.

#include "bench_manager.h"
#include "bench_phases.h"
#include "bench_stats.h"

#include <sys/wait.h>

#include <stdexcept>

namespace bench {

void measure_startup(const Options &options, int log_fd, Report &report)
{
    report.section("Start-up, exec to READY=1                 median ms      p99 ms      min ms      max ms");
    std::vector<ns_t> ready;
    std::vector<ns_t> cpu;
    std::vector<ns_t> queued;
    ProcSample fresh;
    for (int i = 0; i < options.startups; i++) {
        ManagerRun run;
        try {
            run = start_manager(options, log_fd);
        } catch (const std::runtime_error &error) {
            report.problem(std::string("start-up: ") + error.what());
            return;
        }
        ready.push_back(run.ready_after);
        cpu.push_back(run.cpu_at_ready);
        queued.push_back(run.queued_at_ready);
        if (i == 0) {
            // Memory of a manager that has just started, before any module.
            sleep_ns(200 * NS_PER_MS);
            fresh = proc_sample(run.process->pid());
        }
        const int status = run.process->stop(5 * NS_PER_S);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            report.problem(format("start-up: the manager did not end cleanly on SIGTERM (wait status 0x%x)", status));
    }
    const Summary summary = summarise(ready);
    report.line(format("%-40s %11.2f %11.2f %11.2f %11.2f", format("%zu fresh starts", summary.count).c_str(),
                       to_ms(summary.median), to_ms(summary.p99), to_ms(summary.min), to_ms(summary.max)));
    const Summary s_cpu = summarise(cpu);
    const Summary s_queued = summarise(queued);
    report.line(format("%-40s %11.2f %11.2f %11.2f %11.2f", "  its CPU time until then", to_ms(s_cpu.median),
                       to_ms(s_cpu.p99), to_ms(s_cpu.min), to_ms(s_cpu.max)));
    report.line(format("%-40s %11.2f %11.2f %11.2f %11.2f", "  runnable, waiting for a CPU", to_ms(s_queued.median),
                       to_ms(s_queued.p99), to_ms(s_queued.min), to_ms(s_queued.max)));
    report.figure("startup.cpu.median", to_ms(s_cpu.median), "ms");
    report.figure("startup.queued.median", to_ms(s_queued.median), "ms");
    report.line(format("just started: VmRSS %lld KiB (anonymous %lld, file %lld), %lld threads",
                       static_cast<long long>(fresh.rss_kib), static_cast<long long>(fresh.rss_anon_kib),
                       static_cast<long long>(fresh.rss_file_kib), static_cast<long long>(fresh.threads)));
    report.figure("startup.median", to_ms(summary.median), "ms");
    report.figure("startup.p99", to_ms(summary.p99), "ms");
    report.figure("startup.max", to_ms(summary.max), "ms");
    report.figure("memory.fresh_rss", double(fresh.rss_kib), "KiB");
    report.target("start-up to READY=1 < 50 ms (median)", summary.median < 50 * NS_PER_MS,
                  format("%.2f ms (max %.2f ms)", to_ms(summary.median), to_ms(summary.max)));
}

} // namespace bench
