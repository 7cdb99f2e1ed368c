// SPDX-License-Identifier: Apache-2.0
// vornmgr_bench - the manager's cost against bare ZeroMQ, side by side in one
// run: request round trips, take-down and bring-up, broadcast fan-out,
// start-up and idle cost. Prints a table and writes it, with every figure, to
// the results file. Runs inside tools/sandbox only (scripts/bench does that).
//
// The same program also runs the run's helper processes: the bare echo
// server (--echo-server), the bare take-down sequencer (--bare-sequencer) and
// the library-client modules (--module).

#include "bench.h"
#include "bench_helpers.h"
#include "bench_manager.h"
#include "bench_phases.h"
#include "bench_report.h"

#include <fcntl.h>
#include <getopt.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string>

namespace bench {

namespace {

constexpr const char *usage_text =
    "usage: vornmgr_bench [options]\n"
    "Measures vornmgrd against a bare libzmq REQ/REP echo server on the same loopback.\n"
    "Runs inside tools/sandbox only; scripts/bench builds it and runs it there.\n"
    "  --requests N        round trips per kind, target and concurrency (20000)\n"
    "  --rounds N          alternations between bare and manager (10)\n"
    "  --fanouts N         publishes to eight subscribers per target (1000)\n"
    "  --takedowns N       take-down/bring-up cycles with responsive modules (30)\n"
    "  --slow-takedowns N  cycles with one module answering late (5)\n"
    "  --alternations N    measure the take-downs in N blocks, the manager's and the bare sequencer's\n"
    "                      in turn, each block of both with the counts above (1)\n"
    "  --slow-delay-ms N   how late it answers (50)\n"
    "  --startups N        fresh starts, exec to READY=1 (30)\n"
    "  --idle-seconds N    quiet period; 60 or more waits for a keepalive and measures\n"
    "                      the 53 s between two timer expiries and the whole minute (60)\n"
    "  --phases LIST       comma-separated subset of startup,rtt,fanout,admin,handover,idle (all)\n"
    "  --full-history      start each manager with its history at the bound of 100 records\n"
    "  --smoke             a few hundred requests and a few cycles: checks that it works\n"
    "  --results FILE      where the table and figures go (bench-results.txt)\n"
    "  --log FILE          the manager's standard error (/tmp/vornmgr_bench-vornmgrd.log)\n"
    "  --vornmgrd PATH     the manager to measure (the one built with this program)\n"
    "Environment: VORN_BENCH_WRAP=PROGRAM runs the bare servers under PROGRAM (a profiler);\n"
    "VORN_BENCH_SMAPS=FILE keeps the manager's /proc/PID/smaps after the busy measurements in FILE.\n";

int usage(const char *error)
{
    if (error != nullptr)
        fprintf(stderr, "vornmgr_bench: %s\n", error);
    fputs(usage_text, stderr);
    return 2;
}

bool parse_count(const char *text, int minimum, int &out)
{
    char *end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < minimum || value > INT_MAX)
        return false;
    out = int(value);
    return true;
}

bool phases_are_known(const std::string &phases)
{
    static const std::string known = ",startup,rtt,fanout,admin,handover,idle,";
    size_t start = 0;
    while (start <= phases.size()) {
        const size_t end = std::min(phases.find(',', start), phases.size());
        if (known.find("," + phases.substr(start, end - start) + ",") == std::string::npos)
            return false;
        start = end + 1;
    }
    return true;
}

void apply_smoke(Options &options)
{
    options.requests = 400;
    options.rounds = 2;
    options.fanouts = 50;
    options.takedowns = 3;
    options.slow_takedowns = 1;
    options.startups = 3;
    options.idle_seconds = 2;
}

std::string self_path()
{
    char path[PATH_MAX];
    const ssize_t len = readlink("/proc/self/exe", path, sizeof path - 1);
    if (len <= 0)
        throw std::runtime_error("cannot find this program's path");
    return std::string(path, size_t(len));
}

std::string first_line_with(const std::string &text, const std::string &key)
{
    const size_t at = text.find(key);
    if (at == std::string::npos)
        return "unknown";
    const size_t colon = text.find(':', at);
    const size_t end = text.find('\n', at);
    return text.substr(colon + 2, end - colon - 2);
}

std::string load_average()
{
    std::string load = read_text_file("/proc/loadavg");
    return load.substr(0, load.find(' ', load.find(' ', load.find(' ') + 1) + 1));
}

std::string machine_header(const Options &options)
{
    utsname system{};
    uname(&system);
    char date[64];
    const time_t now = time(nullptr);
    strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S UTC", gmtime(&now));
    std::string header = "vornmgr_bench results, " + std::string(date) + "\n";
    header += format("machine: %ld CPUs online, %s\n", sysconf(_SC_NPROCESSORS_ONLN),
                     first_line_with(read_text_file("/proc/cpuinfo"), "model name").c_str());
    header += format("kernel: %s %s %s\n", system.sysname, system.release, system.machine);
    header += format("build: %s%s%s, %s\n", VORN_BENCH_BUILD_TYPE, *VORN_BENCH_SANITIZE ? ", sanitizer " : "",
                     VORN_BENCH_SANITIZE, "g++ " __VERSION__);
    header += "load average (1, 5, 15 min) at start: " + load_average() + "\n";
    header += format("counts: %d requests x %d rounds, %d fan-outs, %d + %d take-downs in %d block%s per server, "
                     "%d start-ups, %d s idle\n",
                     options.requests, options.rounds, options.fanouts, options.takedowns, options.slow_takedowns,
                     options.alternations, options.alternations == 1 ? "" : "s", options.startups,
                     options.idle_seconds);
    if (options.full_history)
        header += "history: at its bound of 100 records when each manager starts\n";
    return header;
}

// The command line of a bare baseline server. VORN_BENCH_WRAP names a program
// to run it under (a profiler, like the --vornmgrd option for the manager).
std::vector<std::string> helper_command(const Options &options, const char *mode)
{
    const char *wrapper = getenv("VORN_BENCH_WRAP");
    if (wrapper != nullptr && *wrapper != '\0')
        return {wrapper, options.self_path, mode};
    return {options.self_path, mode};
}

// The memory of the manager that served every measurement so far, before it
// makes way for the bare sequencer: what busy days leave behind.
ProcSample sample_busy_memory(pid_t manager)
{
    const ProcSample busy = proc_sample(manager);
    // Where the resident memory lies, mapping by mapping, for whoever looks
    // into it.
    if (const char *keep = getenv("VORN_BENCH_SMAPS"); keep != nullptr && *keep != '\0') {
        if (FILE *out = fopen(keep, "w")) {
            const std::string smaps = read_text_file("/proc/" + std::to_string(manager) + "/smaps");
            fwrite(smaps.data(), 1, smaps.size(), out);
            fclose(out);
        }
    }
    return busy;
}

void report_busy_memory(const ProcSample &busy, Report &report)
{
    report.section("Resident memory of vornmgrd");
    report.line(format("after the round trips, fan-out and take-downs: VmRSS %lld KiB (anonymous %lld, file %lld), "
                       "peak VmHWM %lld KiB",
                       static_cast<long long>(busy.rss_kib), static_cast<long long>(busy.rss_anon_kib),
                       static_cast<long long>(busy.rss_file_kib), static_cast<long long>(busy.hwm_kib)));
    report.figure("memory.busy_rss", double(busy.rss_kib), "KiB");
    report.figure("memory.busy_hwm", double(busy.hwm_kib), "KiB");
    report.target("resident memory < 8 MiB (VmRSS after the busy measurements)", busy.rss_kib < 8 * 1024,
                  format("%.2f MiB", double(busy.rss_kib) / 1024.0));
}

void stop_manager(ManagerRun &manager, Report &report)
{
    const int status = manager.process->stop(5 * NS_PER_S);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        report.problem(format("the manager did not end cleanly on SIGTERM (wait status 0x%x)", status));
}

// The manager's log must not show an error that the run provoked.
void check_manager_log(const Options &options, Report &report)
{
    const std::string log = read_text_file(options.log_path);
    size_t errors = 0;
    std::string first;
    for (size_t at = log.find(" ERR "); at != std::string::npos; at = log.find(" ERR ", at + 1)) {
        if (errors++ == 0)
            first = log.substr(log.rfind('\n', at) + 1, log.find('\n', at) - log.rfind('\n', at) - 1);
    }
    if (errors > 0)
        report.problem(format("the manager logged %zu ERR lines, the first: %s", errors, first.c_str()));
}

int run(Options &options)
{
    Report report;
    report.set_header(machine_header(options));
    const int log_fd = open(options.log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (log_fd < 0) {
        fprintf(stderr, "vornmgr_bench: cannot open %s: %s\n", options.log_path.c_str(), strerror(errno));
        return 1;
    }
    const unique_fd log_owner(log_fd);

    if (options.wants("startup")) {
        fprintf(stderr, "vornmgr_bench: start-up...\n");
        measure_startup(options, log_fd, report);
    }

    ManagerRun manager = start_manager(options, log_fd);
    if (options.wants("rtt") || options.wants("fanout")) {
        SpawnOptions echo_spawn;
        echo_spawn.stdout_pipe = true;
        Child echo(helper_command(options, "--echo-server"), echo_spawn);
        const auto echo_ready = echo.read_line(5 * NS_PER_S);
        if (!echo_ready || *echo_ready != "R")
            throw std::runtime_error("the bare echo server did not start");
        const Servers servers{echo.pid(), manager.process->pid()};
        if (options.wants("rtt")) {
            fprintf(stderr, "vornmgr_bench: request round trips...\n");
            measure_round_trips(options, servers, report);
        }
        if (options.wants("fanout")) {
            fprintf(stderr, "vornmgr_bench: broadcast fan-out...\n");
            measure_fanout(options, servers, report);
        }
        echo.stop(NS_PER_S);
    }
    if (options.wants("admin")) {
        fprintf(stderr, "vornmgr_bench: take-down and bring-up...\n");
        // In turns, so that a machine whose speed drifts over a run weighs
        // on both servers alike.
        AdminServer through_manager;
        AdminServer bare;
        bare.name = "the bare sequencer";
        bare.key = "bare";
        bare.is_manager = false;
        AdminCycles manager_cycles;
        AdminCycles bare_cycles;
        bool measured = true;
        ProcSample busy;
        for (int turn = 0; turn < options.alternations && measured; turn++) {
            if (turn > 0)
                manager = start_manager(options, log_fd);
            through_manager.pid = manager.process->pid();
            measured = collect_admin(options, through_manager, manager_cycles, report);
            if (turn == 0)
                busy = sample_busy_memory(manager.process->pid());
            // The bare sequencer needs the manager's endpoints and operator
            // socket; a fresh manager takes them back afterwards.
            stop_manager(manager, report);
            if (!measured)
                break;
            SpawnOptions spawn;
            spawn.stdout_pipe = true;
            Child sequencer(helper_command(options, "--bare-sequencer"), spawn);
            const auto ready = sequencer.read_line(5 * NS_PER_S);
            if (!ready || *ready != "R")
                throw std::runtime_error("the bare sequencer did not start");
            bare.pid = sequencer.pid();
            measured = collect_admin(options, bare, bare_cycles, report);
            sequencer.stop(NS_PER_S);
        }
        report_admin(options, through_manager, manager_cycles, report);
        report_busy_memory(busy, report);
        report_admin(options, bare, bare_cycles, report);
        manager = start_manager(options, log_fd);
    }
    if (options.wants("handover")) {
        fprintf(stderr, "vornmgr_bench: take-down hand-over...\n");
        measure_handover(options, report);
    }
    if (options.wants("idle")) {
        fprintf(stderr, "vornmgr_bench: idle cost (%d s and the wait for a keepalive)...\n", options.idle_seconds);
        ModulePool idle_modules(options, MAX_MODULES, 0);
        measure_idle(options, manager.process->pid(), idle_modules.modules().front()->pid(), report);
    }

    stop_manager(manager, report);
    check_manager_log(options, report);
    report.set_footer("\nload average (1, 5, 15 min) at end: " + load_average() + "\nmanager log: " + options.log_path +
                      "\n");
    report.print(stdout);
    if (!report.write(options.results_path)) {
        fprintf(stderr, "vornmgr_bench: cannot write %s\n", options.results_path.c_str());
        return 1;
    }
    printf("\nresults written to %s\n", options.results_path.c_str());
    return report.ok() ? 0 : 1;
}

} // namespace

} // namespace bench

int main(int argc, char **argv)
{
    using namespace bench;
    enum { opt_requests = 1000, opt_rounds, opt_fanouts, opt_takedowns, opt_slow_takedowns, opt_alternations,
           opt_slow_delay,
           opt_startups, opt_idle, opt_smoke, opt_results, opt_log, opt_vornmgrd, opt_echo, opt_module, opt_delay,
           opt_phases, opt_sequencer, opt_full_history, opt_help };
    static const option long_options[] = {
        {"requests", required_argument, nullptr, opt_requests},
        {"rounds", required_argument, nullptr, opt_rounds},
        {"fanouts", required_argument, nullptr, opt_fanouts},
        {"takedowns", required_argument, nullptr, opt_takedowns},
        {"slow-takedowns", required_argument, nullptr, opt_slow_takedowns},
        {"alternations", required_argument, nullptr, opt_alternations},
        {"slow-delay-ms", required_argument, nullptr, opt_slow_delay},
        {"startups", required_argument, nullptr, opt_startups},
        {"idle-seconds", required_argument, nullptr, opt_idle},
        {"smoke", no_argument, nullptr, opt_smoke},
        {"results", required_argument, nullptr, opt_results},
        {"log", required_argument, nullptr, opt_log},
        {"vornmgrd", required_argument, nullptr, opt_vornmgrd},
        {"echo-server", no_argument, nullptr, opt_echo},
        {"module", required_argument, nullptr, opt_module},
        {"answer-delay-ms", required_argument, nullptr, opt_delay},
        {"phases", required_argument, nullptr, opt_phases},
        {"bare-sequencer", no_argument, nullptr, opt_sequencer},
        {"full-history", no_argument, nullptr, opt_full_history},
        {"help", no_argument, nullptr, opt_help},
        {nullptr, 0, nullptr, 0},
    };
    Options options;
    options.vornmgrd_path = VORN_BENCH_VORNMGRD;
    bool echo_server = false;
    bool bare_sequencer = false;
    int module = -1;
    int answer_delay_ms = 0;
    int option;
    while ((option = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        bool valid = true;
        switch (option) {
        case opt_requests: valid = parse_count(optarg, 1, options.requests); break;
        case opt_rounds: valid = parse_count(optarg, 1, options.rounds); break;
        case opt_fanouts: valid = parse_count(optarg, 1, options.fanouts); break;
        case opt_takedowns: valid = parse_count(optarg, 1, options.takedowns); break;
        case opt_slow_takedowns: valid = parse_count(optarg, 1, options.slow_takedowns); break;
        case opt_alternations: valid = parse_count(optarg, 1, options.alternations); break;
        case opt_slow_delay: valid = parse_count(optarg, 0, options.slow_delay_ms); break;
        case opt_startups: valid = parse_count(optarg, 1, options.startups); break;
        case opt_idle: valid = parse_count(optarg, 1, options.idle_seconds); break;
        case opt_smoke: apply_smoke(options); break;
        case opt_results: options.results_path = optarg; break;
        case opt_log: options.log_path = optarg; break;
        case opt_vornmgrd: options.vornmgrd_path = optarg; break;
        case opt_echo: echo_server = true; break;
        case opt_sequencer: bare_sequencer = true; break;
        case opt_full_history: options.full_history = true; break;
        case opt_module: valid = parse_count(optarg, FRR, module) && module <= SYSTEM_SERVICES; break;
        case opt_delay: valid = parse_count(optarg, 0, answer_delay_ms); break;
        case opt_phases: options.phases = optarg; valid = phases_are_known(options.phases); break;
        case opt_help: fputs(usage_text, stdout); return 0;
        default: return usage(nullptr);
        }
        if (!valid)
            return usage((std::string("invalid value for ") + argv[optind - 1]).c_str());
    }
    if (optind < argc)
        return usage((std::string("unexpected argument ") + argv[optind]).c_str());

    if (echo_server)
        return echo_server_main();
    if (bare_sequencer)
        return bare_sequencer_main();
    if (module >= 0)
        return module_main(static_cast<Module>(module), answer_delay_ms);

    // The manager's ports, sockets and files are fixed: only a sandbox's own
    // may be used.
    const char *sandbox = getenv("SANDBOX");
    if (sandbox == nullptr || strcmp(sandbox, "1") != 0) {
        fprintf(stderr, "vornmgr_bench: runs only inside tools/sandbox (use scripts/bench)\n");
        return 2;
    }
    try {
        options.self_path = self_path();
        return run(options);
    } catch (const std::exception &error) {
        fprintf(stderr, "vornmgr_bench: %s\n", error.what());
        return 1;
    }
}
