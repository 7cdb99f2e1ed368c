// SPDX-License-Identifier: Apache-2.0
// Soak: the real vornmgrd, in the sandbox, under a steady load of module
// requests from eight modules and of operator status requests, for a bounded
// time and number of requests. Afterwards its memory (resident set) and its
// file descriptors must be where they were once the load had settled in,
// every request must have had its reply, and its log must hold no ERR line.
//
// VORN_SOAK_SECONDS sets the length (default 20 s, as in the test command);
// scripts/soak runs it for several minutes.

#include "vorn_test_support.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace vorn_test;

namespace {

constexpr std::int32_t LOAD_COMPLETE = 3, INIT_COMPLETE = 4, KEEP_ALIVE_RESP = 5, MODULE_STATUS_RESP = 6,
                       MODULE_REGISTER = 7, UP = 103, MODE_INFO = 104, ACK = 107, NETWORK_LAYER_INFO = 109,
                       ISSU_INFO = 200;
constexpr std::int32_t FIRST_MODULE = 2, LAST_MODULE = 9;  // frr .. System Services
constexpr std::int32_t REBOOT_WARM = 0x4;
constexpr std::int32_t SHOW = 10, SHOW_IN_PROGRESS = 11, RESP_OVER = 12;

// Module requests per second, all modules together, and status requests per second.
constexpr int MODULE_REQUEST_RATE = 1000;
constexpr int STATUS_REQUEST_RATE = 20;
// Memory the manager may gain between the settled start and the end: pages
// the allocator keeps for itself, never a per-request leak, which the rate
// above turns into tens of megabytes within minutes.
constexpr long RSS_SLACK_KB = 1024;

const char *const MANAGER_LOG = "/tmp/soak-vornmgrd.log";

int soak_seconds()
{
    const char *value = getenv("VORN_SOAK_SECONDS");
    const int seconds = value != nullptr ? atoi(value) : 0;
    return seconds > 0 ? seconds : 20;
}

// What the soak counts; the load threads add to it.
struct Tally {
    std::atomic<long> requests{0};
    std::atomic<long> lost{0};        // no reply within the bound
    std::atomic<long> wrong{0};       // a reply that is not the protocol's
    std::atomic<long> reports{0};
    std::atomic<long> bad_reports{0};
    std::mutex lock;
    std::string first_problem;  // guarded by lock

    void problem(std::atomic<long> &counter, const std::string &what)
    {
        counter++;
        std::lock_guard guard(lock);
        if (first_problem.empty())
            first_problem = what;
    }
};

struct Sample {
    double at_seconds;
    long rss_kb;
    int fds;
};

long rss_kb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return atol(line.c_str() + 6);
    return -1;
}

int open_fds(pid_t pid)
{
    int count = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        count++;
    return error ? -1 : count;
}

// Sends one request; counts it, and any missing or unexpected reply.
void expect_reply(FakeModule &module, const Bytes &request, std::int32_t reply_type, const char *what, Tally &tally)
{
    const std::optional<Bytes> reply = module.request(request, 10s);
    tally.requests++;
    if (!reply) {
        tally.problem(tally.lost, std::string("no reply to ") + what);
        return;
    }
    const auto messages = parse_pkg(*reply);
    if (!messages || messages->empty() || messages->front().type != reply_type)
        tally.problem(tally.wrong, std::string("reply to ") + what + ": " + to_hex(*reply));
}

// One registered module's requests, round after round, at its share of the rate.
void module_load(FakeModule &module, std::int32_t mod, std::chrono::steady_clock::time_point end, long max_requests,
                 Tally &tally)
{
    const auto expect = [&](const Bytes &request, std::int32_t reply_type, const char *what) {
        expect_reply(module, request, reply_type, what, tally);
    };


    const auto period = std::chrono::microseconds(1'000'000 * (LAST_MODULE - FIRST_MODULE + 1) / MODULE_REQUEST_RATE);
    auto next = std::chrono::steady_clock::now();
    for (std::int32_t round = 0; std::chrono::steady_clock::now() < end && tally.requests < max_requests; round++) {
        switch (round % 8) {
        case 0:
            expect(pkg(vorn_test::msg(LOAD_COMPLETE, {mod, 0, LOAD_COMPLETE, 0})), MODE_INFO, "LOAD_COMPLETE");
            break;
        case 1:
            expect(pkg(vorn_test::msg(INIT_COMPLETE, {mod, REBOOT_WARM, INIT_COMPLETE, 0})), UP, "INIT_COMPLETE");
            break;
        case 2:
        case 3:
        case 4:
            expect(pkg(vorn_test::msg(KEEP_ALIVE_RESP, {round, mod, REBOOT_WARM, 103, 0})), ACK, "KEEP_ALIVE_RESP");
            break;
        case 5:
            expect(pkg(vorn_test::msg(MODULE_STATUS_RESP, {mod, REBOOT_WARM, 103, 0})), ACK, "MODULE_STATUS_RESP");
            break;
        case 6:
            expect(pkg(vorn_test::msg(round % 64 == 6 ? ISSU_INFO : NETWORK_LAYER_INFO, {mod, 1, 1})), ACK,
                   "a relayed notice");
            break;
        default:
            // A module that restarts registers again.
            if (round % 256 == 7)
                expect(pkg(vorn_test::msg(MODULE_REGISTER, {mod})), ACK, "registration");
            break;
        }
        // The broadcasts caused are read and dropped, as a module would.
        while (module.next_broadcast(0ms)) {
        }
        next += period;
        std::this_thread::sleep_until(next);
    }
}

// Reads exactly `size` bytes; false on end of stream, error or time-out.
bool read_exactly(int fd, void *buf, size_t size)
{
    auto *at = static_cast<char *>(buf);
    while (size > 0) {
        const ssize_t got = read(fd, at, size);
        if (got <= 0)
            return false;
        at += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

// One SHOW on the operator socket; returns the report text, or nullopt if the
// answer was not SHOW_IN_PROGRESS records ended by RESP_OVER.
std::optional<std::string> status_report()
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return std::nullopt;
    const timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, "/run/vornmgr_cli.sock", sizeof addr.sun_path - 1);
    std::optional<std::string> report;
    const std::int32_t request = SHOW;
    if (connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0 &&
        write(fd, &request, sizeof request) == sizeof request) {
        std::string text;
        for (;;) {
            std::int32_t header[2];
            if (!read_exactly(fd, header, sizeof header))
                break;
            if (header[0] == RESP_OVER && header[1] == 8) {
                report = text;
                break;
            }
            if (header[0] != SHOW_IN_PROGRESS || header[1] < 8 || header[1] > 1023)
                break;
            std::string piece(static_cast<size_t>(header[1] - 8), '\0');
            if (!read_exactly(fd, piece.data(), piece.size()))
                break;
            text += piece;
        }
    }
    close(fd);
    return report;
}

void status_load(std::chrono::steady_clock::time_point end, Tally &tally)
{
    const auto period = std::chrono::microseconds(1'000'000 / STATUS_REQUEST_RATE);
    auto next = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < end) {
        const std::optional<std::string> report = status_report();
        tally.reports++;
        const long lines = report ? std::count(report->begin(), report->end(), '\n') : 0;
        if (!report || report->rfind(" Current System Mode: warm", 0) != 0 ||
            lines != 1 + (LAST_MODULE - FIRST_MODULE + 1))
            tally.problem(tally.bad_reports, "status report: " + report.value_or("(none)"));
        next += period;
        std::this_thread::sleep_until(next);
    }
}

// The manager's log lines that carry the level word ERR.
std::vector<std::string> error_lines(const std::string &path)
{
    std::vector<std::string> errors;
    std::ifstream log(path);
    std::string line;
    while (std::getline(log, line))
        if (line.find(" ERR ") != std::string::npos && errors.size() < 20)
            errors.push_back(line);
    return errors;
}

} // namespace

TEST(Soak, SteadyLoadLeavesMemoryDescriptorsAndRepliesIntact)
{
    ASSERT_NE(getenv("SANDBOX"), nullptr) << "runs only inside tools/sandbox";
    mkdir("/etc/norvane", 0755);
    write_file("/etc/norvane/vornmgrd.conf", "vornmgrctl_override=true\nboot_mode=warm\n");

    // The log goes to a file, not into this program's memory.
    NotifySocket notify;
    Process manager({"/bin/sh", "-c", "exec \"$0\" 2>" + std::string(MANAGER_LOG), bin_path("vornmgrd")},
                    {.env = {notify.env()}});
    ASSERT_TRUE(notify.wait_for("READY=1")) << read_file(MANAGER_LOG).value_or("");
    const pid_t pid = manager.pid();

    const int seconds = soak_seconds();
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    // The count bound stops a runaway loop; the rate keeps well below it.
    const long max_requests = 2L * MODULE_REQUEST_RATE * seconds + 1000;
    Tally tally;
    // Every module is registered before the load starts, and stays connected
    // until the end, so that the descriptors are compared like for like.
    std::vector<std::unique_ptr<FakeModule>> modules;
    for (std::int32_t mod = FIRST_MODULE; mod <= LAST_MODULE; mod++) {
        modules.push_back(std::make_unique<FakeModule>());
        expect_reply(*modules.back(), pkg(vorn_test::msg(MODULE_REGISTER, {mod})), ACK, "registration", tally);
    }
    std::vector<std::thread> load;
    for (std::int32_t mod = FIRST_MODULE; mod <= LAST_MODULE; mod++)
        load.emplace_back(module_load, std::ref(*modules[mod - FIRST_MODULE]), mod, end, max_requests,
                          std::ref(tally));
    load.emplace_back(status_load, end, std::ref(tally));

    // Samples while the load runs; the first quarter lets it settle in.
    std::vector<Sample> samples;
    while (std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(500ms);
        const double at = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        samples.push_back({at, rss_kb(pid), open_fds(pid)});
    }
    for (std::thread &thread : load)
        thread.join();

    ASSERT_GE(samples.size(), 8u);
    const size_t settled = samples.size() / 4;
    long settled_rss = 0;
    for (size_t i = 0; i <= settled; i++)
        settled_rss = std::max(settled_rss, samples[i].rss_kb);
    long late_rss = 0;
    for (size_t i = samples.size() - samples.size() / 4; i < samples.size(); i++)
        late_rss = std::max(late_rss, samples[i].rss_kb);
    // A sample may catch an operator connection open; the fewest is the base.
    int settled_fds = samples[0].fds;
    for (size_t i = 0; i <= settled; i++)
        settled_fds = std::min(settled_fds, samples[i].fds);
    // With the load over, the modules' connections are all that remain open.
    int idle_fds = open_fds(pid);
    wait_until([&] { return (idle_fds = open_fds(pid)) <= settled_fds; }, 10s);

    std::cout << "soak: " << seconds << " s, " << tally.requests << " module requests, " << tally.reports
              << " status reports; RSS " << samples.front().rss_kb << " kB at start, " << settled_rss
              << " kB settled, " << late_rss << " kB at the end; descriptors " << settled_fds << " settled, "
              << idle_fds << " at the end" << std::endl;

    EXPECT_EQ(tally.lost.load(), 0) << tally.first_problem;
    EXPECT_EQ(tally.wrong.load(), 0) << tally.first_problem;
    EXPECT_EQ(tally.bad_reports.load(), 0) << tally.first_problem;
    // However slow the machine, the load must have run for real.
    EXPECT_GE(tally.requests.load(), 1000) << "the load did not run";
    EXPECT_GE(tally.reports.load(), 20) << "the status requests did not run";
    EXPECT_LE(idle_fds, settled_fds) << "descriptors grew";
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' own bookkeeping grows by design; leaks are theirs to
    // report, at the manager's exit below.
#else
    EXPECT_LE(late_rss, settled_rss + RSS_SLACK_KB) << "resident memory grew";
#endif
    EXPECT_EQ(error_lines(MANAGER_LOG), std::vector<std::string>{});

    manager.kill(SIGTERM);
    EXPECT_EQ(manager.wait_exit(30s), exited_with(0));
}
