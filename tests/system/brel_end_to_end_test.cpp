// SPDX-License-Identifier: Apache-2.0
// brel-system-services with the real manager and operator tool, in the
// sandbox: registration, a maintenance window, a warm restart with its state
// save, and a clean stop.

#include "vorn_test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <string>

using namespace vorn_test;

namespace {

// Runs vornmgrctl with one option; returns its standard output.
std::string run_ctl(const std::string &option)
{
    Process ctl({bin_path("vornmgrctl"), option});
    EXPECT_EQ(ctl.wait_exit(60s), exited_with(0)) << option << "\n" << ctl.stderr_text();
    return ctl.stdout_text();
}

// The manager, configured for warm boots, and the daemon registered with it.
class System {
public:
    System()
    {
        mkdir("/etc/norvane", 0755);
        write_file("/etc/norvane/vornmgrd.conf", "vornmgrctl_override=true\nboot_mode=warm\n");
        manager.emplace(std::vector<std::string>{bin_path("vornmgrd")}, ProcessOptions{.env = {manager_notify.env()}});
        EXPECT_TRUE(manager_notify.wait_for("READY=1")) << manager->stderr_text();
        daemon.emplace(std::vector<std::string>{bin_path("brel-system-services")});
        EXPECT_TRUE(daemon->wait_for_stderr("UP: System Services state up\n")) << daemon->stderr_text();
    }

    NotifySocket manager_notify;
    std::optional<Process> manager;
    std::optional<Process> daemon;
};

} // namespace

TEST(SystemServicesWithManager, SurvivesAMaintenanceWindowAndStopsCleanly)
{
    System system;
    EXPECT_NE(run_ctl("-s").find(" System Services : warm, up"), std::string::npos);

    run_ctl("-m1");
    EXPECT_NE(run_ctl("-s").find(" System Services : Maintenance, warm, down"), std::string::npos);
    EXPECT_TRUE(system.daemon->wait_for_stderr("Down event for Maintenance, warm\n"));

    run_ctl("-m0");
    EXPECT_TRUE(system.daemon->wait_for_stderr("completed all warm coming up\n"));
    EXPECT_NE(run_ctl("-s").find(" System Services : warm, up"), std::string::npos);
    const auto calls = stub_log();
    EXPECT_EQ(std::find(calls.begin(), calls.end(), "vessik.sh"), calls.end()) << "no save for maintenance";

    system.daemon->kill(SIGTERM);
    EXPECT_EQ(system.daemon->wait_exit(20s), exited_with(0));
    EXPECT_TRUE(system.manager->running());
    EXPECT_NE(system.daemon->stderr_text().find("Quitting brel-system-services\n"), std::string::npos);
}

TEST(SystemServicesWithManager, WarmRestartSavesStatesBeforeTheReboot)
{
    System system;
    // Slow, and leaves its mark only when it ends.
    configure_stub("vessik.sh", {.delay_seconds = 1, .script = "touch /run/states-saved"});
    run_ctl("-wf");
    ASSERT_TRUE(wait_for_stub_call("reboot --fast", 30s));
    EXPECT_TRUE(file_exists("/run/states-saved"));
    const auto calls = stub_log();
    const auto save = std::find(calls.begin(), calls.end(), "vessik.sh");
    EXPECT_LT(save, std::find(calls.begin(), calls.end(), "reboot --fast")) << testing::PrintToString(calls);
    EXPECT_TRUE(system.daemon->wait_for_stderr("ISSU: Save states\n"));
}
