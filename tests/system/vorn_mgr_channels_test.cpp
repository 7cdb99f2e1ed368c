// SPDX-License-Identifier: Apache-2.0
// The publish channel's recovery, run on the manager's own code with real
// sockets (in the sandbox): a failed broadcast recreates the channel, and a
// channel that fails again at once is not recreated in a tight loop.

#include "log_capture.h"
#include "vorn_mgr.h"
#include "vorn_test_support.h"

#include <gtest/gtest.h>

#include <string>

using namespace vorn_test;

namespace {

constexpr std::int32_t PRIME = 9998;
const Bytes PROBE_PACKAGE = ints({12, PRIME, 8});

bool is_prime(const Bytes &broadcast)
{
    return int_at(broadcast, 4) == PRIME;
}

// Publishes until the listener receives one: its handshake may be done before
// the publish socket has taken in its subscription. Each call's packages are
// numbered apart, so that one still queued from before a reconnection does
// not count.
bool subscription_in_effect(FakeModule &listener, int handshakes)
{
    static std::int32_t round = 0;
    if (!listener.wait_subscribed(handshakes))
        return false;
    const Bytes prime = ints({16, PRIME, 12, ++round});
    for (int attempt = 0; attempt < 100; attempt++) {
        vornmgr_pub_msg(int(prime.size()), prime.data());
        if (listener.next_broadcast_where([&](const Bytes &b) { return b == prime; }, 100ms))
            return true;
    }
    return false;
}

// Makes the publish channel fail; the socket notices at its next command
// check, so wait until a send fails (without restarting the channel).
bool break_publish_channel()
{
    vornmgr_fail_pub_channel();
    return wait_until([] { return vornmgr_pub_send_no_restart(int(PROBE_PACKAGE.size()), PROBE_PACKAGE.data()) < 0; });
}

class PublishChannel : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(getenv("SANDBOX"), nullptr) << "runs only inside tools/sandbox";
        ASSERT_EQ(vornmgr_create_pub_channel(), 1);
        ASSERT_TRUE(subscription_in_effect(listener, 1));
    }
    void TearDown() override { vornmgr_destroy_pub_channel(); }

    FakeModule listener;
};

TEST_F(PublishChannel, FailedBroadcastRecreatesTheChannelForTheNextOne)
{
    ASSERT_TRUE(break_publish_channel());
    LogCapture capture;
    EXPECT_FALSE(vornmgr_publish_dummy_nl_status());
    const std::string log = capture.text();
    EXPECT_NE(log.find(" ERR failed publish len 12 (send -1) Context was terminated\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" ERR restarting publish channel\n"), std::string::npos) << log;

    // The listener reconnects to the new socket; broadcasts reach it again.
    ASSERT_TRUE(subscription_in_effect(listener, 2));
    EXPECT_TRUE(vornmgr_publish_dummy_nl_status());
    EXPECT_EQ(listener.next_broadcast_where([](const Bytes &b) { return !is_prime(b); }, 10s),
              ints({12, 109, 8}));
}

TEST_F(PublishChannel, ChannelThatFailsAgainAtOnceIsNotRecreatedInALoop)
{
    ASSERT_TRUE(break_publish_channel());
    LogCapture capture;
    EXPECT_FALSE(vornmgr_publish_dummy_nl_status());  // recreated at once
    EXPECT_TRUE(break_publish_channel());
    EXPECT_FALSE(vornmgr_publish_dummy_nl_status());  // too soon: left for later
    EXPECT_FALSE(vornmgr_publish_dummy_nl_status());
    const std::string log = capture.take();

    size_t restarts = 0;
    for (size_t at = log.find("restarting publish channel"); at != std::string::npos;
         at = log.find("restarting publish channel", at + 1))
        restarts++;
    EXPECT_EQ(restarts, 1u) << log;
    EXPECT_NE(log.find(", next restart after 100 ms\n"), std::string::npos) << log;

    // Once the pause has passed, the next failure recreates it.
    ASSERT_TRUE(wait_until([&] {
        vornmgr_publish_dummy_nl_status();
        return capture.take().find("restarting publish channel") != std::string::npos;
    }));
    ASSERT_TRUE(subscription_in_effect(listener, 2));
    EXPECT_TRUE(vornmgr_publish_dummy_nl_status());
}

} // namespace
