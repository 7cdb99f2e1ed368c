// SPDX-License-Identifier: Apache-2.0
// vornmgr-modsim, the simulated module: against a fake manager, the bytes it
// sends for the handshake and for every broadcast it owes an answer, as its
// options shape them; against the real manager, what those options make the
// manager record.

#include "vorn_mgr_intf.h"
#include "vorn_test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <list>
#include <optional>
#include <regex>
#include <string>

using namespace vorn_test;

namespace {

const Bytes ACK_PKG = pkg(vorn_test::msg(ACK));

// One simulator, registered with a fake manager that tells it the system runs
// warm and that frr is already up.
class Simulator {
public:
    explicit Simulator(std::vector<std::string> args)
    {
        args.insert(args.begin(), bin_path("vornmgr-modsim"));
        process.emplace(args);
        register_request = answer();
        load_request = answer(pkg(vorn_test::msg(MODE_INFO, {module_of(args.back()), REBOOT_WARM, UP}),
                                  vorn_test::msg(MOD_LIST, {FRR})));
        init_request = answer(pkg(vorn_test::msg(UP, {module_of(args.back()), REBOOT_WARM, UP, 0})));
        EXPECT_TRUE(manager.wait_for_subscribers(1));
    }

    static int32_t module_of(const std::string &name) { return name == "stp" ? STP : BGP; }

    // Receives the simulator's next request and answers it.
    std::optional<Bytes> answer(const Bytes &reply = ACK_PKG)
    {
        auto request = manager.receive_request();
        if (request)
            manager.reply(reply);
        return request;
    }

    Bytes go_down(int32_t mod, int32_t mode = REBOOT_WARM)
    {
        return pkg(vorn_test::msg(GO_DOWN, {mod, mode, GO_DOWN}));
    }

    FakeManager manager;
    std::optional<Process> process;
    std::optional<Bytes> register_request, load_request, init_request;
};

// The "answered after N ms" figure of the simulator's line about `what`.
std::optional<long> reported_wait(const std::string &output, const std::string &what)
{
    std::smatch found;
    if (!std::regex_search(output, found, std::regex(what + ": answered after ([0-9]+) ms")))
        return std::nullopt;
    return std::stol(found[1]);
}

// A manager killed right after it broadcast COME_UP takes the module's
// LOAD_COMPLETE with it. The REP socket still owes that request a reply; sent
// once the module gave up, it goes nowhere and puts the socket back in step.
void lose_the_load_complete(Simulator &sim)
{
    sim.manager.publish(pkg(vorn_test::msg(COME_UP, {ALL_MODULES, REBOOT_FAST, COME_UP})));
    EXPECT_EQ(sim.manager.receive_request(), pkg({LOAD_COMPLETE, 24, BGP, REBOOT_WARM, LOAD_COMPLETE, 0}));
    ASSERT_TRUE(sim.process->wait_for_stdout("bgp: handshake pending: ", 15s)) << sim.process->stderr_text();
    sim.manager.reply(ACK_PKG);
}

} // namespace

TEST(ModsimHandshake, RegistersReportsLoadAndInitCompleteWithTheManagersMode)
{
    Simulator sim({"bgp"});
    EXPECT_EQ(sim.register_request, pkg({MODULE_REGISTER, 12, BGP}));
    EXPECT_EQ(sim.load_request, pkg({LOAD_COMPLETE, 24, BGP, REBOOT_COLD, LOAD_COMPLETE, 0}));
    // The mode told in MODE_INFO is the one it reports from then on.
    EXPECT_EQ(sim.init_request, pkg({INIT_COMPLETE, 24, BGP, REBOOT_WARM, INIT_COMPLETE, 0}));
    EXPECT_TRUE(sim.process->wait_for_stdout(
        std::regex(R"(\d\d:\d\d:\d\d\.\d{3} bgp: LOAD_COMPLETE: answered with mode warm, state up; modules up: frr\n)")));
    EXPECT_TRUE(sim.process->wait_for_stdout("bgp: INIT_COMPLETE: answered up, mode warm, state up\n"));
}

TEST(ModsimHandshake, ComeUpForAllRepeatsTheHandshakeButNotForAnotherModule)
{
    Simulator sim({"bgp"});
    sim.manager.publish(pkg(vorn_test::msg(COME_UP, {STP, REBOOT_WARM, COME_UP})));
    sim.manager.publish(pkg(vorn_test::msg(COME_UP, {ALL_MODULES, REBOOT_FAST, COME_UP})));
    // Nothing for stp's COME_UP: the first request is the handshake for all.
    EXPECT_EQ(sim.answer(pkg(vorn_test::msg(MODE_INFO, {BGP, REBOOT_FAST, UP}), vorn_test::msg(MOD_LIST))),
              pkg({LOAD_COMPLETE, 24, BGP, REBOOT_WARM, LOAD_COMPLETE, 0}));
    EXPECT_EQ(sim.answer(pkg(vorn_test::msg(UP, {BGP, REBOOT_FAST, UP, 0}))),
              pkg({INIT_COMPLETE, 24, BGP, REBOOT_FAST, INIT_COMPLETE, 0}));
    EXPECT_TRUE(sim.process->wait_for_stdout("COME_UP for stp (warm): not for this module\n"));
    EXPECT_TRUE(sim.process->wait_for_stdout("LOAD_COMPLETE: answered with mode fast, state up; modules up: none\n"));
}

TEST(ModsimHandshake, AnswerWhoseTotalLenCannotHoldItselfHoldsNoMessage)
{
    Simulator sim({"bgp"});
    sim.manager.publish(pkg(vorn_test::msg(COME_UP, {ALL_MODULES, REBOOT_FAST, COME_UP})));
    // A whole MODE_INFO follows, but the package's own length is negative: the
    // walk must not trust it (nor run past the bytes received).
    Bytes reply = pkg(vorn_test::msg(MODE_INFO, {BGP, REBOOT_FAST, UP}));
    const int32_t negative = INT32_MIN;
    memcpy(reply.data(), &negative, sizeof negative);
    EXPECT_EQ(sim.answer(reply), pkg({LOAD_COMPLETE, 24, BGP, REBOOT_WARM, LOAD_COMPLETE, 0}));
    EXPECT_TRUE(sim.process->wait_for_stderr("without the system mode\n")) << sim.process->stderr_text();
    // It kept the mode it had and goes on answering.
    sim.manager.publish(pkg(vorn_test::msg(KEEP_ALIVE_REQ, {9})));
    EXPECT_EQ(sim.answer(), pkg({KEEP_ALIVE_RESP, 28, 9, BGP, REBOOT_WARM, UP, 0}));
}

TEST(ModsimHandshake, KeepsTryingToRegisterUntilTheManagerAnswers)
{
    std::optional<Process> process;
    process.emplace(std::vector<std::string>{bin_path("vornmgr-modsim"), "--register-wait=60", "stp"});
    // The first try waits out the library's reply time-out with no manager.
    ASSERT_TRUE(process->wait_for_stdout("no answer from vornmgrd yet, trying again\n", 30s));
    FakeManager manager;
    auto request = manager.receive_request(30s);
    EXPECT_EQ(request, pkg({MODULE_REGISTER, 12, STP}));
    manager.reply(ACK_PKG);
    EXPECT_TRUE(process->wait_for_stdout("stp: registered with vornmgrd\n"));
}

TEST(ModsimHandshake, GivesUpWhenNoManagerAnswersInTime)
{
    Process process({bin_path("vornmgr-modsim"), "--register-wait=0", "sdk"});
    EXPECT_EQ(process.wait_exit(30s), exited_with(1));
    EXPECT_NE(process.stderr_text().find("sdk: cannot register with vornmgrd: Connection timed out\n"),
              std::string::npos)
        << process.stderr_text();
}

TEST(ModsimHandshakeRetry, UnansweredHandshakeRunsAgainAfterTheManagersNextBroadcastARefusedOneNever)
{
    Simulator sim({"bgp"});
    sim.manager.publish(pkg(vorn_test::msg(COME_UP, {ALL_MODULES, REBOOT_FAST, COME_UP})));
    EXPECT_EQ(sim.answer(pkg(vorn_test::msg(NACK))), pkg({LOAD_COMPLETE, 24, BGP, REBOOT_WARM, LOAD_COMPLETE, 0}));
    // Two probes answered back to back: no handshake in between.
    for (int probe = 0; probe < 2; probe++) {
        sim.manager.publish(pkg(vorn_test::msg(MODULE_STATUS_REQ)));
        EXPECT_EQ(sim.answer(), pkg({MODULE_STATUS_RESP, 24, BGP, REBOOT_WARM, UP, 0}));
    }

    lose_the_load_complete(sim);
    // The restarted manager's probe is answered first, with the module not up.
    sim.manager.publish(pkg(vorn_test::msg(MODULE_STATUS_REQ)));
    EXPECT_EQ(sim.answer(), pkg({MODULE_STATUS_RESP, 24, BGP, REBOOT_WARM, LOAD_COMPLETE, 0}));
    EXPECT_EQ(sim.answer(pkg(vorn_test::msg(MODE_INFO, {BGP, REBOOT_FAST, UP}), vorn_test::msg(MOD_LIST))),
              pkg({LOAD_COMPLETE, 24, BGP, REBOOT_WARM, LOAD_COMPLETE, 0}));
    EXPECT_EQ(sim.answer(pkg(vorn_test::msg(UP, {BGP, REBOOT_FAST, UP, 0}))),
              pkg({INIT_COMPLETE, 24, BGP, REBOOT_FAST, INIT_COMPLETE, 0}));
    EXPECT_TRUE(sim.process->wait_for_stdout(
        "bgp: module status request broadcast: trying the pending handshake again\n"));
    EXPECT_TRUE(sim.process->wait_for_stdout("bgp: handshake done on retry: the module is up\n"));
    sim.manager.publish(pkg(vorn_test::msg(MODULE_STATUS_REQ)));
    EXPECT_EQ(sim.answer(), pkg({MODULE_STATUS_RESP, 24, BGP, REBOOT_FAST, UP, 0}));
}

TEST(ModsimHandshakeRetry, UnansweredHandshakeRunsAgainOnItsOwnWhenNothingIsBroadcast)
{
    Simulator sim({"bgp"});
    lose_the_load_complete(sim);
    const auto pending_since = std::chrono::steady_clock::now();
    EXPECT_EQ(sim.answer(pkg(vorn_test::msg(MODE_INFO, {BGP, REBOOT_FAST, UP}), vorn_test::msg(MOD_LIST))),
              pkg({LOAD_COMPLETE, 24, BGP, REBOOT_WARM, LOAD_COMPLETE, 0}));
    EXPECT_GE(std::chrono::steady_clock::now() - pending_since, 4s);
    EXPECT_EQ(sim.answer(pkg(vorn_test::msg(UP, {BGP, REBOOT_FAST, UP, 0}))),
              pkg({INIT_COMPLETE, 24, BGP, REBOOT_FAST, INIT_COMPLETE, 0}));
    EXPECT_TRUE(sim.process->wait_for_stdout("bgp: 5 s after the last try: trying the pending handshake again\n"));
    EXPECT_TRUE(sim.process->wait_for_stdout("bgp: handshake done on retry: the module is up\n"));
}

TEST(ModsimGoDown, AnswersEveryGoDownNamingTheModuleAndItself)
{
    Simulator sim({"bgp"});
    sim.manager.publish(sim.go_down(FRR, MAINTENANCE | REBOOT_WARM));
    EXPECT_EQ(sim.answer(), pkg({GO_DOWN, 28, FRR, BGP, MAINTENANCE | REBOOT_WARM, GO_DOWN, NO_ERROR}));
    sim.manager.publish(sim.go_down(BGP));
    EXPECT_EQ(sim.answer(), pkg({GO_DOWN, 28, BGP, BGP, REBOOT_WARM, GO_DOWN, NO_ERROR}));
    EXPECT_TRUE(sim.process->wait_for_stdout("bgp: GO_DOWN for frr (Maintenance, warm): answered after "));
    EXPECT_TRUE(sim.process->wait_for_stdout("bgp: GO_DOWN for bgp (warm), this module: answered after "));
}

TEST(ModsimGoDown, FailureReasonOnlyInTheAnswerAboutItself)
{
    Simulator sim({"--fail=busy", "stp"});
    sim.manager.publish(sim.go_down(BGP));
    EXPECT_EQ(sim.answer(), pkg({GO_DOWN, 28, BGP, STP, REBOOT_WARM, GO_DOWN, NO_ERROR}));
    sim.manager.publish(sim.go_down(STP));
    EXPECT_EQ(sim.answer(), pkg({GO_DOWN, 28, STP, STP, REBOOT_WARM, GO_DOWN, BUSY}));
    EXPECT_TRUE(sim.process->wait_for_stdout(", this module: answered after "));
    EXPECT_TRUE(sim.process->wait_for_stdout(std::regex("answered after [0-9]+ ms, with failure reason 1\n")));
}

TEST(ModsimGoDown, WaitsItsOwnDelayForItselfAndTheOtherDelayForOthers)
{
    Simulator sim({"--delay=700", "--others-delay=300", "bgp"});
    const auto own_sent = std::chrono::steady_clock::now();
    sim.manager.publish(sim.go_down(BGP));
    EXPECT_EQ(sim.answer(), pkg({GO_DOWN, 28, BGP, BGP, REBOOT_WARM, GO_DOWN, NO_ERROR}));
    EXPECT_GE(std::chrono::steady_clock::now() - own_sent, 700ms);
    const auto other_sent = std::chrono::steady_clock::now();
    sim.manager.publish(sim.go_down(SDK));
    EXPECT_EQ(sim.answer(), pkg({GO_DOWN, 28, SDK, BGP, REBOOT_WARM, GO_DOWN, NO_ERROR}));
    EXPECT_GE(std::chrono::steady_clock::now() - other_sent, 300ms);

    ASSERT_TRUE(sim.process->wait_for_stdout("GO_DOWN for sdk (warm): answered after"));
    const std::string output = sim.process->stdout_text();
    EXPECT_NE(output.find("GO_DOWN for bgp (warm), this module: answering in 700 ms\n"), std::string::npos) << output;
    EXPECT_GE(reported_wait(output, R"(GO_DOWN for bgp \(warm\), this module)").value_or(0), 700) << output;
    EXPECT_GE(reported_wait(output, R"(GO_DOWN for sdk \(warm\))").value_or(0), 300) << output;
}

TEST(ModsimGoDown, SilentLeavesOnlyItsOwnUnanswered)
{
    Simulator own({"--silent", "bgp"});
    own.manager.publish(own.go_down(BGP));
    own.manager.publish(own.go_down(OSPF));
    // The first answer is about ospf: nothing was sent about bgp.
    EXPECT_EQ(own.answer(), pkg({GO_DOWN, 28, OSPF, BGP, REBOOT_WARM, GO_DOWN, NO_ERROR}));
    EXPECT_TRUE(own.process->wait_for_stdout("GO_DOWN for bgp (warm), this module: left unanswered (silent)\n"));
}

TEST(ModsimGoDown, SilentAllAnswersNoGoDownButStillTheProbes)
{
    Simulator all({"--silent=all", "stp"});
    all.manager.publish(all.go_down(OSPF));
    all.manager.publish(pkg(vorn_test::msg(MODULE_STATUS_REQ)));
    EXPECT_EQ(all.answer(), pkg({MODULE_STATUS_RESP, 24, STP, REBOOT_WARM, UP, 0}));
    EXPECT_TRUE(all.process->wait_for_stdout("GO_DOWN for ospf (warm): left unanswered (silent)\n"));
}

TEST(ModsimProbes, AnswersKeepalivesAndStatusWithItsCurrentState)
{
    Simulator sim({"bgp"});
    sim.manager.publish(pkg(vorn_test::msg(KEEP_ALIVE_REQ, {7})));
    EXPECT_EQ(sim.answer(), pkg({KEEP_ALIVE_RESP, 28, 7, BGP, REBOOT_WARM, UP, 0}));
    // After its own DOWN it reports what the manager told it.
    sim.manager.publish(pkg(vorn_test::msg(DOWN, {BGP, MAINTENANCE | REBOOT_COLD, DOWN})));
    sim.manager.publish(pkg(vorn_test::msg(MODULE_STATUS_REQ)));
    EXPECT_EQ(sim.answer(), pkg({MODULE_STATUS_RESP, 24, BGP, MAINTENANCE | REBOOT_COLD, DOWN, 0}));
    EXPECT_TRUE(sim.process->wait_for_stdout("KEEP_ALIVE_REQ seq 7: answered\n"));
    EXPECT_TRUE(sim.process->wait_for_stdout("DOWN for bgp (Maintenance, cold): this module is down\n"));
    EXPECT_TRUE(sim.process->wait_for_stdout("MODULE_STATUS_REQ: answered Maintenance, cold, down\n"));
}

TEST(ModsimStop, SigtermUnregistersAndEndsWithStatusZeroEvenDuringADelay)
{
    Simulator sim({"--delay=60000", "bgp"});
    sim.manager.publish(sim.go_down(BGP));
    ASSERT_TRUE(sim.process->wait_for_stdout("answering in 60000 ms\n"));
    sim.process->kill(SIGTERM);
    // The pending answer is dropped: the next request is the unregistration.
    EXPECT_EQ(sim.answer(), pkg({MODULE_UNREGISTER, 12, BGP}));
    EXPECT_EQ(sim.process->wait_exit(20s), exited_with(0));
    const std::string output = sim.process->stdout_text();
    EXPECT_NE(output.find("GO_DOWN for bgp (warm), this module: not answered, stopping\n"), std::string::npos)
        << output;
    EXPECT_NE(output.find("bgp: unregistered\n"), std::string::npos) << output;
}

TEST(ModsimCommandLine, RefusesWhatItCannotSimulate)
{
    Process help({bin_path("vornmgr-modsim"), "--help"});
    EXPECT_EQ(help.wait_exit(), exited_with(0));
    EXPECT_NE(help.stdout_text().find("Usage: vornmgr-modsim [OPTION]... MODULE\n"), std::string::npos);

    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{}, "which module?"},
        {{"frr", "bgp"}, "one MODULE only"},
        {{"vornmgr"}, "unknown module 'vornmgr'"},
        {{"--fail=0", "frr"}, "--fail wants 'busy' or a reason number from 1, not '0'"},
        {{"--delay=-5", "frr"}, "--delay wants milliseconds from 0 to 600000, not '-5'"},
        {{"--silent=some", "frr"}, "--silent takes 'own' or 'all', not 'some'"},
        {{"-x", "frr"}, "invalid option"},
    };
    for (const auto &[args, message] : refused) {
        std::vector<std::string> argv{bin_path("vornmgr-modsim")};
        argv.insert(argv.end(), args.begin(), args.end());
        Process refusal(argv);
        EXPECT_EQ(refusal.wait_exit(), exited_with(2)) << message;
        EXPECT_NE(refusal.stderr_text().find(message), std::string::npos) << refusal.stderr_text();
        EXPECT_EQ(refusal.stdout_text(), "") << message;
    }
}

// With the real manager: what the options make the manager see.
class ModsimWithManager : public ::testing::Test {
protected:
    void SetUp() override
    {
        mkdir("/etc/norvane", 0755);
        write_file("/etc/norvane/vornmgrd.conf", "vornmgrctl_override=true\nboot_mode=warm\n");
        manager.emplace(std::vector<std::string>{bin_path("vornmgrd")}, ProcessOptions{.env = {notify.env()}});
        ASSERT_TRUE(notify.wait_for("READY=1")) << manager->stderr_text();
    }

    void start(std::vector<std::string> args)
    {
        args.insert(args.begin(), bin_path("vornmgr-modsim"));
        Process &sim = sims.emplace_back(args);
        ASSERT_TRUE(sim.wait_for_stdout("INIT_COMPLETE: answered up")) << sim.stderr_text();
    }

    std::string ctl(const std::string &option)
    {
        Process tool({bin_path("vornmgrctl"), option});
        EXPECT_EQ(tool.wait_exit(60s), exited_with(0)) << option << "\n" << tool.stderr_text();
        return tool.stdout_text();
    }

    NotifySocket notify;
    std::optional<Process> manager;
    std::list<Process> sims;
};

TEST_F(ModsimWithManager, FailureReasonMakesTheManagerRecordFailure)
{
    start({"--fail=busy", "stp"});
    start({"ospf"});
    ctl("-m1");
    const std::string status = ctl("-s");
    EXPECT_NE(status.find(" stp             : Maintenance, warm, failure"), std::string::npos) << status;
    EXPECT_NE(status.find(" ospf            : Maintenance, warm, down"), std::string::npos) << status;
    // The manager's log is read by another thread: wait for its last line.
    ASSERT_TRUE(manager->wait_for_stderr("Send down for module stp\n"));
    EXPECT_EQ(manager->stderr_text().find("cond timeout"), std::string::npos) << manager->stderr_text();
}

TEST_F(ModsimWithManager, SilenceMakesThatPositionTimeOutAndTheRestGoOn)
{
    start({"--silent", "bgp"});
    start({"stp"});
    ctl("-m1");
    ASSERT_TRUE(manager->wait_for_stderr("Send down for module stp\n")) << manager->stderr_text();
    const std::string log = manager->stderr_text();
    EXPECT_NE(log.find(" ERR bgp: cond timeout error (110) Expected 2 responses, received 1 (Connection timed out)\n"),
              std::string::npos)
        << log;
    // stp's position, after bgp's, completes with both answers.
    EXPECT_NE(log.find("GOING_DOWN ack from bgp for stp ("), std::string::npos) << log;
    EXPECT_NE(log.find("GOING_DOWN ack from stp for stp ("), std::string::npos) << log;
    EXPECT_EQ(log.find("ERR stp:"), std::string::npos) << log;
    EXPECT_LT(log.find("Send down for module bgp"), log.find("Send going down module stp")) << log;
}
