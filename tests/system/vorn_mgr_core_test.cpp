// SPDX-License-Identifier: Apache-2.0
// A running vornmgrd in the sandbox, talked to by fake modules over its real
// channels: the registration, load-complete, init-complete and keepalive
// conversation, the relays, and requests that are wrong in every way.

#include "vorn_test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

using namespace vorn_test;

namespace {

constexpr std::int32_t FRR = 2, BGP = 3, STP = 5, TRELL = 6, SWIVEND = 7, SDK = 8, SYSTEM_SERVICES = 9;
constexpr std::int32_t LOAD_COMPLETE = 3, INIT_COMPLETE = 4, KEEP_ALIVE_RESP = 5, MODULE_STATUS_RESP = 6,
                       MODULE_REGISTER = 7, MODULE_UNREGISTER = 8, UP = 103, MODE_INFO = 104, MOD_LIST = 105,
                       NETWORK_LAYER_INFO = 109, ISSU_INFO = 200;
constexpr std::int32_t REBOOT_COLD = 0x1, REBOOT_WARM = 0x4;

const Bytes ACK = ints({12, 107, 8});
const Bytes NACK = ints({12, 108, 8});

// The subscriber's handshake may be done before the manager has taken in its
// subscription: relay harmless notices until one reaches the listener, so
// that the broadcasts under test cannot be dropped.
bool subscription_in_effect(FakeModule &sender, FakeModule &listener)
{
    if (!listener.wait_subscribed())
        return false;
    const Bytes notice = pkg(msg(ISSU_INFO, {0, 0, 0}));
    for (int attempt = 0; attempt < 100; attempt++) {
        if (sender.request(notice) != ACK)
            return false;
        if (listener.next_broadcast_where([&](const Bytes &b) { return b == notice; }, 100ms))
            return true;
    }
    return false;
}

class ManagerCore : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(getenv("SANDBOX"), nullptr) << "runs only inside tools/sandbox";
        manager = std::make_unique<Process>(std::vector<std::string>{bin_path("vornmgrd")},
                                            ProcessOptions{.env = {notify.env()}});
        ASSERT_TRUE(notify.wait_for("READY=1")) << manager->stderr_text();
    }
    void TearDown() override
    {
        if (!manager)
            return;
        manager->kill(SIGTERM);
        EXPECT_EQ(manager->wait_exit(), exited_with(0)) << manager->stderr_text();
    }
    bool logged(std::string_view text) { return manager->wait_for_stderr(text); }

    NotifySocket notify;
    std::unique_ptr<Process> manager;
};

TEST_F(ManagerCore, ModuleRegistersLoadsInitialisesAndAnswersKeepalives)
{
    FakeModule stp;
    ASSERT_TRUE(subscription_in_effect(stp, stp));
    EXPECT_EQ(stp.request(pkg(msg(MODULE_REGISTER, {STP})), 10s), ACK);
    EXPECT_TRUE(logged(" stp Register\n"));
    EXPECT_EQ(stp.request(pkg(msg(LOAD_COMPLETE, {STP, REBOOT_COLD, LOAD_COMPLETE, 0}))),
              ints({32, MODE_INFO, 20, STP, REBOOT_COLD, UP, MOD_LIST, 8}));
    EXPECT_TRUE(logged(" load complete from stp cold up\n"));
    EXPECT_TRUE(logged(" 0 modules already up\n"));

    const Bytes up = ints({28, UP, 24, STP, REBOOT_COLD, UP, 0});
    EXPECT_EQ(stp.request(pkg(msg(INIT_COMPLETE, {STP, REBOOT_COLD, UP, 0}))), up);
    EXPECT_EQ(stp.next_broadcast_of_type(UP), up);
    EXPECT_TRUE(logged(" init complete from stp cold up\n"));

    // Another module that loads now sees the first one up.
    FakeModule sdk;
    EXPECT_EQ(sdk.request(pkg(msg(MODULE_REGISTER, {SDK}))), ACK);
    EXPECT_EQ(sdk.request(pkg(msg(LOAD_COMPLETE, {SDK, 0, 0, 0}))),
              ints({36, MODE_INFO, 20, SDK, REBOOT_COLD, UP, MOD_LIST, 12, STP}));

    EXPECT_EQ(stp.request(pkg(msg(KEEP_ALIVE_RESP, {0, STP, REBOOT_COLD, UP, 0}))), ACK);
    EXPECT_EQ(stp.request(pkg(msg(MODULE_UNREGISTER, {STP}))), ACK);
}

TEST_F(ManagerCore, InvalidIdentifiersAreRefused)
{
    FakeModule module;
    EXPECT_EQ(module.request(pkg(msg(MODULE_REGISTER, {10}))), NACK);
    EXPECT_TRUE(logged(" ERR Invalid Module 0xa\n"));
    EXPECT_EQ(module.request(pkg(msg(MODULE_REGISTER, {-1}))), NACK);
    EXPECT_TRUE(logged(" ERR Invalid Module 0xffffffff\n"));
    EXPECT_EQ(module.request(pkg(msg(INIT_COMPLETE, {-1, 0, 0, 0}))), NACK);
    EXPECT_TRUE(logged(" ERR Invalid mod id (-1) or null buffer\n"));
}

TEST_F(ManagerCore, SwitchDaemonStatusAnswerSetsTheModeThatLaterRepliesCarry)
{
    FakeModule swivend;
    EXPECT_EQ(swivend.request(pkg(msg(MODULE_STATUS_RESP, {SWIVEND, REBOOT_WARM, UP, 0}))), ACK);
    EXPECT_TRUE(logged(" module status response from swivend Mode warm State up\n"));

    // The wire example: system services loading while only the switch daemon is up.
    FakeModule services;
    const Bytes expected = {0x24, 0, 0, 0, 0x68, 0, 0, 0, 0x14, 0, 0, 0, 0x09, 0, 0, 0, 0x04, 0, 0, 0,
                            0x67, 0, 0, 0, 0x69, 0, 0, 0, 0x0c, 0, 0, 0, 0x07, 0, 0, 0};
    EXPECT_EQ(services.request(pkg(msg(LOAD_COMPLETE, {SYSTEM_SERVICES, 0, 0, 0}))), expected);
}

TEST_F(ManagerCore, NetworkLayerInfoIsAcknowledgedAndRebroadcastByteForByte)
{
    FakeModule frr;
    FakeModule listener;
    ASSERT_TRUE(subscription_in_effect(frr, listener));
    const Bytes notice = pkg(msg(NETWORK_LAYER_INFO, {8, 0x11223344, 0x55667788}));
    EXPECT_EQ(frr.request(notice), ACK);
    EXPECT_EQ(listener.next_broadcast_of_type(NETWORK_LAYER_INFO), notice);
    EXPECT_TRUE(logged(" process network layer info\n"));

    // Layer 3 is now announced: a link-aggregation daemon coming up later
    // gets the announcement again after its UP.
    FakeModule trell;
    const Bytes up = ints({28, UP, 24, TRELL, REBOOT_COLD, UP, 0});
    EXPECT_EQ(trell.request(pkg(msg(INIT_COMPLETE, {TRELL, REBOOT_COLD, UP, 0}))), up);
    EXPECT_EQ(listener.next_broadcast_of_type(UP), up);
    EXPECT_EQ(listener.next_broadcast(), ints({12, NETWORK_LAYER_INFO, 8}));
}

TEST_F(ManagerCore, IssuInfoIsRelayedWithItsLogLine)
{
    FakeModule services;
    FakeModule listener;
    ASSERT_TRUE(subscription_in_effect(services, listener));
    const Bytes notice = pkg(msg(ISSU_INFO, {SYSTEM_SERVICES, 2, 3}));
    EXPECT_EQ(services.request(notice), ACK);
    EXPECT_EQ(listener.next_broadcast_of_type(ISSU_INFO), notice);
    EXPECT_TRUE(logged(" issu info from System Services action ISSU End status ISSU In Progress\n"));
}

TEST_F(ManagerCore, BadRequestsAreRefusedAndEveryOtherModuleIsStillServed)
{
    FakeModule bad;
    FakeModule good;
    const Bytes bad_requests[] = {
        pkg(msg(9)),                             // unknown type
        ints({4}),                               // no message
        ints({64, MODULE_REGISTER, 12, STP}),    // total_len beyond the bytes
        ints({16, MODULE_REGISTER, 4, STP}),     // len below the header
        ints({16, MODULE_REGISTER, 400, STP}),   // len past the package
        ints({12, MODULE_REGISTER, 8}),          // no payload
        Bytes(2000, 0x01),                       // over 1024 bytes
        Bytes{1, 2},                             // not even a length
    };
    for (const Bytes &request : bad_requests) {
        EXPECT_EQ(bad.request(request), NACK) << to_hex(request);
        EXPECT_EQ(good.request(pkg(msg(MODULE_REGISTER, {BGP}))), ACK) << "after " << to_hex(request);
    }
    EXPECT_TRUE(logged(" vornmgr_process_message:9 unknown request 0x8 len\n"));
    EXPECT_EQ(manager->stderr_text().find("restarting comm channel"), std::string::npos) << manager->stderr_text();

    // Two messages in one package: one reply, for the first.
    EXPECT_EQ(bad.request(pkg(msg(MODULE_REGISTER, {FRR}), msg(MODULE_REGISTER, {SDK}))), ACK);
    EXPECT_TRUE(logged(" frr Register\n"));
    EXPECT_TRUE(logged(" ignored further message 0x7 in one request package\n"));
    EXPECT_EQ(manager->stderr_text().find(" sdk Register"), std::string::npos);
}

TEST_F(ManagerCore, ModuleThatNeverReadsItsReplyDoesNotBlockOthers)
{
    // A request socket that sends and goes away leaves the manager with a
    // reply nobody reads; the next module must still be answered.
    {
        zmq::context_t context;
        zmq::socket_t gone(context, zmq::socket_type::req);
        gone.set(zmq::sockopt::linger, 1000);
        gone.connect(COMM_ENDPOINT);
        const Bytes request = pkg(msg(MODULE_REGISTER, {STP}));
        gone.send(zmq::buffer(request), zmq::send_flags::none);
        EXPECT_TRUE(logged(" stp Register\n"));
    }
    FakeModule next;
    EXPECT_EQ(next.request(pkg(msg(MODULE_REGISTER, {SDK}))), ACK);
}

} // namespace
