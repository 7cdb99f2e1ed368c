// SPDX-License-Identifier: Apache-2.0
// The discovery wait after a restart of the manager within one boot, against
// modules whose subscribers are reconnecting while the new manager starts: the
// first probe must reach them, so that modules answering it end the wait at
// once, and a module connecting from the start hears every probe.

#include "vorn_mgr_intf.h"
#include "vorn_test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <list>
#include <memory>
#include <string>

using namespace vorn_test;

namespace {

const Bytes PROBE = pkg(vorn_test::msg(MODULE_STATUS_REQ));
const Bytes NL_INFO = pkg(vorn_test::msg(NETWORK_LAYER_INFO));

int count_of(const std::string &text, const std::string &part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        count++;
    return count;
}

class Discovery : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(getenv("SANDBOX"), nullptr) << "runs only inside tools/sandbox"; }

    // A manager, ready; the time of its readiness is kept.
    std::unique_ptr<Process> start_manager()
    {
        NotifySocket notify;
        auto manager = std::make_unique<Process>(std::vector<std::string>{bin_path("vornmgrd")},
                                                 ProcessOptions{.env = {notify.env()}});
        EXPECT_TRUE(notify.wait_for("READY=1")) << manager->stderr_text();
        ready_at = std::chrono::steady_clock::now();
        return manager;
    }
    double seconds_since_ready() const
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - ready_at).count();
    }

    std::chrono::steady_clock::time_point ready_at;
};

TEST_F(Discovery, LibraryModulesAnsweringTheFirstProbeEndItAtOnce)
{
    mkdir("/etc/norvane", 0755);
    write_file("/etc/norvane/vornmgrd.conf", "boot_mode=warm\n");
    auto manager = start_manager();
    std::list<Process> sims;
    for (const char *module : {"stp", "sdk"}) {
        Process &sim = sims.emplace_back(std::vector<std::string>{bin_path("vornmgr-modsim"), module});
        ASSERT_TRUE(sim.wait_for_stdout("INIT_COMPLETE: answered up")) << sim.stderr_text();
    }
    manager->kill(SIGKILL);
    ASSERT_EQ(manager->wait_exit(), killed_by(SIGKILL));

    // The startup file the first manager left makes this one a restart.
    auto restarted = start_manager();
    ASSERT_TRUE(restarted->wait_for_stderr("  2 registered modules)\n", 30s)) << restarted->stderr_text();
    const double took = seconds_since_ready();
    // Known to have been registered, both answer the first probe, a second
    // after the start, and end the wait; a lost first probe costs a second
    // pass (6 s and more).
    EXPECT_GT(took, 0.9);
    EXPECT_LT(took, 4.0) << restarted->stderr_text();
    const std::string log = restarted->stderr_text();
    EXPECT_EQ(count_of(log, " discovered 0 modules\n"), 1) << log;
    EXPECT_EQ(count_of(log, " module status response from stp Mode warm State up\n"), 1) << log;
    EXPECT_EQ(count_of(log, " module status response from sdk Mode warm State up\n"), 1) << log;
}

TEST_F(Discovery, SubscriberConnectingFromTheStartHearsAllFiveProbes)
{
    write_file("/tmp/.vornmgrd.startup.conf", "boot_mode=fast\n");
    FakeModule module;
    auto manager = start_manager();
    int probes = 0;
    std::optional<Bytes> last;
    while ((last = module.next_broadcast(10s)) == PROBE)
        probes++;
    EXPECT_EQ(last, NL_INFO) << manager->stderr_text();
    EXPECT_EQ(probes, 5) << manager->stderr_text();
    manager->kill(SIGTERM);
    EXPECT_EQ(manager->wait_exit(), exited_with(0));
}

TEST_F(Discovery, StopDuringTheWaitEndsTheManagerAtOnce)
{
    write_file("/tmp/.vornmgrd.startup.conf", "boot_mode=fast\n");
    auto manager = start_manager();
    // Sooner than the first probe would go out, a second after readiness.
    manager->kill(SIGTERM);
    EXPECT_EQ(manager->wait_exit(900ms), exited_with(0)) << manager->stderr_text();
    EXPECT_EQ(count_of(manager->stderr_text(), " registered modules)\n"), 0) << manager->stderr_text();
}

} // namespace
