// SPDX-License-Identifier: Apache-2.0
// What a running vornmgrd broadcasts on its own, in the sandbox: the discovery
// probe after a restart of the manager within one boot, the layer-3
// announcement when no routing module turns up, and the numbered keepalives.
// These wait for the real timers (up to about a minute each).

#include "vorn_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

using namespace vorn_test;

namespace {

constexpr std::int32_t FRR = 2, SWIVEND = 7, SDK = 8;
constexpr std::int32_t LOAD_COMPLETE = 3, MODULE_STATUS_RESP = 6, UP = 103, MODE_INFO = 104, MOD_LIST = 105,
                       KEEP_ALIVE_REQ = 106, NETWORK_LAYER_INFO = 109, MODULE_STATUS_REQ = 110;
constexpr std::int32_t REBOOT_FAST = 0x2, REBOOT_WARM = 0x4;

const Bytes ACK = ints({12, 107, 8});
const Bytes PROBE = ints({12, MODULE_STATUS_REQ, 8});
const Bytes NL_INFO = ints({12, NETWORK_LAYER_INFO, 8});

class ManagerTimers : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(getenv("SANDBOX"), nullptr) << "runs only inside tools/sandbox"; }
    void TearDown() override
    {
        if (!manager)
            return;
        manager->kill(SIGTERM);
        EXPECT_EQ(manager->wait_exit(), exited_with(0)) << manager->stderr_text();
    }
    static void write_config(const std::string &path, const std::string &text)
    {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        write_file(path, text);
    }
    void start()
    {
        manager = std::make_unique<Process>(std::vector<std::string>{bin_path("vornmgrd")},
                                            ProcessOptions{.env = {notify.env()}});
        ASSERT_TRUE(notify.wait_for("READY=1")) << manager->stderr_text();
        ready_at = std::chrono::steady_clock::now();
    }
    double seconds_since_ready() const
    {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - ready_at).count();
    }

    NotifySocket notify;
    std::unique_ptr<Process> manager;
    std::chrono::steady_clock::time_point ready_at;
};

TEST_F(ManagerTimers, FirstExpiryAnnouncesLayerThreeThenSendsKeepaliveZero)
{
#if defined(__SANITIZE_THREAD__)
    // The timer's expiry threads are started inside the C library, where the
    // thread sanitizer cannot follow: the instrumented callback would crash.
    GTEST_SKIP() << "timer expiry threads cannot run under ThreadSanitizer";
#endif
    write_config("/etc/norvane/vornmgrd.conf", "boot_mode=warm\nl3_up_max_time=30\n");
    FakeModule module;
    start();
    ASSERT_TRUE(module.wait_subscribed());

    std::optional<Bytes> first = module.next_broadcast(90s);
    const double first_at = seconds_since_ready();
    EXPECT_EQ(first, NL_INFO);
    EXPECT_EQ(module.next_broadcast(10s), ints({16, KEEP_ALIVE_REQ, 12, 0}));
    // The timer's first expiry comes 60 s after it was created, at readiness.
    EXPECT_GT(first_at, 59.0);
    EXPECT_LT(first_at, 62.0);
    EXPECT_TRUE(manager->wait_for_stderr(std::regex(" No L3 module, broadcast NETWORK_LAYER_INFO \\(after 6[01] seconds\\)\n")))
        << manager->stderr_text();
}

TEST_F(ManagerTimers, RestartDiscoversTheModulesAndAdoptsTheSwitchDaemonsMode)
{
    write_config("/tmp/.vornmgrd.startup.conf", "boot_mode=fast\n");
    FakeModule swivend;
    FakeModule frr;
    start();
    EXPECT_TRUE(manager->wait_for_stderr("VornMgr restart, using startup config\n"));
    ASSERT_TRUE(swivend.wait_subscribed());

    // The probe may go out before the subscription is through: wait for the
    // next one.
    ASSERT_EQ(swivend.next_broadcast_where([](const Bytes &b) { return b == PROBE; }, 30s), PROBE);
    EXPECT_EQ(swivend.request(pkg(msg(MODULE_STATUS_RESP, {SWIVEND, REBOOT_WARM, UP, 0}))), ACK);
    EXPECT_EQ(frr.request(pkg(msg(MODULE_STATUS_RESP, {FRR, REBOOT_WARM, UP, 0}))), ACK);

    EXPECT_TRUE(manager->wait_for_stderr("  2 registered modules)\n", 30s)) << manager->stderr_text();
    EXPECT_TRUE(manager->wait_for_stderr(" discovered 0 modules\n"));
    EXPECT_EQ(manager->stderr_text().find("No L3 modules"), std::string::npos) << manager->stderr_text();

    // The switch daemon's answer replaced the fast mode of the startup file.
    FakeModule sdk;
    EXPECT_EQ(sdk.request(pkg(msg(LOAD_COMPLETE, {SDK, 0, 0, 0}))),
              ints({40, MODE_INFO, 20, SDK, REBOOT_WARM, UP, MOD_LIST, 16, FRR, SWIVEND}));
}

TEST_F(ManagerTimers, RestartWithNobodyAnsweringProbesFiveTimesThenAnnouncesLayerThree)
{
    write_config("/tmp/.vornmgrd.startup.conf", "boot_mode=fast\n");
    FakeModule module;
    start();
    ASSERT_TRUE(module.wait_subscribed());
    std::optional<Bytes> announcement = module.next_broadcast_where([](const Bytes &b) { return b != PROBE; }, 60s);
    EXPECT_EQ(announcement, NL_INFO);
    const double announced_at = seconds_since_ready();
    EXPECT_GT(announced_at, 24.0);
    EXPECT_LT(announced_at, 27.0);
    // The line goes out before the announcement, but the manager's stderr is
    // read beside this thread: wait for it rather than race it.
    EXPECT_TRUE(manager->wait_for_stderr("  No L3 modules, (0 registered modules)\n")) << manager->stderr_text();
    const std::string log = manager->stderr_text();
    size_t passes = 0;
    for (size_t at = log.find(" discovered 0 modules\n"); at != std::string::npos;
         at = log.find(" discovered 0 modules\n", at + 1))
        passes++;
    EXPECT_EQ(passes, 5u) << log;
}

} // namespace
