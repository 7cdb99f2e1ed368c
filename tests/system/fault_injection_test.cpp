// SPDX-License-Identifier: Apache-2.0
// Faults in the middle of the manager's work, in the sandbox with the real
// programs: the manager killed during a take-down and started again, a module
// killed during a take-down, the manager restarted under idle modules, the
// operator tool killed while it waits for the answer, and a configuration
// directory that cannot be written. After each, the system must end in a
// known state and go on serving: a crash must never leave the switch half
// down without anyone able to finish the job.

#include "vorn_mgr_intf.h"
#include "vorn_test_support.h"

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace vorn_test;

namespace {

const std::string CONFIG_FILE = "/etc/norvane/vornmgrd.conf";
const std::string WARM_CONFIG = "vornmgrctl_override=true\nboot_mode=warm\n";

// A take-down waits up to 55 s for modules that do not answer.
constexpr Timeout SEQUENCE_TIMEOUT = 90s;
// The discovery wait after a restart of the manager lasts up to 25 s.
constexpr Timeout DISCOVERY_TIMEOUT = 60s;

using Fields = std::vector<std::int32_t>;

void write_config(const std::string &text)
{
    mkdir("/etc/norvane", 0755);
    write_file(CONFIG_FILE, text);
}

// vornmgrd, started and ready. Its log is its standard error.
std::unique_ptr<Process> start_manager()
{
    NotifySocket notify;
    auto manager = std::make_unique<Process>(std::vector<std::string>{bin_path("vornmgrd")},
                                             ProcessOptions{.env = {notify.env()}});
    EXPECT_TRUE(notify.wait_for("READY=1")) << manager->stderr_text();
    return manager;
}

// brel-system-services, registered and up.
std::unique_ptr<Process> start_system_services()
{
    auto daemon = std::make_unique<Process>(std::vector<std::string>{bin_path("brel-system-services")});
    EXPECT_TRUE(daemon->wait_for_stderr(std::regex("UP: System Services state \\w+\n"), 30s)) << daemon->stderr_text();
    return daemon;
}

struct CtlRun {
    ExitStatus status;
    std::string out;
    std::string err;
};

CtlRun run_ctl(const std::string &option)
{
    Process process({bin_path("vornmgrctl"), option});
    const auto status = process.wait_exit(SEQUENCE_TIMEOUT);
    return {status.value_or(ExitStatus{}), process.stdout_text(), process.stderr_text()};
}

// A module played by the test: registered, loaded and up, answering every
// GO_DOWN broadcast and every discovery probe from a thread of its own, and
// keeping what it was told. It can be made to hold back its answer to the
// GO_DOWN that names itself, so that a take-down stops at its position.
class ScriptedModule {
public:
    explicit ScriptedModule(std::int32_t id) : id_(id)
    {
        const auto registered = module_.request_retrying(pkg(vorn_test::msg(MODULE_REGISTER, {id_})), 30s);
        EXPECT_EQ(registered, pkg(vorn_test::msg(ACK))) << "module " << id_ << " not registered";
        EXPECT_TRUE(module_.request(pkg(vorn_test::msg(LOAD_COMPLETE, {id_, 0, LOAD_COMPLETE, 0}))));
        EXPECT_TRUE(module_.wait_subscribed());
        // The manager broadcasts the UP of every init completion: once the
        // module hears its own, broadcasts reach it.
        bool heard = false;
        for (int attempt = 0; attempt < 50 && !heard; attempt++) {
            module_.request(pkg(vorn_test::msg(INIT_COMPLETE, {id_, 0, INIT_COMPLETE, 0})));
            heard = module_.next_broadcast_where(
                            [&](const Bytes &b) {
                                const Fields f = fields_of(b);
                                return f.size() >= 2 && f[0] == UP && f[1] == id_;
                            },
                            200ms)
                        .has_value();
        }
        EXPECT_TRUE(heard) << "module " << id_ << " never heard the manager";
        thread_ = std::thread([this] { run(); });
    }
    ~ScriptedModule()
    {
        {
            std::lock_guard guard(mutex_);
            stop_ = true;
            hold_ = false;
        }
        changed_.notify_all();
        thread_.join();
    }
    ScriptedModule(const ScriptedModule &) = delete;
    ScriptedModule &operator=(const ScriptedModule &) = delete;

    // From now on the answer to the GO_DOWN naming this module waits for release().
    void hold_own_answer()
    {
        std::lock_guard guard(mutex_);
        hold_ = true;
    }
    // Lets a held answer go (or drops it, for a manager that no longer exists).
    void release(bool send_answer)
    {
        {
            std::lock_guard guard(mutex_);
            hold_ = false;
            drop_held_answer_ = !send_answer;
        }
        changed_.notify_all();
    }
    // Waits until the module has been sent a broadcast {type, mod, mode, ...}.
    bool wait_for(std::int32_t type, std::int32_t mod, std::int32_t mode, Timeout timeout = SEQUENCE_TIMEOUT)
    {
        std::unique_lock guard(mutex_);
        return changed_.wait_for(guard, timeout, [&] {
            for (const Fields &f : seen_)
                if (f.size() >= 3 && f[0] == type && f[1] == mod && f[2] == mode)
                    return true;
            return false;
        });
    }
    // Waits until the module has been sent a broadcast of this type.
    bool wait_for_type(std::int32_t type, Timeout timeout = SEQUENCE_TIMEOUT)
    {
        std::unique_lock guard(mutex_);
        return changed_.wait_for(guard, timeout, [&] {
            return std::any_of(seen_.begin(), seen_.end(), [&](const Fields &f) { return f[0] == type; });
        });
    }
    int status_answers()
    {
        std::lock_guard guard(mutex_);
        return status_answers_;
    }

private:
    void run()
    {
        for (;;) {
            {
                std::lock_guard guard(mutex_);
                if (stop_)
                    return;
            }
            const auto broadcast = module_.next_broadcast(100ms);
            if (!broadcast)
                continue;
            const Fields f = fields_of(*broadcast);
            if (f.empty())
                continue;
            {
                std::lock_guard guard(mutex_);
                seen_.push_back(f);
            }
            changed_.notify_all();
            if (f[0] == GO_DOWN && f.size() >= 4)
                answer_go_down(f[1], f[2]);
            else if (f[0] == MODULE_STATUS_REQ && module_.request(pkg(vorn_test::msg(MODULE_STATUS_RESP, {id_, REBOOT_WARM, UP, 0})))) {
                std::lock_guard guard(mutex_);
                status_answers_++;
            }
        }
    }
    void answer_go_down(std::int32_t named, std::int32_t mode)
    {
        if (named == id_) {
            std::unique_lock guard(mutex_);
            changed_.wait(guard, [&] { return !hold_ || stop_; });
            const bool drop = drop_held_answer_;
            drop_held_answer_ = false;
            if (stop_ || drop)
                return;
        }
        module_.request(pkg(vorn_test::msg(GO_DOWN, {named, id_, mode, GO_DOWN, NO_ERROR})));
    }

    const std::int32_t id_;
    FakeModule module_;  // used by the constructor, then by the thread alone
    std::mutex mutex_;   // guards everything below
    std::condition_variable changed_;
    bool stop_ = false;
    bool hold_ = false;
    bool drop_held_answer_ = false;
    std::vector<Fields> seen_;
    int status_answers_ = 0;
    std::thread thread_;
};

// A process's stderr is read beside the test, so a line written just before
// the event the test saw may still be on its way: wait a moment for it.
bool has_line(Process &process, const std::string &text)
{
    return process.wait_for_stderr(text, std::chrono::seconds(5));
}

// For lines that must not be there: no wait, what was read so far is all
// the test can judge.
bool lacks_line(const Process &process, const std::string &text)
{
    return process.stderr_text().find(text) == std::string::npos;
}

int count_of(const std::vector<std::string> &lines, const std::string &line)
{
    return static_cast<int>(std::count(lines.begin(), lines.end(), line));
}

class Fault : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(getenv("SANDBOX"), nullptr) << "runs only inside tools/sandbox"; }
};

} // namespace

TEST_F(Fault, ManagerKilledDuringATakeDownIsRestartedAndFinishesTheNextRestart)
{
    write_config(WARM_CONFIG);
    auto manager = start_manager();
    auto services = start_system_services();
    ScriptedModule sdk(SDK);

    // The restart stops at the last position, sdk's, until the manager dies.
    sdk.hold_own_answer();
    Process ctl({bin_path("vornmgrctl"), "-wf"});
    ASSERT_TRUE(sdk.wait_for(GO_DOWN, SDK, REBOOT_WARM)) << manager->stderr_text();
    ASSERT_TRUE(sdk.wait_for(DOWN, SYSTEM_SERVICES, REBOOT_WARM)) << "System Services went down first";
    // The manager's broadcast reaches each subscriber on its own connection:
    // System Services must have taken its own DOWN before the manager dies,
    // or it rightly still reports itself up.
    ASSERT_TRUE(services->wait_for_stderr(" DOWN: System Services ", 5s)) << services->stderr_text();
    manager->kill(SIGKILL);
    EXPECT_EQ(manager->wait_exit(), killed_by(SIGKILL));
    sdk.release(false);
    // The operator learns that the restart did not happen.
    EXPECT_EQ(ctl.wait_exit(), exited_with(255));
    EXPECT_NE(ctl.stderr_text().find("server socket closed"), std::string::npos) << ctl.stderr_text();
    EXPECT_EQ(count_of(stub_log(), "reboot --fast"), 0);

    // Started again, it knows from the startup file that this boot is not new,
    // keeps the boot's mode and finds the modules by their status answers.
    auto restarted = start_manager();
    EXPECT_TRUE(restarted->wait_for_stderr(" 2 registered modules)\n", DISCOVERY_TIMEOUT)) << restarted->stderr_text();
    EXPECT_TRUE(has_line(*restarted, " VornMgr restart, using startup config\n")) << restarted->stderr_text();
    EXPECT_TRUE(has_line(*restarted, " Vorn manager starting in warm mode\n")) << restarted->stderr_text();
    EXPECT_TRUE(has_line(*restarted, " module status response from System Services Mode warm State down\n"))
        << restarted->stderr_text();
    EXPECT_GE(sdk.status_answers(), 1);
    EXPECT_EQ(read_file("/tmp/.vornmgrd.startup.conf"), WARM_CONFIG) << "the boot's copy is kept";
    // The interrupted restart is undone: every module is told to come up in
    // the boot's mode, and System Services runs its handshake again.
    EXPECT_TRUE(restarted->wait_for_stderr(std::regex(" WARN restart to warm mode started at [0-9]+ was interrupted "
                                                      "\\(running\\): bringing every module back up in warm mode\n"),
                                           DISCOVERY_TIMEOUT))
        << restarted->stderr_text();
    EXPECT_TRUE(sdk.wait_for(COME_UP, ALL_MODULES, REBOOT_WARM));
    EXPECT_TRUE(wait_until([] { return run_ctl("-s").out.find(" System Services : warm, up") != std::string::npos; }))
        << run_ctl("-s").out;

    // The operator's next restart goes through to the reboot.
    const CtlRun again = run_ctl("-wf");
    EXPECT_EQ(again.status, exited_with(0)) << again.err;
    EXPECT_TRUE(wait_for_stub_call("reboot --fast")) << testing::PrintToString(stub_log());
    EXPECT_TRUE(has_line(*restarted, " Send down for module sdk\n")) << restarted->stderr_text();
    EXPECT_TRUE(lacks_line(*restarted, "cond timeout")) << restarted->stderr_text();
    EXPECT_TRUE(services->running()) << "the module was never restarted";
}

TEST_F(Fault, ModuleKilledDuringATakeDownTimesOutAndTheSequenceGoesOn)
{
    write_config(WARM_CONFIG);
    auto manager = start_manager();
    auto services = start_system_services();
    ScriptedModule sdk(SDK);

    // Stopped, it cannot answer; killed once its take-down has begun.
    services->kill(SIGSTOP);
    Process ctl({bin_path("vornmgrctl"), "-m1"});
    const std::int32_t maintenance = MAINTENANCE | REBOOT_WARM;
    ASSERT_TRUE(sdk.wait_for(GO_DOWN, SYSTEM_SERVICES, maintenance)) << manager->stderr_text();
    services->kill(SIGKILL);
    EXPECT_EQ(services->wait_exit(), killed_by(SIGKILL));

    // Its position runs out, and so does every later one, which waits for its
    // answer too; the maintenance request is still answered.
    EXPECT_EQ(ctl.wait_exit(SEQUENCE_TIMEOUT), exited_with(0)) << manager->stderr_text();
    EXPECT_TRUE(sdk.wait_for(DOWN, SYSTEM_SERVICES, maintenance));
    EXPECT_TRUE(sdk.wait_for(GO_DOWN, SDK, maintenance));
    EXPECT_TRUE(sdk.wait_for(DOWN, SDK, maintenance));
    EXPECT_TRUE(has_line(*manager, " ERR System Services: cond timeout error (110) Expected 2 responses, received 1 "
                                   "(Connection timed out)\n"))
        << manager->stderr_text();
    EXPECT_TRUE(has_line(*manager, " ERR sdk: cond timeout error (110) Expected 2 responses, received 1 "
                                   "(Connection timed out)\n"))
        << manager->stderr_text();

    const CtlRun show = run_ctl("-s");
    EXPECT_TRUE(std::regex_search(show.out, std::regex("^ Current System Mode: Maintenance, warm  \n"
                                                       " Maintenance mode since .*\n")))
        << show.out;
    EXPECT_NE(show.out.find(" sdk             : Maintenance, warm, down"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find(" System Services : Maintenance, warm, down, up time"), std::string::npos) << show.out;

    // Started again, the module registers anew and the report counts it.
    services = start_system_services();
    const CtlRun after = run_ctl("-s");
    EXPECT_TRUE(std::regex_search(
        after.out, std::regex(" System Services : Maintenance, warm, down, up time: 00:00:[0-5][0-9] \\(1 restart\\)\n")))
        << after.out;
    EXPECT_TRUE(manager->running());
}

namespace {

// A module of the test program itself, through libvornmgr: it answers the
// manager's discovery probe with its status, as every module must.
struct LibraryModule {
    std::mutex lock;
    std::condition_variable changed;
    int probes_answered = 0;  // guarded by lock
    int last_answer_size = 0; // guarded by lock
};
// The library's delivery thread may outlive the test: never destroyed.
LibraryModule &library_module = *new LibraryModule;

int answer_probes(int len, void *buf)
{
    const Bytes package(static_cast<const uint8_t *>(buf), static_cast<const uint8_t *>(buf) + len);
    if (fields_of(package) != Fields{MODULE_STATUS_REQ})
        return 1;
    Bytes status = pkg(vorn_test::msg(MODULE_STATUS_RESP, {STP, REBOOT_WARM, UP, NO_ERROR}));
    std::uint8_t reply[VORNMGR_MAX_PKG_LEN];
    const int size = vornmgr_send(STP, static_cast<int>(status.size()), status.data(), sizeof reply, reply);
    {
        std::lock_guard guard(library_module.lock);
        library_module.probes_answered++;
        library_module.last_answer_size = size;
    }
    library_module.changed.notify_all();
    return 1;
}

// A keepalive answer from STP through the library; the reply, or nullopt.
std::optional<Bytes> keepalive_exchange(std::int32_t seq)
{
    Bytes request = pkg(vorn_test::msg(KEEP_ALIVE_RESP, {seq, STP, REBOOT_WARM, UP, NO_ERROR}));
    std::uint8_t reply[VORNMGR_MAX_PKG_LEN];
    const int size = vornmgr_send(STP, static_cast<int>(request.size()), request.data(), sizeof reply, reply);
    if (size < 0)
        return std::nullopt;
    return Bytes(reply, reply + size);
}

} // namespace

TEST_F(Fault, ManagerRestartedUnderIdleModulesIsReachedByTheirNextRequests)
{
    write_config(WARM_CONFIG);
    auto manager = start_manager();
    auto services = start_system_services();
    const pid_t services_pid = services->pid();
    Module stp = STP;
    ASSERT_EQ(vornmgr_register_cb(stp, 1, &stp, answer_probes), 1) << strerror(errno);
    EXPECT_EQ(keepalive_exchange(1), pkg(vorn_test::msg(ACK)));

    manager->kill(SIGKILL);
    EXPECT_EQ(manager->wait_exit(), killed_by(SIGKILL));
    auto restarted = start_manager();

    // The library client's very next request is answered by the new manager.
    EXPECT_EQ(keepalive_exchange(2), pkg(vorn_test::msg(ACK)));
    // Both modules answer the discovery probe, each with its first request to
    // the new manager, and are found.
    EXPECT_TRUE(restarted->wait_for_stderr(" 2 registered modules)\n", DISCOVERY_TIMEOUT)) << restarted->stderr_text();
    EXPECT_TRUE(has_line(*restarted, " module status response from System Services Mode warm State up\n"))
        << restarted->stderr_text();
    EXPECT_TRUE(has_line(*restarted, " module status response from stp Mode warm State up\n")) << restarted->stderr_text();
    {
        std::lock_guard guard(library_module.lock);
        EXPECT_GE(library_module.probes_answered, 1);
        EXPECT_EQ(library_module.last_answer_size, 12) << "the probe's answer was acknowledged";
    }
    const CtlRun show = run_ctl("-s");
    EXPECT_NE(show.out.find(" stp             : warm, up"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find(" System Services : warm, up"), std::string::npos) << show.out;
    EXPECT_TRUE(services->running());
    EXPECT_EQ(services->pid(), services_pid);
    EXPECT_TRUE(lacks_line(*services, " ERR ")) << services->stderr_text();
    EXPECT_EQ(vornmgr_unregister(STP), 0);
}

TEST_F(Fault, OperatorToolKilledWhileWaitingDoesNotStopTheRestart)
{
    write_config(WARM_CONFIG);
    auto manager = start_manager();
    auto services = start_system_services();
    ScriptedModule sdk(SDK);

    sdk.hold_own_answer();
    Process ctl({bin_path("vornmgrctl"), "-wf"});
    ASSERT_TRUE(sdk.wait_for(GO_DOWN, SDK, REBOOT_WARM)) << manager->stderr_text();
    ctl.kill(SIGKILL);
    EXPECT_EQ(ctl.wait_exit(), killed_by(SIGKILL));
    sdk.release(true);

    // The take-down ends, the answer finds nobody, and the machine restarts:
    // stopping half way would leave every module down.
    EXPECT_TRUE(sdk.wait_for(DOWN, SDK, REBOOT_WARM));
    EXPECT_TRUE(wait_for_stub_call("reboot --fast", 30s)) << manager->stderr_text();
    EXPECT_TRUE(has_line(*manager, " ERR error in send Broken pipe\n")) << manager->stderr_text();
    EXPECT_TRUE(has_line(*manager, " Rebooting with sync; reboot --fast option\n")) << manager->stderr_text();

    // And it keeps serving.
    const CtlRun show = run_ctl("-s");
    EXPECT_EQ(show.status, exited_with(0)) << show.err;
    EXPECT_NE(show.out.find(" sdk             : warm, down"), std::string::npos) << show.out;
    EXPECT_TRUE(manager->running());
}

TEST_F(Fault, ReadOnlyConfigurationDirectoryKeepsTheOldFileAndTheSystemUntouched)
{
    // A full directory is covered by vornmgrctl's own tests; here the
    // directory refuses every write, with the manager and a module running.
    const std::string old = "vornmgrctl_override=true\nboot_mode=cold\nl3_up_max_time=60\n";
    write_config(old);
    auto manager = start_manager();
    auto services = start_system_services();
    ASSERT_EQ(mount("/etc/norvane", "/etc/norvane", nullptr, MS_BIND, nullptr), 0) << strerror(errno);
    ASSERT_EQ(mount(nullptr, "/etc/norvane", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0)
        << strerror(errno);

    const CtlRun run = run_ctl("-wf");
    EXPECT_EQ(run.status, exited_with(255));
    EXPECT_EQ(run.out, " Updating system boot mode to warm\n");
    const std::string message = " failed to save configuration file: Read-only file system\n";
    EXPECT_EQ(run.err, message + message);
    EXPECT_EQ(read_file(CONFIG_FILE), old);
    std::vector<std::string> entries;
    for (const auto &entry : std::filesystem::directory_iterator("/etc/norvane"))
        entries.push_back(entry.path().filename());
    EXPECT_EQ(entries, std::vector<std::string>{"vornmgrd.conf"});

    // Nothing was prepared and the manager was never asked.
    EXPECT_EQ(stub_log(), std::vector<std::string>{});
    const CtlRun show = run_ctl("-s");
    EXPECT_NE(show.out.find(" Current System Mode: cold"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find(" System Services : cold, up"), std::string::npos) << show.out;
    EXPECT_TRUE(lacks_line(*manager, "Send going down")) << manager->stderr_text();
    EXPECT_TRUE(lacks_line(*services, "GO_DOWN")) << services->stderr_text();
}

// The tool connects, then runs the preparation scripts, then sends its
// request: scripts that save state for longer than a few seconds must not
// lose the restart.
TEST_F(Fault, SlowPreparationScriptsStillRestart)
{
    write_config(WARM_CONFIG);
    auto manager = start_manager();
    ScriptedModule sdk(SDK);
    configure_stub("pelmar.py", {.delay_seconds = 4});
    configure_stub("dranvik.py", {.delay_seconds = 2});

    const CtlRun run = run_ctl("-wf");
    EXPECT_EQ(run.status, exited_with(0)) << run.err;
    EXPECT_TRUE(sdk.wait_for(DOWN, SDK, REBOOT_WARM));
    EXPECT_TRUE(wait_for_stub_call("reboot --fast", 30s)) << manager->stderr_text();
    const auto calls = stub_log();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_NE(calls[0].find("pelmar.py"), std::string::npos);
    EXPECT_NE(calls[1].find("dranvik.py"), std::string::npos);
}

// A stop while a position waits on a silent module: the wait ends at once,
// nothing more is broadcast, nobody is answered and nothing reboots.
TEST_F(Fault, StopDuringATakeDownEndsItWithoutAnswerOrReboot)
{
    write_config(WARM_CONFIG);
    auto manager = start_manager();
    ScriptedModule services(SYSTEM_SERVICES);
    ScriptedModule sdk(SDK);
    services.hold_own_answer();
    Process ctl({bin_path("vornmgrctl"), "-wf"});
    ASSERT_TRUE(sdk.wait_for(GO_DOWN, SYSTEM_SERVICES, REBOOT_WARM)) << manager->stderr_text();

    const auto stopped = std::chrono::steady_clock::now();
    manager->kill(SIGTERM);
    EXPECT_EQ(manager->wait_exit(), exited_with(0));
    EXPECT_LT(std::chrono::steady_clock::now() - stopped, 3s) << manager->stderr_text();
    services.release(false);
    EXPECT_EQ(ctl.wait_exit(), exited_with(255));
    EXPECT_NE(ctl.stderr_text().find("server socket closed"), std::string::npos) << ctl.stderr_text();
    EXPECT_TRUE(lacks_line(*manager, "cond timeout error")) << manager->stderr_text();
    EXPECT_TRUE(lacks_line(*manager, "Rebooting with")) << manager->stderr_text();
    EXPECT_FALSE(sdk.wait_for(DOWN, SYSTEM_SERVICES, REBOOT_WARM, 200ms));
    EXPECT_EQ(count_of(stub_log(), "reboot --fast"), 0);
}

// A reboot command that fails leaves no reboot coming: the modules, all down,
// are brought back up in the mode the system ran in before the request.
TEST_F(Fault, FailedRebootBringsEveryModuleBackUp)
{
    write_config(WARM_CONFIG);
    auto manager = start_manager();
    ScriptedModule sdk(SDK);
    configure_stub("reboot", {.exit_code = 3});

    const CtlRun run = run_ctl("-ff");
    EXPECT_EQ(run.status, exited_with(0)) << run.err;
    EXPECT_TRUE(sdk.wait_for(DOWN, SDK, REBOOT_FAST));
    EXPECT_TRUE(sdk.wait_for(COME_UP, ALL_MODULES, REBOOT_WARM)) << manager->stderr_text();
    EXPECT_TRUE(sdk.wait_for_type(NETWORK_LAYER_INFO)) << manager->stderr_text();
    EXPECT_TRUE(has_line(*manager, " ERR reboot command \"sync; reboot --fast\" failed with exit status 3\n"))
        << manager->stderr_text();
    EXPECT_EQ(count_of(stub_log(), "reboot --fast"), 1);
    const CtlRun show = run_ctl("-s");
    EXPECT_NE(show.out.find(" Current System Mode: warm"), std::string::npos) << show.out;
    EXPECT_NE(show.out.find(" sdk             : warm, coming up"), std::string::npos) << show.out;
}

// A module that said goodbye is not waited for: its position is skipped and
// no other position expects its answer.
TEST_F(Fault, UnregisteredModuleIsNotAwaited)
{
    write_config(WARM_CONFIG);
    auto manager = start_manager();
    ScriptedModule sdk(SDK);
    {
        FakeModule stp;
        ASSERT_EQ(stp.request(pkg(vorn_test::msg(MODULE_REGISTER, {STP}))), pkg(vorn_test::msg(ACK)));
        ASSERT_EQ(stp.request(pkg(vorn_test::msg(MODULE_UNREGISTER, {STP}))), pkg(vorn_test::msg(ACK)));
    }

    const CtlRun run = run_ctl("-m1");
    EXPECT_EQ(run.status, exited_with(0)) << run.err;
    EXPECT_TRUE(sdk.wait_for(DOWN, SDK, static_cast<std::int32_t>(REBOOT_WARM | MAINTENANCE)));
    EXPECT_TRUE(lacks_line(*manager, "Send going down module stp")) << manager->stderr_text();
    EXPECT_TRUE(lacks_line(*manager, "cond timeout error")) << manager->stderr_text();
    const CtlRun show = run_ctl("-s");
    EXPECT_NE(show.out.find(" stp             : "), std::string::npos) << "its row stays: " << show.out;
}
