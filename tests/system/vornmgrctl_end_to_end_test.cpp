// SPDX-License-Identifier: Apache-2.0
// vornmgrctl against the real vornmgrd in the sandbox, with one module that
// answers the manager the way modules must: what an operator sees and what
// the module is told.

#include "vorn_test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace vorn_test;

namespace {

const std::string CONFIG_FILE = "/etc/norvane/vornmgrd.conf";

constexpr std::int32_t ALL_MODULES = 1, SYSTEM_SERVICES = 9;
constexpr std::int32_t LOAD_COMPLETE = 3, MODULE_REGISTER = 7, GO_DOWN = 100, DOWN = 101, COME_UP = 102,
                       ACK = 107, ISSU_INFO = 200;
constexpr std::int32_t REBOOT_FAST = 0x2, REBOOT_WARM = 0x4, MAINTENANCE = 0x100;

// A take-down waits for the module's answer; leave room for a slow machine.
constexpr Timeout ANSWER_TIMEOUT = 30s;

using Fields = std::vector<std::int32_t>;

// The manager, started in the sandbox and ready.
class Manager {
public:
    Manager() : process_({bin_path("vornmgrd")}, {.env = {notify_.env()}})
    {
        if (!notify_.wait_for("READY=1"))
            ADD_FAILURE() << "vornmgrd not ready:\n" << process_.stderr_text();
    }
    Process &process() { return process_; }

private:
    NotifySocket notify_;
    Process process_;
};

// The system-services module: registered and loaded, answering every GO_DOWN
// broadcast on a thread of its own and keeping the broadcasts it saw (apart
// from keepalives).
class AnsweringModule {
public:
    AnsweringModule()
    {
        const auto registered = module_.request_retrying(pkg(msg(MODULE_REGISTER, {SYSTEM_SERVICES})));
        if (!registered || fields_of(*registered) != Fields{ACK})
            ADD_FAILURE() << "module not registered";
        if (!module_.request(pkg(msg(LOAD_COMPLETE, {SYSTEM_SERVICES, 0, 0, 0}))))
            ADD_FAILURE() << "load complete not answered";
        if (!subscription_in_effect())
            ADD_FAILURE() << "module not subscribed";
        thread_ = std::thread([this] { run(); });
    }
    ~AnsweringModule()
    {
        stop_ = true;
        thread_.join();
    }
    AnsweringModule(const AnsweringModule &) = delete;
    AnsweringModule &operator=(const AnsweringModule &) = delete;

    // The next broadcast with this message type, as type and payload fields.
    std::optional<Fields> next_of_type(std::int32_t type, Timeout timeout = ANSWER_TIMEOUT)
    {
        std::unique_lock lock(mutex_);
        std::optional<Fields> found;
        seen_changed_.wait_for(lock, timeout, [&] {
            while (!seen_.empty()) {
                Fields front = seen_.front();
                seen_.pop_front();
                if (front[0] == type) {
                    found = front;
                    return true;
                }
            }
            return false;
        });
        return found;
    }

private:
    // The subscription reaches the manager a moment after the connection:
    // a relayed notice coming back shows that broadcasts reach the module,
    // so that a loaded machine cannot make it miss the first GO_DOWN.
    bool subscription_in_effect()
    {
        if (!module_.wait_subscribed())
            return false;
        const Bytes notice = pkg(msg(ISSU_INFO, {0, 0, 0}));
        for (int attempt = 0; attempt < 100; attempt++) {
            if (module_.request(notice) != ints({12, ACK, 8}))
                return false;
            if (module_.next_broadcast_where([&](const Bytes &b) { return b == notice; }, 100ms))
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
            const Fields fields = fields_of(*broadcast);
            if (fields.empty())
                continue;
            if (fields[0] == GO_DOWN && fields.size() >= 3)
                module_.request(pkg(msg(GO_DOWN, {fields[1], SYSTEM_SERVICES, fields[2], GO_DOWN, 0})));
            std::lock_guard lock(mutex_);
            seen_.push_back(fields);
            seen_changed_.notify_all();
        }
    }

    FakeModule module_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_; // guards seen_
    std::condition_variable seen_changed_;
    std::deque<Fields> seen_;
    std::thread thread_;
};

struct CtlRun {
    ExitStatus status;
    std::string out;
    std::string err;
};

CtlRun run_ctl(const std::string &option, std::optional<std::string> input = std::nullopt)
{
    ProcessOptions options;
    options.stdin_text = std::move(input);
    Process process({bin_path("vornmgrctl"), option}, options);
    auto status = process.wait_exit(60s);
    return {status.value_or(ExitStatus{}), process.stdout_text(), process.stderr_text()};
}

class EndToEnd : public ::testing::Test {
protected:
    // The system runs fast and lets the operator choose; the manager's copy
    // of this file is what the tool reads as the running mode.
    void SetUp() override
    {
        ASSERT_NE(getenv("SANDBOX"), nullptr) << "runs only inside tools/sandbox";
        mkdir("/etc/norvane", 0755);
        write_file(CONFIG_FILE, "vornmgrctl_override=true\nboot_mode=fast\n");
    }
};

const std::string UP_TIME = ", up time: 00:00:[0-5][0-9]";

} // namespace

TEST_F(EndToEnd, ShowPrintsTheManagersReport)
{
    Manager manager;
    AnsweringModule services;
    const CtlRun run = run_ctl("-s");
    EXPECT_EQ(run.status, exited_with(0));
    EXPECT_EQ(run.err, "") << "both files are valid once the manager ran";
    EXPECT_TRUE(std::regex_match(
        run.out, std::regex(" Current System Mode: fast  \n System Services : fast, load complete" + UP_TIME + "\n")))
        << run.out;
}

TEST_F(EndToEnd, MaintenanceWindow)
{
    Manager manager;
    AnsweringModule services;

    const CtlRun enable = run_ctl("-m1");
    EXPECT_EQ(enable.status, exited_with(0));
    EXPECT_EQ(enable.out, "");
    EXPECT_EQ(services.next_of_type(GO_DOWN), (Fields{GO_DOWN, SYSTEM_SERVICES, MAINTENANCE | REBOOT_FAST, GO_DOWN}));
    EXPECT_EQ(services.next_of_type(DOWN), (Fields{DOWN, SYSTEM_SERVICES, MAINTENANCE | REBOOT_FAST, DOWN}));

    const CtlRun show = run_ctl("-s");
    EXPECT_EQ(show.status, exited_with(0));
    EXPECT_TRUE(std::regex_search(show.out, std::regex("^ Current System Mode: Maintenance, fast  \n"
                                                       " Maintenance mode since .*\n")))
        << show.out;

    const CtlRun disable = run_ctl("-m0");
    EXPECT_EQ(disable.status, exited_with(0));
    EXPECT_EQ(services.next_of_type(COME_UP), (Fields{COME_UP, ALL_MODULES, REBOOT_FAST, COME_UP}));
    EXPECT_TRUE(std::regex_search(run_ctl("-s").out, std::regex("^ Current System Mode: fast  \n"))) << "left";
    EXPECT_EQ(stub_log(), std::vector<std::string>{});
}

TEST_F(EndToEnd, WarmRestartFromFast)
{
    Manager manager;
    AnsweringModule services;

    const CtlRun run = run_ctl("-w", "y\n");
    EXPECT_EQ(run.status, exited_with(0)) << run.err;
    EXPECT_EQ(run.out, " System will restart\n Transition to warm boot will halve capacity (current mode is fast)\n"
                       " System will start from a cold reset. Subsequent warm boots will be hitless\n"
                       " Do you wish to continue? [Y/n]: "
                       " Updating system boot mode to warm\n");
    EXPECT_EQ(read_file(CONFIG_FILE),
              "# vornmgrctl managed configuration\nvornmgrctl_override=true\nboot_mode=warm\n");
    EXPECT_EQ(services.next_of_type(GO_DOWN), (Fields{GO_DOWN, SYSTEM_SERVICES, REBOOT_WARM, GO_DOWN}));
    // Coming from fast, the warm restart reboots without --fast.
    EXPECT_TRUE(wait_for_stub_call("reboot")) << testing::PrintToString(stub_log());
    const auto calls = stub_log();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front(), "pelmar.py") << "prepared before the request";
}

TEST_F(EndToEnd, UpgradeMarksTheNextRestart)
{
    Manager manager;
    configure_stub("apt-get", StubBehaviour{.script = "[[ \" $* \" == *' upgrade '* ]] && "
                                                      "echo 'Upgrade: libfoo (1.0, 1.1)' >>/var/log/apt/history.log\n"
                                                      "exit 0\n"});
    const CtlRun upgrade = run_ctl("-u");
    EXPECT_EQ(upgrade.status, exited_with(0)) << upgrade.err;
    EXPECT_TRUE(std::regex_search(run_ctl("-s").out, std::regex("^ Current System Mode: fast \\(pending upgrade\\)\n")));
}
