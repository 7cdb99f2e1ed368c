// SPDX-License-Identifier: Apache-2.0
// Idle cost: what the manager does while nothing happens. With the default
// duration the quiet window lies between two monitor-timer expiries (found by
// listening for the keepalive broadcasts), and the whole minute that follows,
// one expiry and eight keepalive answers included, is measured as well.

#include "bench_phases.h"
#include "bench_wire.h"

#include <cstdio>
#include <optional>

#include <zmq.hpp>

namespace bench {

namespace {

// The monitor timer's period.
constexpr ns_t keepalive_period = 60 * NS_PER_S;
// Time for the modules' keepalive answers to be handled after a broadcast.
constexpr ns_t settle = NS_PER_S;
// An expiry runs on a thread the C library creates for it, which a busy
// machine may start late; the next expiry is not late for it. So the quiet
// window keeps well away from both ends of the period.
constexpr ns_t quiet_start = 2 * NS_PER_S;
constexpr ns_t quiet_end = 55 * NS_PER_S;

class KeepaliveWatch {
public:
    KeepaliveWatch() : socket_(context_, zmq::socket_type::sub)
    {
        socket_.set(zmq::sockopt::linger, 0);
        socket_.set(zmq::sockopt::subscribe, "");
        socket_.connect(VORNMGR_PUB_ENDPOINT);
    }
    // When the next keepalive broadcast arrived, or nullopt at the deadline.
    std::optional<ns_t> next(ns_t deadline)
    {
        char package[VORNMGR_MAX_PKG_LEN];
        for (;;) {
            const ns_t left = deadline - now_ns();
            if (left <= 0)
                return std::nullopt;
            zmq_pollitem_t item{socket_.handle(), 0, ZMQ_POLLIN, 0};
            if (zmq_poll(&item, 1, long(left / NS_PER_MS) + 1) <= 0)
                continue;
            const int got = zmq_recv(socket_.handle(), package, sizeof package, ZMQ_DONTWAIT);
            keepalive_request_t request;
            if (read_first(package, got, KEEP_ALIVE_REQ, &request)) {
                const ns_t arrived = now_ns();
                fprintf(stderr, "vornmgr_bench: keepalive %d at +%.3f s\n", int(request.seq),
                        double(arrived - created_) / double(NS_PER_S));
                return arrived;
            }
        }
    }

private:
    zmq::context_t context_{1};
    zmq::socket_t socket_;
    ns_t created_ = now_ns();
};

void sleep_until(ns_t when)
{
    const ns_t left = when - now_ns();
    if (left > 0)
        sleep_ns(left);
}

void report_threads(const Activity &activity, Report &report)
{
    for (const TaskSample &task : activity.busy)
        report.line(format("    thread %-16s %6lld wake-ups %10.1f us CPU", task.name.c_str(),
                           static_cast<long long>(task.timeslices), double(task.run_ns) / double(NS_PER_US)));
}

} // namespace

void measure_idle(const Options &options, pid_t manager, pid_t module, Report &report)
{
    report.section("Idle cost of vornmgrd, 8 modules connected");
    KeepaliveWatch watch;
    const bool between_expiries = options.idle_seconds >= 60;
    ns_t start = now_ns() + settle;
    ns_t quiet = options.idle_seconds * NS_PER_S;
    if (between_expiries) {
        const auto expiry = watch.next(now_ns() + keepalive_period + 10 * NS_PER_S);
        if (!expiry) {
            report.problem("idle: no keepalive broadcast within 70 s");
            return;
        }
        start = *expiry + quiet_start;
        quiet = quiet_end - quiet_start;
    }
    sleep_until(start);
    const ProcSample first = proc_sample(manager);
    const ProcSample module_first = proc_sample(module);
    const auto expiry_inside = watch.next(start + quiet);
    if (expiry_inside) {
        report.note("idle: a keepalive expiry fell inside the quiet window; its figures include one expiry");
        sleep_until(start + quiet);
    }
    const ProcSample second = proc_sample(manager);
    const ProcSample module_second = proc_sample(module);

    const Activity window = proc_activity(first, second);
    const Activity module_window = proc_activity(module_first, module_second);
    const double seconds = double(window.window) / double(NS_PER_S);
    report.line(format("quiet window of %.1f s%s:", seconds,
                       between_expiries ? " between two monitor-timer expiries" : " (no expiry awaited)"));
    report.line(format("  CPU time %.1f us (%lld clock ticks), %lld wake-ups, threads %s",
                       double(window.run_ns) / double(NS_PER_US), static_cast<long long>(window.cpu_ticks),
                       static_cast<long long>(window.wakeups), window.threads_changed ? "changed" : "unchanged"));
    report_threads(window, report);
    report.figure("idle.quiet.seconds", seconds, "s");
    report.figure("idle.quiet.cpu", double(window.run_ns) / double(NS_PER_US), "us");
    report.figure("idle.quiet.wakeups", double(window.wakeups), "wake-ups");
    report.target(format("no CPU time between two timer expiries (%.0f s window%s)", seconds,
                         between_expiries ? "" : ", no expiry awaited"),
                  window.run_ns == 0 && window.wakeups == 0 && !expiry_inside,
                  format("%.1f us, %lld wake-ups", double(window.run_ns) / double(NS_PER_US),
                         static_cast<long long>(window.wakeups)));
    report.line(format("one library-client module meanwhile: %.1f wake-ups/s, %.1f us CPU/s",
                       double(module_window.wakeups) / seconds,
                       double(module_window.run_ns) / double(NS_PER_US) / seconds));
    report.figure("idle.module.wakeups_per_s", double(module_window.wakeups) / seconds, "wake-ups/s");

    ProcSample last = second;
    if (between_expiries) {
        // The expiry that ends the minute, unless it already came early.
        const auto expiry = expiry_inside ? expiry_inside : watch.next(start + keepalive_period + 5 * NS_PER_S);
        if (!expiry) {
            report.problem("idle: the next keepalive broadcast did not come");
            return;
        }
        sleep_until(*expiry + settle);
        last = proc_sample(manager);
        const Activity minute = proc_activity(first, last);
        report.line(format("the rest of the minute too, one expiry and 8 keepalive answers included (%.1f s):",
                           double(minute.window) / double(NS_PER_S)));
        report.line(format("  CPU time %.1f us (%lld clock ticks), %lld wake-ups of lasting threads (the expiry's own "
                           "thread comes and goes)",
                           double(minute.run_ns) / double(NS_PER_US), static_cast<long long>(minute.cpu_ticks),
                           static_cast<long long>(minute.wakeups)));
        report_threads(minute, report);
        report.figure("idle.minute.cpu", double(minute.run_ns) / double(NS_PER_US), "us");
        report.figure("idle.minute.wakeups", double(minute.wakeups), "wake-ups");
    }

    report.line(format("resident memory: VmRSS %lld KiB (anonymous %lld, file %lld), peak VmHWM %lld KiB, %lld threads",
                       static_cast<long long>(last.rss_kib), static_cast<long long>(last.rss_anon_kib),
                       static_cast<long long>(last.rss_file_kib), static_cast<long long>(last.hwm_kib),
                       static_cast<long long>(last.threads)));
    report.figure("memory.rss", double(last.rss_kib), "KiB");
    report.figure("memory.rss_anon", double(last.rss_anon_kib), "KiB");
    report.figure("memory.rss_file", double(last.rss_file_kib), "KiB");
    report.figure("memory.hwm", double(last.hwm_kib), "KiB");
    report.target("resident memory < 8 MiB (VmRSS, idle, 8 modules connected)", last.rss_kib < 8 * 1024,
                  format("%.2f MiB", double(last.rss_kib) / 1024.0));
}

} // namespace bench
