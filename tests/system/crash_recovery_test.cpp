// SPDX-License-Identifier: Apache-2.0
// A manager that dies in the middle of a take-down or a bring-up, restarted
// the way systemd restarts it: once it has found its modules again, the switch
// must be whole, every module up in the mode it ran in before the request,
// unless the reboot command had started. Modules are simulators, real clients
// of libvornmgr.

#include "vorn_test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <iostream>
#include <list>
#include <memory>
#include <regex>
#include <string>
#include <vector>

using namespace vorn_test;

namespace {

const char *const UP_AGAIN = "COME_UP for all (";
const char *const MODULE_LINES[] = {" frr             : warm, up", " bgp             : warm, up",
                                    " sdk             : warm, up"};

class CrashRecovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(getenv("SANDBOX"), nullptr) << "runs only inside tools/sandbox";
        mkdir("/etc/norvane", 0755);
        write_file("/etc/norvane/vornmgrd.conf", "vornmgrctl_override=true\nboot_mode=warm\n");
        manager = start_manager();
    }

    std::unique_ptr<Process> start_manager()
    {
        NotifySocket notify;
        auto started = std::make_unique<Process>(std::vector<std::string>{bin_path("vornmgrd")},
                                                 ProcessOptions{.env = {notify.env()}});
        EXPECT_TRUE(notify.wait_for("READY=1")) << started->stderr_text();
        ready_at = std::chrono::steady_clock::now();
        return started;
    }

    // frr, bgp and sdk, all up; `slow` answers the GO_DOWN naming it late.
    void start_modules(const std::string &slow = "")
    {
        for (const char *module : {"frr", "bgp", "sdk"}) {
            std::vector<std::string> argv{bin_path("vornmgr-modsim")};
            if (module == slow)
                argv.push_back("--delay=4000");
            argv.push_back(module);
            Process &sim = sims.emplace_back(argv);
            ASSERT_TRUE(sim.wait_for_stdout("INIT_COMPLETE: answered up")) << sim.stderr_text();
        }
    }

    // Kills the manager (a crash, the OOM killer) and starts it again.
    void crash_and_restart()
    {
        manager->kill(SIGKILL);
        ASSERT_EQ(manager->wait_exit(), killed_by(SIGKILL));
        seen_before_restart.clear();
        for (Process &sim : sims)
            seen_before_restart.push_back(sim.stdout_text().size());
        manager = start_manager();
    }

    // The recovery line, then expect_whole_again().
    void expect_recovered(const std::regex &recovery_line)
    {
        ASSERT_TRUE(manager->wait_for_stderr(recovery_line, 40s)) << manager->stderr_text();
        std::cout << "recovery logged " << seconds_since_ready() << " s after the manager's start\n";
        expect_whole_again();
    }

    // Every module ran its handshake again after the restart, and the status
    // report shows them all up in the mode before the request.
    void expect_whole_again()
    {
        size_t index = 0;
        for (Process &sim : sims)
            EXPECT_TRUE(sim.wait_for_stdout(UP_AGAIN, 10s, seen_before_restart[index++])) << sim.stdout_text();
        ASSERT_TRUE(wait_until([&] {
            const std::string report = show();
            for (const char *line : MODULE_LINES)
                if (report.find(line) == std::string::npos)
                    return false;
            return report.find(" Current System Mode: warm  \n") != std::string::npos;
        })) << show();
        std::cout << "switch whole " << seconds_since_ready() << " s after the manager's start\n";
    }

    std::string show()
    {
        Process ctl({bin_path("vornmgrctl"), "-s"});
        ctl.wait_exit();
        return ctl.stdout_text();
    }

    double seconds_since_ready() const
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - ready_at).count();
    }

    std::unique_ptr<Process> manager;
    std::list<Process> sims;
    std::vector<size_t> seen_before_restart;
    std::chrono::steady_clock::time_point ready_at;
};

struct KillPoint {
    const char *option;  // the operator's request
    const char *slow;    // the module whose position is waiting when the manager dies
    const char *kind;    // as the recovery line names the sequence
};

class InterruptedTakeDown : public CrashRecovery, public ::testing::WithParamInterface<KillPoint> {};

TEST_P(InterruptedTakeDown, IsUndoneOnceTheModulesAreFound)
{
    const KillPoint point = GetParam();
    start_modules(point.slow);
    Process ctl({bin_path("vornmgrctl"), point.option});
    ASSERT_TRUE(manager->wait_for_stderr(std::string("Send going down module ") + point.slow)) << manager->stderr_text();
    crash_and_restart();
    EXPECT_EQ(ctl.wait_exit(), exited_with(255));
    expect_recovered(std::regex(std::string(" WARN ") + point.kind +
                                " to .* was interrupted \\(running\\): bringing every module back up in warm mode\n"));
    EXPECT_EQ(stub_log().size(), point.option == std::string("-wf") ? 2u : 0u) << "pelmar.py and dranvik.py only";
}

INSTANTIATE_TEST_SUITE_P(, InterruptedTakeDown,
                         ::testing::Values(KillPoint{"-m1", "frr", "maintenance-on"},
                                           KillPoint{"-wf", "bgp", "restart"}),
                         [](const ::testing::TestParamInfo<KillPoint> &info) {
                             return info.param.option == std::string("-m1") ? "MaintenanceAtTheFirstPosition"
                                                                            : "RestartAtTheThirdPosition";
                         });

TEST_F(CrashRecovery, InterruptedBringUpIsRepeated)
{
    start_modules();
    ASSERT_EQ(Process({bin_path("vornmgrctl"), "-m1"}).wait_exit(), exited_with(0));
    // What a bring-up out of maintenance records before its broadcast, left
    // by a manager that died before the broadcast went out.
    write_file("/run/vornmgr/sequence", "kind=maintenance-off\nstage=running\nmode=0x4\nmode_before=0x104\n"
                                        "started=1796700000\n");
    crash_and_restart();
    expect_recovered(std::regex(" WARN maintenance-off to warm mode started at 1796700000 was interrupted "
                                "\\(running\\): bringing every module up again\n"));
}

TEST_F(CrashRecovery, FinishedMaintenanceIsResumedAndLeftNormally)
{
    start_modules();
    ASSERT_EQ(Process({bin_path("vornmgrctl"), "-m1"}).wait_exit(), exited_with(0));
    crash_and_restart();
    ASSERT_TRUE(manager->wait_for_stderr(" resuming maintenance in Maintenance, warm mode", 40s))
        << manager->stderr_text();
    EXPECT_NE(show().find(" Current System Mode: Maintenance, warm"), std::string::npos) << show();
    ASSERT_EQ(Process({bin_path("vornmgrctl"), "-m0"}).wait_exit(), exited_with(0));
    expect_whole_again();
}

TEST_F(CrashRecovery, StartedRebootAndIdleRestartBringNothingUp)
{
    start_modules();
    // A restart of an idle manager: discovery only.
    crash_and_restart();
    ASSERT_TRUE(manager->wait_for_stderr("  3 registered modules)\n", 40s)) << manager->stderr_text();
    EXPECT_NE(show().find(MODULE_LINES[2]), std::string::npos);

    // A reboot command that is still running when the manager dies: the
    // machine is going down, nothing is brought up while it may still.
    configure_stub("reboot", {.delay_seconds = 60});
    Process ctl({bin_path("vornmgrctl"), "-wf"});
    ASSERT_TRUE(wait_for_stub_call("reboot --fast", 30s)) << manager->stderr_text();
    crash_and_restart();
    ASSERT_TRUE(manager->wait_for_stderr(
        std::regex("its reboot command \\(pid [0-9]+\\) still runs; waiting up to 300 s for the machine to go down\n"),
        40s))
        << manager->stderr_text();
    const std::string report = show();
    EXPECT_NE(report.find(" sdk             : warm, down"), std::string::npos) << report;
    for (Process &sim : sims)
        EXPECT_EQ(sim.stdout_text().find(UP_AGAIN), std::string::npos) << sim.stdout_text();
}

} // namespace
