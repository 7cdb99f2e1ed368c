// SPDX-License-Identifier: Apache-2.0
// The operator socket of a running vornmgrd, in the sandbox, against fake
// modules: the status report, maintenance windows, each kind of restart with
// the reboot stub, unrecognised codes and peers that are not root.

#include "vorn_test_support.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <ctime>
#include <deque>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace vorn_test;

namespace {

const char *const SOCKET_PATH = "/run/vornmgr_cli.sock";
const char *const PORTS_MARKER = "/tmp/.ports_in_maint";

constexpr std::int32_t WARMBOOT = 1, FASTBOOT = 2, COLDBOOT = 3, MAINT_ENABLE = 4, MAINT_DISABLE = 5,
                       UPGRADE_MODE = 8, SHOW = 10, SHOW_IN_PROGRESS = 11, RESP_OVER = 12;
constexpr std::int32_t ALL_MODULES = 1, FRR = 2, BGP = 3, SYSTEM_SERVICES = 9;
constexpr std::int32_t LOAD_COMPLETE = 3, MODULE_REGISTER = 7, MODULE_UNREGISTER = 8, GO_DOWN = 100, DOWN = 101,
                       COME_UP = 102, KEEP_ALIVE_REQ = 106, ACK = 107, NETWORK_LAYER_INFO = 109,
                       ISSU_INFO = 200;

struct Record {
    std::int32_t status;
    std::int32_t len;
    std::string text;
};

// One operator exchange as the tool makes it: connect, one 4-byte request,
// records until RESP_OVER. `at_resp_over` runs as soon as RESP_OVER arrives,
// when the tool would end; then the rest is read until the manager closes.
struct Answer {
    std::string raw;
    std::vector<Record> records;
};

std::string resp_over_bytes()
{
    const Bytes b = ints({RESP_OVER, 8});
    return std::string(b.begin(), b.end());
}

Answer ask(std::int32_t cmd, const std::function<void()> &at_resp_over = {})
{
    Answer answer;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, SOCKET_PATH, sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || write(fd, &cmd, 4) != 4) {
        ADD_FAILURE() << "request to " << SOCKET_PATH << ": " << strerror(errno);
        close(fd);
        return answer;
    }
    size_t at = 0;  // start of the first record not yet parsed
    char buf[4096];
    ssize_t n;
    // A take-down of one module waits at most 10 s; leave room for a slow machine.
    for (pollfd p{fd, POLLIN, 0}; poll(&p, 1, 30000) == 1 && (n = read(fd, buf, sizeof buf)) > 0;) {
        answer.raw.append(buf, static_cast<size_t>(n));
        Record r{};
        while (at + 8 <= answer.raw.size()) {
            memcpy(&r.status, answer.raw.data() + at, 4);
            memcpy(&r.len, answer.raw.data() + at + 4, 4);
            if (r.len < 8 || at + static_cast<size_t>(r.len) > answer.raw.size())
                break;
            r.text = answer.raw.substr(at + 8, static_cast<size_t>(r.len) - 8);
            answer.records.push_back(r);
            at += static_cast<size_t>(r.len);
            if (r.status == RESP_OVER && at_resp_over)
                at_resp_over();
        }
    }
    close(fd);
    EXPECT_EQ(at, answer.raw.size()) << "partial record at the end, or no end in time";
    return answer;
}

// The report's text, checked to be SHOW_IN_PROGRESS records ended by RESP_OVER.
std::vector<std::string> show()
{
    const Answer answer = ask(SHOW);
    std::vector<std::string> texts;
    EXPECT_TRUE(answer.raw.ends_with(resp_over_bytes())) << to_hex(Bytes(answer.raw.begin(), answer.raw.end()));
    for (size_t i = 0; i + 1 < answer.records.size(); ++i) {
        EXPECT_EQ(answer.records[i].status, SHOW_IN_PROGRESS);
        texts.push_back(answer.records[i].text);
    }
    return texts;
}

std::string ctime_text(time_t t)
{
    char buf[64];
    ctime_r(&t, buf);
    buf[strcspn(buf, "\n")] = '\0';
    return buf;
}

int count_stub_calls(const std::string &name)
{
    const auto lines = stub_log();
    return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string &line) {
        return line == name || line.starts_with(name + " ");
    }));
}

using Fields = std::vector<std::int32_t>;

// ---------------------------------------------------------------------------

// vornmgrd started in the sandbox and ready (its operator socket exists once
// systemd has been told READY=1).
class Manager {
public:
    Manager()
        : process_({bin_path("vornmgrd")}, {.env = {notify_.env()}})
    {
        if (!notify_.wait_for("READY=1"))
            ADD_FAILURE() << "vornmgrd not ready:\n" << process_.stderr_text();
    }
    Process &process() { return process_; }

private:
    NotifySocket notify_;
    Process process_;
};

// A module that registers and then, on a thread of its own, answers every
// GO_DOWN broadcast the way modules must (one answer per broadcast, naming
// the module taken down and itself) and queues the broadcasts it saw.
class AnsweringModule {
public:
    explicit AnsweringModule(std::int32_t id) : id_(id)
    {
        const auto reply = module_.request_retrying(pkg(msg(MODULE_REGISTER, {id})));
        if (!reply || fields_of(*reply) != std::vector<std::int32_t>{ACK})
            ADD_FAILURE() << "module " << id << " not registered";
        if (!module_.wait_subscribed() || !broadcasts_reach_module())
            ADD_FAILURE() << "module " << id << " receives no broadcasts";
        thread_ = std::thread([this] { run(); });
    }
    ~AnsweringModule()
    {
        stop_ = true;
        thread_.join();
    }
    AnsweringModule(const AnsweringModule &) = delete;
    AnsweringModule &operator=(const AnsweringModule &) = delete;

    // The next broadcast (type and payload fields), keepalives and ISSU notices left out.
    std::optional<std::vector<std::int32_t>> next(Timeout timeout = 30s)
    {
        std::unique_lock<std::mutex> guard(mutex_);
        if (!seen_changed_.wait_for(guard, timeout, [this] { return !seen_.empty(); }))
            return std::nullopt;
        auto front = seen_.front();
        seen_.pop_front();
        return front;
    }
    int go_down_answers() const { return answers_; }

private:
    // A finished subscriber handshake does not mean the manager's publisher
    // has taken the subscription in: until it has, broadcasts are dropped. An
    // ISSU notice, which the manager only logs and relays, proves it has.
    bool broadcasts_reach_module()
    {
        const auto is_issu = [](const Bytes &b) {
            const auto fields = fields_of(b);
            return !fields.empty() && fields[0] == ISSU_INFO;
        };
        for (int attempt = 0; attempt < 20; ++attempt) {
            if (!module_.request(pkg(msg(ISSU_INFO, {id_, 1, 3}))))
                return false;
            if (module_.next_broadcast_where(is_issu, 500ms))
                return true;
        }
        return false;
    }

    void run()
    {
        while (!stop_) {
            const auto broadcast = module_.next_broadcast(100ms);
            if (!broadcast)
                continue;
            const auto fields = fields_of(*broadcast);
            // Keepalives, and any late relay of the subscription probes, are not news.
            if (fields.empty() || fields[0] == KEEP_ALIVE_REQ || fields[0] == ISSU_INFO)
                continue;
            if (fields[0] == GO_DOWN && fields.size() >= 3) {
                // Counted before the answer goes out: the manager may only
                // answer the operator after receiving it.
                ++answers_;
                module_.request(pkg(msg(GO_DOWN, {fields[1], id_, fields[2], GO_DOWN, 0})));
            }
            std::lock_guard<std::mutex> guard(mutex_);
            seen_.push_back(fields);
            seen_changed_.notify_all();
        }
    }

    const std::int32_t id_;
    FakeModule module_;
    std::atomic<bool> stop_{false};
    std::atomic<int> answers_{0};
    std::mutex mutex_;
    std::condition_variable seen_changed_;
    std::deque<std::vector<std::int32_t>> seen_;  // guarded by mutex_
    std::thread thread_;
};

class OperatorSocket : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(getenv("SANDBOX"), nullptr) << "runs only inside tools/sandbox"; }

    // A restart request against one answering module: the take-down with
    // `mode`, RESP_OVER only after the module answered, one reboot stub call.
    void expect_restart(Manager &manager, std::int32_t request, std::int32_t mode, const std::string &reboot_line)
    {
        AnsweringModule services(SYSTEM_SERVICES);
        int answers_at_resp_over = -1;
        const Answer answer = ask(request, [&] { answers_at_resp_over = services.go_down_answers(); });
        EXPECT_EQ(answer.raw, resp_over_bytes());
        EXPECT_EQ(answers_at_resp_over, 1) << "RESP_OVER came before the take-down";
        EXPECT_EQ(services.next(), (Fields{GO_DOWN, SYSTEM_SERVICES, mode, GO_DOWN}));
        EXPECT_EQ(services.next(), (Fields{DOWN, SYSTEM_SERVICES, mode, DOWN}));

        EXPECT_TRUE(wait_for_stub_call(reboot_line)) << testing::PrintToString(stub_log());
        const std::string command = reboot_line == "reboot" ? "sync; reboot" : "sync; reboot --fast";
        EXPECT_TRUE(manager.process().wait_for_stderr(" Rebooting with " + command + " option\n"));
        // The manager goes on serving; by the end of this exchange the restart
        // request is long over, and the reboot ran once.
        EXPECT_FALSE(show().empty());
        EXPECT_EQ(count_stub_calls("reboot"), 1) << testing::PrintToString(stub_log());
    }
};

TEST_F(OperatorSocket, ShowWithoutModulesIsTheModeLineAlone)
{
    Manager manager;
    write_file(PORTS_MARKER, "");  // not shown without modules
    const Answer answer = ask(SHOW);
    const std::string text = " Current System Mode: cold  \n No Actively Registered Modules\n";
    Bytes expected = ints({SHOW_IN_PROGRESS, static_cast<std::int32_t>(8 + text.size())});
    expected.insert(expected.end(), text.begin(), text.end());
    const Bytes over = ints({RESP_OVER, 8});
    expected.insert(expected.end(), over.begin(), over.end());
    EXPECT_EQ(to_hex(Bytes(answer.raw.begin(), answer.raw.end())), to_hex(expected)) << answer.raw;
}

TEST_F(OperatorSocket, ShowListsEachRegisteredModuleWithItsRestarts)
{
    Manager manager;
    FakeModule frr, bgp, services;
    const Fields ack{ACK};
    ASSERT_EQ(fields_of(*frr.request_retrying(pkg(msg(MODULE_REGISTER, {FRR})))), ack);
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(fields_of(*bgp.request(pkg(msg(MODULE_REGISTER, {BGP})))), ack);
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(fields_of(*services.request(pkg(msg(MODULE_REGISTER, {SYSTEM_SERVICES})))), ack);
    ASSERT_TRUE(services.request(pkg(msg(LOAD_COMPLETE, {SYSTEM_SERVICES, 0, 0, 0}))));

    auto lines = show();
    ASSERT_EQ(lines.size(), 4u) << testing::PrintToString(lines);
    EXPECT_EQ(lines[0], " Current System Mode: cold  \n");
    const std::string up_time = ", up time: 00:00:[0-5][0-9]";
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(" frr             : Unknown, module register" + up_time + "\n")))
        << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(" bgp             : Unknown, module register" + up_time +
                                                      " \\(2 restarts\\)\n")))
        << lines[2];
    EXPECT_TRUE(std::regex_match(lines[3], std::regex(" System Services : cold, load complete" + up_time +
                                                      " \\(1 restart\\)\n")))
        << lines[3];

    // Unregistered: still listed, without an up time.
    ASSERT_EQ(fields_of(*bgp.request(pkg(msg(MODULE_UNREGISTER, {BGP})))), ack);
    EXPECT_EQ(ask(UPGRADE_MODE).raw, resp_over_bytes());
    write_file(PORTS_MARKER, "");
    lines = show();
    ASSERT_EQ(lines.size(), 4u) << testing::PrintToString(lines);
    EXPECT_EQ(lines[0], " Current System Mode: cold (pending upgrade)\n Ports shutdown for Maintenance\n");
    EXPECT_EQ(lines[2], " bgp             : Unknown, module unregister (2 restarts)\n");
}

TEST_F(OperatorSocket, MaintenanceWindowIsEnteredAndLeftOnce)
{
    Manager manager;
    AnsweringModule services(SYSTEM_SERVICES);

    const time_t before = time(nullptr);
    int answers_at_resp_over = -1;
    EXPECT_EQ(ask(MAINT_ENABLE, [&] { answers_at_resp_over = services.go_down_answers(); }).raw,
              resp_over_bytes());
    const time_t after = time(nullptr);
    EXPECT_EQ(answers_at_resp_over, 1) << "RESP_OVER came before the take-down";
    EXPECT_EQ(services.next(), (Fields{GO_DOWN, SYSTEM_SERVICES, 0x101, GO_DOWN}));
    EXPECT_EQ(services.next(), (Fields{DOWN, SYSTEM_SERVICES, 0x101, DOWN}));

    auto lines = show();
    ASSERT_EQ(lines.size(), 2u) << testing::PrintToString(lines);
    std::smatch since;
    const std::regex maintenance_lines(" Current System Mode: Maintenance, cold  \n"
                                       " Maintenance mode since (.*) \\(Duration: 00:00:[0-5][0-9]\\)\n");
    ASSERT_TRUE(std::regex_match(lines[0], since, maintenance_lines)) << lines[0];
    EXPECT_TRUE(since[1] == ctime_text(before) || since[1] == ctime_text(after)) << since[1];
    EXPECT_TRUE(std::regex_match(
        lines[1], std::regex(" System Services : Maintenance, cold, down, up time: 00:00:[0-5][0-9]\n")))
        << lines[1];
    const std::string first_since = since[1];

    // Already in maintenance: nothing is taken down again, the start time stays.
    EXPECT_EQ(ask(MAINT_ENABLE).raw, resp_over_bytes());
    lines = show();
    ASSERT_TRUE(std::regex_match(lines[0], since, maintenance_lines)) << lines[0];
    EXPECT_EQ(since[1], first_since);

    EXPECT_EQ(ask(MAINT_DISABLE).raw, resp_over_bytes());
    EXPECT_EQ(services.next(), (Fields{COME_UP, ALL_MODULES, 0x1, COME_UP}));  // not a second GO_DOWN
    EXPECT_EQ(services.next(), (Fields{NETWORK_LAYER_INFO}));
    lines = show();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], " Current System Mode: cold  \n");

    // Not in maintenance: nothing is brought up; the next broadcast is the
    // restart's take-down.
    EXPECT_EQ(ask(MAINT_DISABLE).raw, resp_over_bytes());
    EXPECT_EQ(ask(COLDBOOT).raw, resp_over_bytes());
    EXPECT_EQ(services.next(), (Fields{GO_DOWN, SYSTEM_SERVICES, 0x1, GO_DOWN}));
}

TEST_F(OperatorSocket, WarmRestartOfAColdSystemRebootsWithoutFast)
{
    Manager manager;
    expect_restart(manager, WARMBOOT, 0x4, "reboot");
}

TEST_F(OperatorSocket, FastRestartRebootsFast)
{
    Manager manager;
    expect_restart(manager, FASTBOOT, 0x2, "reboot --fast");
}

TEST_F(OperatorSocket, ColdRestartAfterAnUpgradeCarriesTheUpgradeFlag)
{
    Manager manager;
    EXPECT_EQ(ask(UPGRADE_MODE).raw, resp_over_bytes());
    expect_restart(manager, COLDBOOT, 0x201, "reboot");
}

TEST_F(OperatorSocket, UnrecognisedCodesGetABareAnswerAndALogLine)
{
    Manager manager;
    const std::pair<std::int32_t, const char *> codes[] = {
        {0, "0x0"}, {6, "0x6"}, {7, "0x7"}, {9, "0x9"}, {13, "0xd"}, {-1, "0xffffffff"}};
    for (const auto &[code, hex] : codes) {
        EXPECT_EQ(ask(code).raw, resp_over_bytes()) << "code " << code;
        EXPECT_TRUE(manager.process().wait_for_stderr(std::string(" ERR Unknown command ") + hex + "\n"))
            << manager.process().stderr_text();
    }
    EXPECT_EQ(stub_log(), std::vector<std::string>{});
}

// The child's exit status tells the parent what it saw.
enum PeerOutcome { PEER_BARE_ANSWER = 0, PEER_CONNECT_REFUSED = 2, PEER_OTHER = 3 };

// Runs in a forked child of a threaded program: system calls only.
[[noreturn]] void request_as_nobody(std::int32_t cmd)
{
    if (syscall(SYS_setresgid, 65534, 65534, 65534) != 0 || syscall(SYS_setresuid, 65534, 65534, 65534) != 0)
        _exit(PEER_OTHER);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, SOCKET_PATH, sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        _exit(errno == EACCES ? PEER_CONNECT_REFUSED : PEER_OTHER);
    if (write(fd, &cmd, sizeof cmd) != 4)
        _exit(PEER_OTHER);
    char buf[64];
    size_t got = 0;
    ssize_t n;
    while ((n = read(fd, buf + got, sizeof buf - got)) > 0)
        got += static_cast<size_t>(n);
    const std::int32_t over[2] = {RESP_OVER, 8};
    _exit(got == 8 && memcmp(buf, over, 8) == 0 ? PEER_BARE_ANSWER : PEER_OTHER);
}

std::pair<pid_t, int> run_as_nobody(std::int32_t cmd)
{
    const pid_t pid = fork();
    if (pid == 0)
        request_as_nobody(cmd);
    int status = 0;
    waitpid(pid, &status, 0);
    return {pid, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST_F(OperatorSocket, OnlyRootIsServed)
{
    Manager manager;
    struct stat st{};
    ASSERT_EQ(stat(SOCKET_PATH, &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(run_as_nobody(MAINT_ENABLE).second, PEER_CONNECT_REFUSED);

    // Even through a socket opened up by hand, the request is refused.
    ASSERT_EQ(chmod(SOCKET_PATH, 0666), 0);
    const auto [pid, outcome] = run_as_nobody(MAINT_ENABLE);
    EXPECT_EQ(outcome, PEER_BARE_ANSWER);
    EXPECT_TRUE(manager.process().wait_for_stderr(" WARN refused cli request from uid 65534 pid " +
                                                  std::to_string(pid) + ": not root\n"))
        << manager.process().stderr_text();
    const auto lines = show();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], " Current System Mode: cold  \n No Actively Registered Modules\n");
}

TEST_F(OperatorSocket, StoppingTheManagerRemovesTheSocket)
{
    Manager manager;
    ASSERT_TRUE(file_exists(SOCKET_PATH));
    manager.process().kill(SIGTERM);
    EXPECT_EQ(manager.process().wait_exit(), exited_with(0)) << manager.process().stderr_text();
    EXPECT_FALSE(file_exists(SOCKET_PATH));
}

} // namespace
