// SPDX-License-Identifier: Apache-2.0
// The take-down and bring-up sequence, run directly on the manager's own code
// with its real channels (in the sandbox), against fake modules that answer
// each GO_DOWN broadcast from threads of their own.

#include "log_capture.h"
#include "vorn_mgr.h"
#include "vorn_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

using namespace vorn_test;

namespace {

const Bytes ACK_BYTES = ints({12, 107, 8});
// Published by the test at the end: every answering module's thread stops.
constexpr std::int32_t END_OF_TEST = 9999;
// Published until a new subscriber receives one: its handshake may be done
// before the publish socket has taken in its subscription.
constexpr std::int32_t PRIME = 9998;

bool is_prime(const Bytes &broadcast)
{
    return int_at(broadcast, 4) == PRIME;
}

bool subscription_in_effect(FakeModule &module)
{
    if (!module.wait_subscribed())
        return false;
    const std::int32_t prime[3] = {12, PRIME, 8};
    for (int attempt = 0; attempt < 100; attempt++) {
        vornmgr_pub_msg(sizeof prime, prime);
        if (module.next_broadcast_where(is_prime, 100ms))
            return true;
    }
    return false;
}

struct Seen {
    std::int32_t type;
    std::int32_t mod;
    std::int32_t mode;
    bool operator==(const Seen &) const = default;
};
std::ostream &operator<<(std::ostream &out, const Seen &seen)
{
    return out << "{" << seen.type << ", " << seen.mod << ", 0x" << std::hex << seen.mode << std::dec << "}";
}

// A registered module that answers every GO_DOWN broadcast, whichever module
// it names, as modules must; its own answer carries `failure_reason`.
class AnsweringModule {
public:
    AnsweringModule(Module id, bool silent = false, Failure_Reason failure_reason = NO_ERROR)
        : id_(id), silent_(silent), failure_reason_(failure_reason)
    {
        EXPECT_EQ(module_.request(pkg(vorn_test::msg(MODULE_REGISTER, {id}))), ACK_BYTES);
        EXPECT_TRUE(subscription_in_effect(module_));
        thread_ = std::thread([this] { run(); });
    }
    ~AnsweringModule()
    {
        if (thread_.joinable())
            thread_.join();
    }
    std::vector<Seen> seen()
    {
        std::lock_guard<std::mutex> guard(mutex_);
        return seen_;
    }

private:
    void run()
    {
        for (;;) {
            std::optional<Bytes> broadcast = module_.next_broadcast(120s);
            if (!broadcast)
                return;
            auto messages = parse_pkg(*broadcast);
            if (!messages || messages->empty())
                continue;
            const WireMessage &message = messages->front();
            if (message.type == END_OF_TEST)
                return;
            if (message.type == PRIME)
                continue;
            const std::vector<std::int32_t> fields = message.fields();
            if (fields.size() < 3)
                continue;
            {
                std::lock_guard<std::mutex> guard(mutex_);
                seen_.push_back({message.type, fields[0], fields[1]});
            }
            if (message.type != GO_DOWN || silent_)
                continue;
            const std::int32_t reason = fields[0] == id_ ? failure_reason_ : NO_ERROR;
            EXPECT_EQ(module_.request(pkg(vorn_test::msg(GO_DOWN, {fields[0], id_, fields[1], GO_DOWN, reason}))), ACK_BYTES);
        }
    }

    Module id_;
    bool silent_;
    Failure_Reason failure_reason_;
    FakeModule module_;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Seen> seen_;
};

class Administration : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(getenv("SANDBOX"), nullptr) << "runs only inside tools/sandbox";
        operative_mode = REBOOT_COLD;
        required_state = UP;
        ASSERT_EQ(vornmgr_start_channels(), 1);
        ASSERT_TRUE(subscription_in_effect(listener));
    }
    void TearDown() override
    {
        const std::int32_t end[3] = {12, END_OF_TEST, 8};
        vornmgr_pub_msg(sizeof end, end);
        modules.clear();
        vornmgr_request_stop();
        vornmgr_join_comm_thread();
        vornmgr_destroy_comm_channel();
        vornmgr_destroy_pub_channel();
    }

    AnsweringModule &add(Module id, bool silent = false, Failure_Reason failure_reason = NO_ERROR)
    {
        modules.push_back(std::make_unique<AnsweringModule>(id, silent, failure_reason));
        return *modules.back();
    }
    // The broadcasts of the sequence, as the listener received them.
    std::vector<Seen> broadcasts(size_t count)
    {
        std::vector<Seen> seen;
        while (seen.size() < count) {
            std::optional<Bytes> broadcast =
                listener.next_broadcast_where([](const Bytes &b) { return !is_prime(b); }, 30s);
            if (!broadcast)
                break;
            auto messages = parse_pkg(*broadcast);
            if (!messages || messages->empty())
                continue;
            const std::vector<std::int32_t> fields = messages->front().fields();
            seen.push_back({messages->front().type, fields.size() > 0 ? fields[0] : -1,
                            fields.size() > 1 ? fields[1] : -1});
        }
        return seen;
    }
    static State state_of(Module mod) { return vornmgr_registry_snapshot()[mod].mod_status.mode.state; }

    // Installed before SetUp starts the comm receive thread, which logs, and
    // dropped after TearDown joined it; a case reads its own step's lines with
    // take().
    LogCapture capture;
    FakeModule listener;
    std::vector<std::unique_ptr<AnsweringModule>> modules;
};

TEST_F(Administration, TakesModulesDownInLayeringOrderAsSoonAsAllAnswered)
{
    add(SDK);
    add(SWIVEND);
    add(SYSTEM_SERVICES);
    capture.take();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(vornmgr_admin_modules(REBOOT_WARM, ALL_MODULES, false));
    const auto took = std::chrono::steady_clock::now() - start;
    const std::string log = capture.take();

    const std::vector<Seen> expected = {{GO_DOWN, SYSTEM_SERVICES, REBOOT_WARM}, {DOWN, SYSTEM_SERVICES, REBOOT_WARM},
                                        {GO_DOWN, SWIVEND, REBOOT_WARM},         {DOWN, SWIVEND, REBOOT_WARM},
                                        {GO_DOWN, SDK, REBOOT_WARM},             {DOWN, SDK, REBOOT_WARM}};
    EXPECT_EQ(broadcasts(expected.size()), expected);
    // Waiting out even the first position's time-out would take 9 s or more.
    EXPECT_LT(took, std::chrono::seconds(9)) << log;
    EXPECT_EQ(log.find("cond timeout"), std::string::npos) << log;
    EXPECT_NE(log.find(" Send going down module System Services\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" for swivend (3 of 3)\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" Send down for module sdk\n"), std::string::npos) << log;
    for (Module mod : {SYSTEM_SERVICES, SWIVEND, SDK})
        EXPECT_EQ(state_of(mod), DOWN) << mod;
    EXPECT_EQ(operative_mode.load(), REBOOT_WARM);
    EXPECT_EQ(required_state.load(), DOWN);
}

TEST_F(Administration, SilentModuleRunsIntoThePositionsTimeOutAndLateAnswersChangeNothing)
{
    add(BGP);
    add(STP);
    add(SDK, true);
    capture.take();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(vornmgr_admin_modules(REBOOT_FAST, BGP, false));
    const auto took = std::chrono::steady_clock::now() - start;
    // The late answer is handled before its ACK comes back.
    FakeModule late;
    EXPECT_EQ(late.request(pkg(vorn_test::msg(GO_DOWN, {BGP, SDK, REBOOT_FAST, GO_DOWN, 0}))), ACK_BYTES);
    const std::string log = capture.take();

    // BGP's position allows 5 s, counted in whole seconds of the clock.
    EXPECT_GE(took, std::chrono::seconds(4)) << log;
    EXPECT_NE(log.find(" ERR bgp: cond timeout error (110) Expected 3 responses, received 2 (Connection timed out)\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" GOING_DOWN ack from sdk for bgp (-10 of 3)\n"), std::string::npos) << log;
    EXPECT_EQ(broadcasts(2), (std::vector<Seen>{{GO_DOWN, BGP, REBOOT_FAST}, {DOWN, BGP, REBOOT_FAST}}));
    EXPECT_EQ(state_of(BGP), DOWN);
    EXPECT_EQ(state_of(STP), MODULE_REGISTER);  // only the target was named
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(num_go_down_response_recv, -10);
}

TEST_F(Administration, ModuleThatFailsToGoDownIsRecordedAsFailure)
{
    add(STP, false, BUSY);
    add(SDK);
    EXPECT_TRUE(vornmgr_admin_modules(REBOOT_WARM, STP, false));
    EXPECT_EQ(broadcasts(2), (std::vector<Seen>{{GO_DOWN, STP, REBOOT_WARM}, {DOWN, STP, REBOOT_WARM}}));
    EXPECT_EQ(state_of(STP), FAILURE);
    EXPECT_EQ(state_of(SDK), MODULE_REGISTER);
}

TEST_F(Administration, UnregisteredTargetIsSkippedWithoutBroadcast)
{
    add(SDK);
    capture.take();
    EXPECT_TRUE(vornmgr_admin_modules(REBOOT_WARM, BGP, false));
    const std::string log = capture.take();
    EXPECT_EQ(log.find("Send going down"), std::string::npos) << log;
    EXPECT_EQ(state_of(SDK), MODULE_REGISTER);
}

TEST_F(Administration, BringUpIsOneComeUpAndTheLayerThreeAnnouncement)
{
    add(STP);
    add(SWIVEND);
    required_state = DOWN;
    EXPECT_TRUE(vornmgr_admin_modules(REBOOT_COLD, ALL_MODULES, true));
    const auto not_prime = [](const Bytes &b) { return !is_prime(b); };
    EXPECT_EQ(listener.next_broadcast_where(not_prime, 30s), ints({24, COME_UP, 20, ALL_MODULES, REBOOT_COLD, COME_UP}));
    EXPECT_EQ(listener.next_broadcast_where(not_prime, 30s), ints({12, NETWORK_LAYER_INFO, 8}));
    EXPECT_EQ(required_state.load(), UP);
    for (Module mod : {STP, SWIVEND}) {
        EXPECT_EQ(state_of(mod), COME_UP) << mod;
        EXPECT_EQ(vornmgr_registry_snapshot()[mod].mod_status.mode.mode, REBOOT_COLD) << mod;
    }
}

TEST_F(Administration, NothingRegisteredMeansNothingBroadcast)
{
    capture.take();
    EXPECT_TRUE(vornmgr_admin_modules(static_cast<Mode>(MAINTENANCE | REBOOT_COLD), ALL_MODULES, false));
    const std::string log = capture.take();
    EXPECT_NE(log.find(" no registered modules\n"), std::string::npos) << log;
    EXPECT_EQ(operative_mode.load(), MAINTENANCE | REBOOT_COLD);
    // Modules that register from now on are told to stay down.
    EXPECT_EQ(required_state.load(), DOWN);
    // The first broadcast the listener gets is the test's own end marker.
    const std::int32_t marker[3] = {12, 4242, 8};
    vornmgr_pub_msg(sizeof marker, marker);
    EXPECT_EQ(listener.next_broadcast_where([](const Bytes &b) { return !is_prime(b); }, 30s), ints({12, 4242, 8}));
}

} // namespace
