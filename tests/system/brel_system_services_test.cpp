// SPDX-License-Identifier: Apache-2.0
// brel-system-services against a fake manager: the start-up handshake on the
// wire, the answers to broadcasts, the upgrade scripts and the shutdown.

#include "vorn_mgr_intf.h"
#include "vorn_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <optional>
#include <string>

using namespace vorn_test;

namespace {

const char *const PIDFILE = "/var/run/brel_system_services.pid";
const Bytes ACK_PKG = pkg(vorn_test::msg(ACK));

bool stub_called(const std::string &name)
{
    auto calls = stub_log();
    return std::any_of(calls.begin(), calls.end(), [&](const std::string &line) { return line.rfind(name, 0) == 0; });
}

// The daemon, started against a fake manager that answers its handshake with
// `mode` as the system mode.
class Daemon {
public:
    explicit Daemon(Mode mode = REBOOT_COLD, std::vector<std::string> args = {})
    {
        args.insert(args.begin(), bin_path("brel-system-services"));
        process.emplace(args, ProcessOptions{.env = {notify.env()}});
        register_request = answer(ACK_PKG);
        load_request = answer(pkg(vorn_test::msg(MODE_INFO, {SYSTEM_SERVICES, mode, UP}),
                                  vorn_test::msg(MOD_LIST, {FRR, BGP})));
        init_request = answer(pkg(vorn_test::msg(UP, {SYSTEM_SERVICES, mode, UP, 0})));
        // The main thread takes its state from that reply; broadcasts sent
        // before it has done so would race the handshake's last step.
        EXPECT_TRUE(process->wait_for_stderr("UP: System Services state up\n"));
        EXPECT_TRUE(manager.wait_for_subscribers(1));
    }

    // Receives the daemon's next request and answers it.
    std::optional<Bytes> answer(const Bytes &reply = ACK_PKG)
    {
        auto request = manager.receive_request();
        if (request)
            manager.reply(reply);
        return request;
    }

    // The module's status as it reports it: {mod, mode, state, failure}.
    std::vector<int32_t> status()
    {
        manager.publish(pkg(vorn_test::msg(MODULE_STATUS_REQ)));
        auto request = answer();
        if (!request)
            return {};
        auto fields = to_ints(*request);
        return std::vector<int32_t>(fields.begin() + 3, fields.end());
    }

    FakeManager manager;
    NotifySocket notify;
    std::optional<Process> process;
    std::optional<Bytes> register_request, load_request, init_request;
};

} // namespace

TEST(SystemServicesStartup, SendsTheHandshakeAndCarriesTheManagersMode)
{
    Daemon daemon(Mode(MAINTENANCE | REBOOT_WARM));
    EXPECT_EQ(daemon.register_request, pkg({MODULE_REGISTER, 12, SYSTEM_SERVICES}));
    EXPECT_EQ(daemon.load_request, pkg({LOAD_COMPLETE, 24, SYSTEM_SERVICES, REBOOT_COLD, LOAD_COMPLETE, 0}));
    EXPECT_EQ(daemon.init_request,
              pkg({INIT_COMPLETE, 24, SYSTEM_SERVICES, MAINTENANCE | REBOOT_WARM, INIT_COMPLETE, 0}));
    EXPECT_TRUE(daemon.process->wait_for_stderr("Module List: frr bgp \n"));
    EXPECT_TRUE(daemon.process->wait_for_stderr("System Services Maintenance, warm state up\n"));
    EXPECT_TRUE(wait_until([&] { return read_file(PIDFILE) == std::to_string(daemon.process->pid()) + "\n"; }));
}

class SystemServicesShutdown : public ::testing::TestWithParam<int> {};

TEST_P(SystemServicesShutdown, SignalEndsWithStatusZeroAndUnregisters)
{
    const int signum = GetParam();
    Daemon daemon;
    ASSERT_TRUE(wait_until([] { return file_exists(PIDFILE); }));
    daemon.process->kill(signum);
    EXPECT_EQ(daemon.answer(), pkg({MODULE_UNREGISTER, 12, SYSTEM_SERVICES}));
    EXPECT_EQ(daemon.process->wait_exit(20s), exited_with(0));
    EXPECT_FALSE(file_exists(PIDFILE));
    const std::string log = daemon.process->stderr_text();
    EXPECT_NE(log.find("Signal " + std::to_string(signum) + "\n"), std::string::npos) << log;
    EXPECT_LT(log.find("Quitting brel-system-services\n"), log.find("Vorn manager exiting.\n")) << log;
    EXPECT_TRUE(daemon.notify.wait_for("STOPPING=1"));
}

INSTANTIATE_TEST_SUITE_P(TermAndHangup, SystemServicesShutdown, ::testing::Values(SIGTERM, SIGHUP));

TEST(SystemServicesStartup, CommandLineEndsBeforeThePidFile)
{
    Process help({bin_path("brel-system-services"), "-h"});
    EXPECT_EQ(help.wait_exit(), exited_with(0));
    Process config({bin_path("brel-system-services"), "-c", "x"});
    EXPECT_EQ(config.wait_exit(), exited_with(0));
    Process bad({bin_path("brel-system-services"), "-z"});
    EXPECT_EQ(bad.wait_exit(), exited_with(0));
    EXPECT_NE(bad.stderr_text().find("invalid option"), std::string::npos);
    EXPECT_FALSE(file_exists(PIDFILE));
}

TEST(SystemServicesStartup, SecondInstanceIsRefused)
{
    Daemon daemon;
    Process second({bin_path("brel-system-services")});
    EXPECT_EQ(second.wait_exit(), exited_with(1));
    EXPECT_NE(second.stderr_text().find("Another instance of brel_system_services ? (PID=" +
                                        std::to_string(daemon.process->pid()) + ", err="),
              std::string::npos)
        << second.stderr_text();
}

TEST(SystemServicesGoDown, AnswersForAnotherModuleWithoutSaving)
{
    Daemon daemon(REBOOT_WARM);
    daemon.manager.publish(pkg(vorn_test::msg(GO_DOWN, {FRR, REBOOT_WARM, GO_DOWN})));
    // mod, then the answering module, its current mode, the broadcast's state, no error.
    EXPECT_EQ(daemon.answer(), pkg({GO_DOWN, 28, FRR, SYSTEM_SERVICES, REBOOT_WARM, GO_DOWN, 0}));
    EXPECT_FALSE(stub_called("vessik.sh"));
    EXPECT_EQ(daemon.status(), (std::vector<int32_t>{SYSTEM_SERVICES, REBOOT_WARM, UP, 0}));
}

TEST(SystemServicesGoDown, WarmToWarmSavesStatesBeforeAnswering)
{
    Daemon daemon(REBOOT_WARM);
    // Slow, and leaves a mark only when it ends.
    configure_stub("vessik.sh", {.delay_seconds = 2, .script = "touch /run/saved"});
    daemon.manager.publish(pkg(vorn_test::msg(GO_DOWN, {SYSTEM_SERVICES, REBOOT_WARM, GO_DOWN})));
    auto answer = daemon.manager.receive_request(20s);
    EXPECT_TRUE(file_exists("/run/saved"));
    daemon.manager.reply(ACK_PKG);
    EXPECT_EQ(answer, pkg({GO_DOWN, 28, SYSTEM_SERVICES, SYSTEM_SERVICES, REBOOT_WARM, GO_DOWN, 0}));
    EXPECT_EQ(stub_log(), std::vector<std::string>{"vessik.sh"});
    EXPECT_TRUE(daemon.process->wait_for_stderr("ISSU: Requesting warm, current mode warm\n"));
    EXPECT_EQ(daemon.status(), (std::vector<int32_t>{SYSTEM_SERVICES, REBOOT_WARM, GO_DOWN, 0}));
}

TEST(SystemServicesGoDown, NoSaveForMaintenance)
{
    Daemon warm(REBOOT_WARM);
    warm.manager.publish(pkg(vorn_test::msg(GO_DOWN, {SYSTEM_SERVICES, MAINTENANCE | REBOOT_WARM, GO_DOWN})));
    EXPECT_EQ(warm.answer(), pkg({GO_DOWN, 28, SYSTEM_SERVICES, SYSTEM_SERVICES, REBOOT_WARM, GO_DOWN, 0}));
    EXPECT_TRUE(warm.process->wait_for_stderr("ISSU: Requesting Maintenance, warm, current mode warm\n"));
    EXPECT_FALSE(stub_called("vessik.sh"));
}

TEST(SystemServicesGoDown, NoSaveFromAColdMode)
{
    Daemon cold(REBOOT_COLD);
    cold.manager.publish(pkg(vorn_test::msg(GO_DOWN, {SYSTEM_SERVICES, REBOOT_WARM, GO_DOWN})));
    EXPECT_EQ(cold.answer(), pkg({GO_DOWN, 28, SYSTEM_SERVICES, SYSTEM_SERVICES, REBOOT_COLD, GO_DOWN, 0}));
    EXPECT_FALSE(stub_called("vessik.sh"));
}

TEST(SystemServicesBroadcasts, KeepaliveEchoesTheSequence)
{
    Daemon daemon(REBOOT_FAST);
    daemon.manager.publish(pkg(vorn_test::msg(KEEP_ALIVE_REQ, {7})));
    EXPECT_EQ(daemon.answer(), pkg({KEEP_ALIVE_RESP, 28, 7, SYSTEM_SERVICES, REBOOT_FAST, UP, 0}));
}

TEST(SystemServicesBroadcasts, StatusFollowsDownAndUp)
{
    Daemon daemon;
    EXPECT_EQ(daemon.status(), (std::vector<int32_t>{SYSTEM_SERVICES, REBOOT_COLD, UP, 0}));
    // A DOWN for another module changes nothing; ours does, in one package with an UP.
    daemon.manager.publish(pkg(vorn_test::msg(DOWN, {FRR, REBOOT_WARM, DOWN})));
    daemon.manager.publish(pkg(vorn_test::msg(DOWN, {SYSTEM_SERVICES, MAINTENANCE | REBOOT_COLD, DOWN})));
    EXPECT_EQ(daemon.status(), (std::vector<int32_t>{SYSTEM_SERVICES, MAINTENANCE | REBOOT_COLD, DOWN, 0}));
    EXPECT_TRUE(daemon.process->wait_for_stderr("Down event for Maintenance, cold\n"));

    daemon.manager.publish(pkg(vorn_test::msg(DOWN, {SYSTEM_SERVICES, REBOOT_WARM, DOWN}),
                               vorn_test::msg(UP, {SYSTEM_SERVICES, REBOOT_FAST, UP, 0})));
    EXPECT_EQ(daemon.status(), (std::vector<int32_t>{SYSTEM_SERVICES, REBOOT_FAST, UP, 0}));
}

TEST(SystemServicesBroadcasts, ComeUpRepeatsTheHandshake)
{
    Daemon daemon(Mode(MAINTENANCE | REBOOT_COLD));
    daemon.manager.publish(pkg(vorn_test::msg(COME_UP, {ALL_MODULES, REBOOT_COLD, COME_UP})));
    EXPECT_EQ(daemon.answer(pkg(vorn_test::msg(MODE_INFO, {SYSTEM_SERVICES, REBOOT_COLD, UP}),
                                vorn_test::msg(MOD_LIST))),
              pkg({LOAD_COMPLETE, 24, SYSTEM_SERVICES, MAINTENANCE | REBOOT_COLD, LOAD_COMPLETE, 0}));
    EXPECT_EQ(daemon.answer(pkg(vorn_test::msg(UP, {SYSTEM_SERVICES, REBOOT_COLD, UP, 0}))),
              pkg({INIT_COMPLETE, 24, SYSTEM_SERVICES, REBOOT_COLD, INIT_COMPLETE, 0}));
    EXPECT_TRUE(daemon.process->wait_for_stderr("Module List: None\n"));
    EXPECT_TRUE(daemon.process->wait_for_stderr("completed all cold coming up\n"));
    EXPECT_EQ(daemon.status(), (std::vector<int32_t>{SYSTEM_SERVICES, REBOOT_COLD, COME_UP, 0}));
}

TEST(SystemServicesBroadcasts, UnansweredComeUpHandshakeRunsAgainAfterTheManagersNextBroadcast)
{
    Daemon daemon(REBOOT_WARM);
    // A manager killed right after its COME_UP takes the LOAD_COMPLETE with it.
    daemon.manager.publish(pkg(vorn_test::msg(COME_UP, {ALL_MODULES, REBOOT_COLD, COME_UP})));
    EXPECT_EQ(daemon.manager.receive_request(),
              pkg({LOAD_COMPLETE, 24, SYSTEM_SERVICES, REBOOT_WARM, LOAD_COMPLETE, 0}));
    ASSERT_TRUE(daemon.process->wait_for_stderr("handshake pending: ", 15s)) << daemon.process->stderr_text();
    // The reply the REP socket still owes goes to a requester that gave up:
    // nowhere, and the socket is back in step.
    daemon.manager.reply(ACK_PKG);

    // The restarted manager's probe is answered first, with the module not up.
    EXPECT_EQ(daemon.status(), (std::vector<int32_t>{SYSTEM_SERVICES, REBOOT_WARM, LOAD_COMPLETE, 0}));
    EXPECT_EQ(daemon.answer(pkg(vorn_test::msg(MODE_INFO, {SYSTEM_SERVICES, REBOOT_COLD, UP}),
                                vorn_test::msg(MOD_LIST))),
              pkg({LOAD_COMPLETE, 24, SYSTEM_SERVICES, REBOOT_WARM, LOAD_COMPLETE, 0}));
    EXPECT_EQ(daemon.answer(pkg(vorn_test::msg(UP, {SYSTEM_SERVICES, REBOOT_COLD, UP, 0}))),
              pkg({INIT_COMPLETE, 24, SYSTEM_SERVICES, REBOOT_COLD, INIT_COMPLETE, 0}));
    EXPECT_TRUE(daemon.process->wait_for_stderr("retrying handshake after module status request\n"));
    EXPECT_TRUE(daemon.process->wait_for_stderr("handshake done on retry: cold state up\n"));
    EXPECT_EQ(daemon.status(), (std::vector<int32_t>{SYSTEM_SERVICES, REBOOT_COLD, UP, 0}));
}

TEST(SystemServicesBroadcasts, IssuInfoRunsTheRestoreScriptAndOddMessagesAreLogged)
{
    Daemon daemon;
    daemon.manager.publish(pkg(vorn_test::msg(ISSU_INFO, {SDK, ISSU_END, ISSU_FAIL})));
    EXPECT_TRUE(wait_for_stub_call("lorrin.sh"));
    EXPECT_TRUE(daemon.process->wait_for_stderr("ISSU: module sdk status 0x2\n"));

    // An ACK, then a message whose len would not advance the walk.
    daemon.manager.publish(pkg(vorn_test::msg(ACK), ints({UP, 4})));
    EXPECT_TRUE(daemon.process->wait_for_stderr("ERR unhandled ack message (0x6b) len 8\n"));
    EXPECT_TRUE(daemon.process->wait_for_stderr("malformed message type 0x67 len 4"));
    // Still answering.
    EXPECT_EQ(daemon.status(), (std::vector<int32_t>{SYSTEM_SERVICES, REBOOT_COLD, UP, 0}));
}
