// SPDX-License-Identifier: Apache-2.0
// The request path from a received package to the bytes sent back: the
// package walk, every handler's reply and registry effect, the go-down
// counting, the relays, and that none of it allocates per message.
//
// The manager's package sender (vornmgr_package_sender) is this program's,
// so every reply and broadcast lands in `wire` instead of on a socket: the
// comm socket is the token `comm`, broadcasts go to the (absent) publish
// socket, nullptr.

#include "vorn_mgr.h"

#include "log_capture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct SentPackage {
    void *sock;
    size_t len;
    std::array<uint8_t, VORNMGR_MAX_PKG_LEN> bytes;
};

// Fixed storage: the allocation test runs through these sends too.
struct Wire {
    std::array<SentPackage, 8> sent;
    size_t count = 0;
    int fail_sends_to = -1;  // index of the send to fail, -1 for none
    int sends_seen = 0;
} wire;

void *const comm = reinterpret_cast<void *>(0x1);

int send_to_wire(void *sock, const void *buf, size_t len, int /*flags*/)
{
    const int index = wire.sends_seen++;
    if (index == wire.fail_sends_to) {
        errno = EAGAIN;
        return -1;
    }
    if (wire.count < wire.sent.size() && len <= VORNMGR_MAX_PKG_LEN) {
        SentPackage &package = wire.sent[wire.count++];
        package.sock = sock;
        package.len = len;
        memcpy(package.bytes.data(), buf, len);
    }
    return int(len);
}

} // namespace

// Allocation counting for the calling thread (not under the sanitizers, which
// own malloc themselves).
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define VORN_COUNT_ALLOCATIONS 1
extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);
namespace {
thread_local bool counting_allocations = false;
thread_local int allocations = 0;
}
extern "C" void *malloc(size_t size)
{
    allocations += counting_allocations;
    return __libc_malloc(size);
}
extern "C" void *calloc(size_t count, size_t size)
{
    allocations += counting_allocations;
    return __libc_calloc(count, size);
}
extern "C" void *realloc(void *block, size_t size)
{
    allocations += counting_allocations;
    return __libc_realloc(block, size);
}
#endif

namespace {

Bytes ints(std::initializer_list<int32_t> values)
{
    Bytes bytes(values.size() * 4);
    size_t at = 0;
    for (int32_t value : values) {
        memcpy(bytes.data() + at, &value, 4);
        at += 4;
    }
    return bytes;
}

// One package holding one message of the given type and int32 payload.
Bytes request(int32_t type, std::initializer_list<int32_t> payload = {})
{
    const int32_t len = 8 + int32_t(payload.size()) * 4;
    Bytes bytes = ints({4 + len, type, len});
    Bytes rest = ints(payload);
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    return bytes;
}

Bytes sent_bytes(size_t index)
{
    const SentPackage &package = wire.sent.at(index);
    return Bytes(package.bytes.begin(), package.bytes.begin() + package.len);
}

const Bytes ack = ints({12, 107, 8});
const Bytes nack = ints({12, 108, 8});

class Dispatch : public ::testing::Test {
protected:
    vorn_test::LogCapture capture;
    std::string log;
    const vornmgr_sender_fn manager_sender = vornmgr_package_sender;

    void SetUp() override
    {
        vornmgr_package_sender = send_to_wire;
        {
            std::lock_guard<std::mutex> guard(registry_lock);
            registered_mods = {};
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            mod_id_in_process = -1;
            num_go_down_response_required = 0;
            num_go_down_response_recv = 0;
        }
        operative_mode = REBOOT_COLD;
        required_state = UP;
        broadcast_l3_up = false;
        wire = Wire{};
        // There is no publish channel here to restart, and none may be opened.
        zmq_socket_restart_on_error = false;
    }
    void TearDown() override { vornmgr_package_sender = manager_sender; }

    // Hands the package to the dispatcher as the receive loop would, in a
    // buffer of exactly the received size so that any read past it is caught
    // by the address sanitizer. Returns the dispatcher's result.
    bool dispatch(const Bytes &package, int reported_len = -1)
    {
        std::vector<char> received(package.begin(), package.end());
        wire.count = 0;
        wire.sends_seen = 0;
        const bool result = vornmgr_process_message(
            comm, reported_len < 0 ? int(received.size()) : reported_len, received.data());
        log = capture.take();
        return result;
    }
    // The one reply on the comm socket, or an empty vector.
    Bytes only_reply()
    {
        Bytes reply;
        int replies = 0;
        for (size_t i = 0; i < wire.count; i++) {
            if (wire.sent[i].sock == comm) {
                reply = sent_bytes(i);
                replies++;
            }
        }
        EXPECT_EQ(replies, 1) << log;
        return reply;
    }
    bool logged(const std::string &text) const { return log.find(text) != std::string::npos; }
    static registered_modules_t row(Module mod) { return vornmgr_registry_snapshot()[mod]; }
    static void enter(Module mod, State state)
    {
        std::lock_guard<std::mutex> guard(registry_lock);
        registered_mods[mod].mod_status.mode.mod = mod;
        registered_mods[mod].mod_status.mode.state = state;
    }
};

// ---------------------------------------------------------------------------
// Registration, keepalives, status answers

TEST_F(Dispatch, RegisterIsAcknowledgedAndCountsStarts)
{
    const time_t before = time(nullptr);
    EXPECT_TRUE(dispatch(request(MODULE_REGISTER, {STP})));
    EXPECT_EQ(only_reply(), ack);
    EXPECT_TRUE(logged(" stp Register\n")) << log;
    registered_modules_t stp = row(STP);
    EXPECT_EQ(stp.num_starts, 1);
    EXPECT_EQ(stp.mod_status.mode.mod, STP);
    EXPECT_EQ(stp.mod_status.mode.state, MODULE_REGISTER);
    EXPECT_GE(stp.start_time, before);

    dispatch(request(MODULE_REGISTER, {STP}));
    dispatch(request(MODULE_REGISTER, {STP}));
    EXPECT_EQ(row(STP).num_starts, 3);
}

TEST_F(Dispatch, UnregisteredModuleIsNotCountedUntilItRegistersAgain)
{
    dispatch(request(MODULE_REGISTER, {BGP}));
    EXPECT_TRUE(dispatch(request(MODULE_UNREGISTER, {BGP})));
    EXPECT_EQ(only_reply(), ack);
    EXPECT_FALSE(vornmgr_is_mod_registered(BGP));
    EXPECT_EQ(vornmgr_num_l3_mod_present(), 0);
    EXPECT_EQ(vornmgr_get_num_active_modules(), 0);
    // The row stays for the status report.
    EXPECT_EQ(row(BGP).mod_status.mode.mod, BGP);
    EXPECT_EQ(row(BGP).mod_status.mode.state, MODULE_UNREGISTER);
    EXPECT_EQ(row(BGP).start_time, 0);
    EXPECT_EQ(row(BGP).num_starts, 1);
    dispatch(request(MODULE_REGISTER, {BGP}));
    EXPECT_TRUE(vornmgr_is_mod_registered(BGP));
    EXPECT_EQ(row(BGP).num_starts, 2);

    dispatch(request(MODULE_UNREGISTER, {OSPF}));  // never registered
    EXPECT_EQ(only_reply(), ack);
    EXPECT_FALSE(vornmgr_is_mod_registered(OSPF));
    EXPECT_EQ(row(OSPF).mod_status.mode.state, MODULE_UNREGISTER);
}

TEST_F(Dispatch, InvalidSendersAreRefusedWithNack)
{
    EXPECT_TRUE(dispatch(request(MODULE_REGISTER, {10})));
    EXPECT_EQ(only_reply(), nack);
    EXPECT_TRUE(logged(" ERR Invalid Module 0xa\n")) << log;
    dispatch(request(MODULE_REGISTER, {-1}));
    EXPECT_EQ(only_reply(), nack);
    EXPECT_TRUE(logged(" ERR Invalid Module 0xffffffff\n")) << log;

    dispatch(request(KEEP_ALIVE_RESP, {5, 10, 0, 0, 0}));
    EXPECT_EQ(only_reply(), nack);
    dispatch(request(MODULE_STATUS_RESP, {-1, REBOOT_WARM, UP, 0}));
    EXPECT_EQ(only_reply(), nack);
    EXPECT_TRUE(logged(" ERR invalid mod id (-1)\n")) << log;
    dispatch(request(LOAD_COMPLETE, {10, 0, 0, 0}));
    EXPECT_EQ(only_reply(), nack);
    EXPECT_TRUE(logged(" ERR Invalid mod id (10) or null buffer\n")) << log;

    const auto rows = vornmgr_registry_snapshot();
    for (int mod = FRR; mod < MAX_MODULES; mod++)
        EXPECT_EQ(rows[mod].num_starts, 0) << mod;
}

TEST_F(Dispatch, KeepaliveAnswerOfAnUnknownModuleEntersItAsItReportsItself)
{
    EXPECT_TRUE(dispatch(request(KEEP_ALIVE_RESP, {41, OSPF, REBOOT_WARM, UP, 0})));
    EXPECT_EQ(only_reply(), ack);
    EXPECT_EQ(row(OSPF).last_keepalive, 41);
    EXPECT_TRUE(vornmgr_is_mod_registered(OSPF));
    EXPECT_EQ(row(OSPF).mod_status.mode.state, UP);
    EXPECT_EQ(row(OSPF).mod_status.mode.mode, REBOOT_WARM);
    EXPECT_TRUE(logged(" ospf entered as it reports itself: warm, up\n")) << log;

    // Known, its next answer only stores the number.
    dispatch(request(KEEP_ALIVE_RESP, {42, OSPF, REBOOT_COLD, DOWN, 0}));
    EXPECT_EQ(row(OSPF).last_keepalive, 42);
    EXPECT_EQ(row(OSPF).mod_status.mode.state, UP);
}

TEST_F(Dispatch, StatusAnswerOfUnregisteredSwitchDaemonSetsTheSystemMode)
{
    EXPECT_TRUE(dispatch(request(MODULE_STATUS_RESP, {SWIVEND, 0x104, UP, 0})));
    EXPECT_EQ(only_reply(), ack);
    EXPECT_TRUE(logged(" module status response from swivend Mode Maintenance, warm State up\n")) << log;
    EXPECT_TRUE(vornmgr_is_mod_registered(SWIVEND));
    EXPECT_EQ(row(SWIVEND).num_starts, 1);
    EXPECT_EQ(row(SWIVEND).mod_status.mode.mode, 0x104);
    EXPECT_EQ(operative_mode.load(), 0x104);
    EXPECT_EQ(required_state.load(), UP);

    // Once registered, a further answer changes nothing.
    dispatch(request(MODULE_STATUS_RESP, {SWIVEND, REBOOT_COLD, DOWN, 0}));
    EXPECT_EQ(only_reply(), ack);
    EXPECT_EQ(operative_mode.load(), 0x104);
    EXPECT_EQ(required_state.load(), UP);
    EXPECT_EQ(row(SWIVEND).mod_status.mode.state, UP);
}

TEST_F(Dispatch, StatusAnswerOfAnotherModuleLeavesTheSystemModeAlone)
{
    dispatch(request(MODULE_STATUS_RESP, {STP, REBOOT_FAST, DOWN, 0}));
    EXPECT_EQ(row(STP).mod_status.mode.mode, REBOOT_FAST);
    EXPECT_EQ(row(STP).mod_status.mode.state, DOWN);
    EXPECT_EQ(operative_mode.load(), REBOOT_COLD);
}

TEST_F(Dispatch, StatusAnswerWhoseAckFailsStoresNothing)
{
    wire.fail_sends_to = 0;
    wire.count = 0;
    Bytes package = request(MODULE_STATUS_RESP, {SWIVEND, REBOOT_WARM, UP, 0});
    EXPECT_FALSE(vornmgr_process_message(comm, int(package.size()), reinterpret_cast<char *>(package.data())));
    log = capture.take();
    EXPECT_TRUE(logged(" ERR failed send ack 12 bytes send -1, ")) << log;
    EXPECT_FALSE(vornmgr_is_mod_registered(SWIVEND));
    EXPECT_EQ(operative_mode.load(), REBOOT_COLD);
}

// ---------------------------------------------------------------------------
// LOAD_COMPLETE

TEST_F(Dispatch, LoadCompleteWithNothingUpIs32Bytes)
{
    EXPECT_TRUE(dispatch(request(LOAD_COMPLETE, {STP, REBOOT_COLD, LOAD_COMPLETE, 0})));
    EXPECT_EQ(only_reply(), ints({32, MODE_INFO, 20, STP, REBOOT_COLD, UP, MOD_LIST, 8}));
    EXPECT_TRUE(logged(" load complete from stp cold up\n")) << log;
    EXPECT_TRUE(logged(" 0 modules already up\n")) << log;
    EXPECT_EQ(row(STP).mod_status.mode.state, LOAD_COMPLETE);
    EXPECT_EQ(row(STP).mod_status.mode.mode, REBOOT_COLD);
}

TEST_F(Dispatch, LoadCompleteListsTheOtherModulesThatAreUp)
{
    // The wire example: system services while only the switch daemon is up.
    enter(SWIVEND, UP);
    operative_mode = REBOOT_WARM;
    dispatch(request(LOAD_COMPLETE, {SYSTEM_SERVICES, 0, 0, 0}));
    const Bytes expected = {0x24, 0, 0, 0, 0x68, 0, 0, 0, 0x14, 0, 0, 0, 0x09, 0, 0, 0, 0x04, 0, 0, 0,
                            0x67, 0, 0, 0, 0x69, 0, 0, 0, 0x0c, 0, 0, 0, 0x07, 0, 0, 0};
    EXPECT_EQ(only_reply(), expected);

    enter(FRR, UP);
    enter(BGP, UP);  // the requester itself is never listed
    dispatch(request(LOAD_COMPLETE, {BGP, 0, 0, 0}));
    EXPECT_EQ(only_reply(), ints({40, MODE_INFO, 20, BGP, REBOOT_WARM, UP, MOD_LIST, 16, FRR, SWIVEND}));
    EXPECT_TRUE(logged(" 2 modules already up\n")) << log;
}

TEST_F(Dispatch, LoadCompleteOfUnregisteredLinkAggregationCountsAsItsFirstStart)
{
    dispatch(request(LOAD_COMPLETE, {TRELL, 0, 0, 0}));
    EXPECT_EQ(row(TRELL).num_starts, 1);
    EXPECT_NE(row(TRELL).start_time, 0);
    EXPECT_TRUE(vornmgr_is_mod_registered(TRELL));

    dispatch(request(MODULE_REGISTER, {TRELL}));
    dispatch(request(LOAD_COMPLETE, {TRELL, 0, 0, 0}));
    EXPECT_EQ(row(TRELL).num_starts, 2);

    dispatch(request(LOAD_COMPLETE, {STP, 0, 0, 0}));  // only the link-aggregation daemon
    EXPECT_EQ(row(STP).num_starts, 0);
}

// ---------------------------------------------------------------------------
// INIT_COMPLETE

TEST_F(Dispatch, InitCompleteIsAnsweredAndBroadcastAsUp)
{
    operative_mode = REBOOT_WARM;
    EXPECT_TRUE(dispatch(request(INIT_COMPLETE, {BGP, REBOOT_WARM, UP, 0})));
    const Bytes up = ints({28, UP, 24, BGP, REBOOT_WARM, UP, 0});
    ASSERT_EQ(wire.count, 2u);
    EXPECT_EQ(wire.sent[0].sock, comm);
    EXPECT_EQ(sent_bytes(0), up);
    EXPECT_EQ(wire.sent[1].sock, nullptr);
    EXPECT_EQ(sent_bytes(1), up);
    EXPECT_TRUE(logged(" init complete from bgp warm up\n")) << log;
    EXPECT_TRUE(vornmgr_is_mod_registered(BGP));
    EXPECT_EQ(row(BGP).mod_status.mode.state, UP);
    EXPECT_EQ(row(BGP).mod_status.mode.mode, UNKNOWN_MODE);  // only the switch daemon's mode is kept
}

TEST_F(Dispatch, InitCompleteTakesTheStateTheManagerRequires)
{
    required_state = DOWN;
    dispatch(request(INIT_COMPLETE, {STP, REBOOT_COLD, UP, 0}));
    EXPECT_EQ(only_reply(), ints({28, UP, 24, STP, REBOOT_COLD, DOWN, 0}));
    EXPECT_EQ(row(STP).mod_status.mode.state, DOWN);
}

TEST_F(Dispatch, SwitchDaemonInitInAnotherModeIsLoggedAndKeptInItsRow)
{
    operative_mode = static_cast<Mode>(MAINTENANCE | REBOOT_WARM);
    dispatch(request(INIT_COMPLETE, {SWIVEND, REBOOT_FAST, UP, 0}));
    EXPECT_EQ(only_reply(), ints({28, UP, 24, SWIVEND, 0x104, UP, 0}));
    EXPECT_TRUE(logged(" System mode Maintenance, warm, swivend fast up\n")) << log;
    EXPECT_EQ(row(SWIVEND).mod_status.mode.mode, REBOOT_FAST);
    EXPECT_EQ(operative_mode.load(), 0x104);

    operative_mode = REBOOT_FAST;
    dispatch(request(INIT_COMPLETE, {SWIVEND, REBOOT_FAST, UP, 0}));
    EXPECT_FALSE(logged("System mode")) << log;
}

TEST_F(Dispatch, LinkAggregationInitRepeatsAnAnnouncedLayerThree)
{
    dispatch(request(INIT_COMPLETE, {TRELL, REBOOT_COLD, UP, 0}));
    EXPECT_EQ(wire.count, 2u);  // before the announcement: reply and UP only

    broadcast_l3_up = true;
    dispatch(request(INIT_COMPLETE, {TRELL, REBOOT_COLD, UP, 0}));
    ASSERT_EQ(wire.count, 3u);
    EXPECT_EQ(wire.sent[2].sock, nullptr);
    EXPECT_EQ(sent_bytes(2), ints({12, NETWORK_LAYER_INFO, 8}));
    EXPECT_TRUE(broadcast_l3_up.load());

    dispatch(request(INIT_COMPLETE, {STP, REBOOT_COLD, UP, 0}));  // only for the link-aggregation daemon
    EXPECT_EQ(wire.count, 2u);
}

TEST_F(Dispatch, InitCompleteWhoseReplyFailsBroadcastsNothing)
{
    wire.fail_sends_to = 0;
    Bytes package = request(INIT_COMPLETE, {BGP, REBOOT_WARM, UP, 0});
    EXPECT_FALSE(vornmgr_process_message(comm, int(package.size()), reinterpret_cast<char *>(package.data())));
    log = capture.take();
    EXPECT_TRUE(logged(" ERR failed send 28 bytes (send -1) ")) << log;
    EXPECT_EQ(wire.count, 0u);
    EXPECT_TRUE(vornmgr_is_mod_registered(BGP));  // the row was already updated
}

// ---------------------------------------------------------------------------
// Answers to GO_DOWN

class GoDownAnswers : public Dispatch {
protected:
    void SetUp() override
    {
        Dispatch::SetUp();
        for (Module mod : {STP, SWIVEND, SDK})
            enter(mod, UP);
        vornmgr_await_go_down_answers(STP, 1u << STP | 1u << SWIVEND | 1u << SDK);
    }
    static int received()
    {
        std::lock_guard<std::mutex> guard(lock);
        return num_go_down_response_recv;
    }
};

TEST_F(GoDownAnswers, TheLastAnswerWakesTheWaiter)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    bool woken_before_deadline = false;
    std::thread waiter([&] {
        std::unique_lock<std::mutex> held(lock);
        cond.wait_until(held, deadline, [] { return num_go_down_response_recv >= num_go_down_response_required; });
        woken_before_deadline = std::chrono::steady_clock::now() < deadline;
    });
    EXPECT_TRUE(dispatch(request(GO_DOWN, {STP, SWIVEND, 0, 0, 0})));
    EXPECT_EQ(only_reply(), ack);
    EXPECT_TRUE(logged(" GOING_DOWN ack from swivend for stp (1 of 3)\n")) << log;
    dispatch(request(GO_DOWN, {STP, SDK, 0, 0, 0}));
    dispatch(request(GO_DOWN, {STP, STP, 0, 0, 0}));
    EXPECT_TRUE(logged(" GOING_DOWN ack from stp for stp (3 of 3)\n")) << log;
    waiter.join();
    EXPECT_TRUE(woken_before_deadline);
    EXPECT_EQ(received(), 3);
}

TEST_F(GoDownAnswers, AnswerAboutAnotherModuleIsOnlyLogged)
{
    dispatch(request(GO_DOWN, {FRR, SDK, 0, 0, 0}));
    EXPECT_EQ(only_reply(), ack);
    EXPECT_TRUE(logged(" frr: delayed going_down response\n")) << log;
    EXPECT_EQ(received(), 0);
}

TEST_F(GoDownAnswers, TheNamedModulesOwnAnswerRecordsWhetherItWentDown)
{
    operative_mode = REBOOT_FAST;
    dispatch(request(GO_DOWN, {STP, STP, 0, 0, BUSY}));
    EXPECT_EQ(row(STP).mod_status.mode.state, FAILURE);
    EXPECT_EQ(row(STP).mod_status.mode.mode, REBOOT_FAST);
    dispatch(request(GO_DOWN, {STP, STP, 0, 0, NO_ERROR}));
    EXPECT_EQ(row(STP).mod_status.mode.state, DOWN);
    dispatch(request(GO_DOWN, {STP, SDK, 0, 0, BUSY}));  // another module's answer: no state
    EXPECT_EQ(row(SDK).mod_status.mode.state, UP);
}

TEST_F(GoDownAnswers, AnswerWhoseAckFailsIsNotCounted)
{
    wire.fail_sends_to = 0;
    Bytes package = request(GO_DOWN, {STP, SDK, 0, 0, 0});
    EXPECT_FALSE(vornmgr_process_message(comm, int(package.size()), reinterpret_cast<char *>(package.data())));
    log = capture.take();
    EXPECT_TRUE(logged(" ERR failed send len 12 (send -1) ")) << log;
    EXPECT_EQ(received(), 0);
}

TEST_F(GoDownAnswers, EachAwaitedModuleCountsOnce)
{
    // However often one sender answers, and whatever senders the position does
    // not await claim, only the awaited modules' own answers complete it.
    for (int again = 0; again < 8; again++)
        dispatch(request(GO_DOWN, {STP, SWIVEND, 0, 0, 0}));
    EXPECT_EQ(only_reply(), ack) << "each answer is still acknowledged";
    dispatch(request(GO_DOWN, {STP, FRR, 0, 0, 0}));
    dispatch(request(GO_DOWN, {STP, 42, 0, 0, 0}));
    EXPECT_EQ(received(), 1);
    dispatch(request(GO_DOWN, {STP, SDK, 0, 0, 0}));
    EXPECT_EQ(received(), 2) << "the position is not complete without stp";
    dispatch(request(GO_DOWN, {STP, STP, 0, 0, 0}));
    EXPECT_EQ(received(), 3);
}

TEST_F(GoDownAnswers, LateAnswersAfterATimeOutCannotCompleteTheWait)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        num_go_down_response_recv = -11;
    }
    dispatch(request(GO_DOWN, {STP, SDK, 0, 0, 0}));
    EXPECT_TRUE(logged(" GOING_DOWN ack from sdk for stp (-10 of 3)\n")) << log;
    EXPECT_EQ(received(), -10);
}

// ---------------------------------------------------------------------------
// Relays

TEST_F(Dispatch, NetworkLayerInfoIsAcknowledgedThenRelayedUnchanged)
{
    const Bytes package = request(NETWORK_LAYER_INFO, {5, 0x01020304, -7, 99, 12345});
    EXPECT_TRUE(dispatch(package));
    ASSERT_EQ(wire.count, 2u);
    EXPECT_EQ(wire.sent[0].sock, comm);
    EXPECT_EQ(sent_bytes(0), ack);
    EXPECT_EQ(wire.sent[1].sock, nullptr);  // the publish socket
    EXPECT_EQ(sent_bytes(1), package);
    EXPECT_TRUE(broadcast_l3_up.load());
    EXPECT_TRUE(logged(" process network layer info\n")) << log;
}

TEST_F(Dispatch, FailedRelayClearsTheLayerThreeAnnouncement)
{
    broadcast_l3_up = true;
    wire.fail_sends_to = 1;  // the relay, after the ACK
    Bytes package = request(NETWORK_LAYER_INFO);
    EXPECT_FALSE(vornmgr_process_message(comm, int(package.size()), reinterpret_cast<char *>(package.data())));
    log = capture.take();
    EXPECT_FALSE(broadcast_l3_up.load());
    EXPECT_TRUE(logged(" ERR failed publish len 12 (send -1) ")) << log;
}

TEST_F(Dispatch, IssuInfoIsLoggedAcknowledgedAndRelayedUnchanged)
{
    const Bytes package = request(ISSU_INFO, {SYSTEM_SERVICES, ISSU_END, ISSU_IN_PROGRESS});
    EXPECT_TRUE(dispatch(package));
    EXPECT_TRUE(logged(" issu info from System Services action ISSU End status ISSU In Progress\n")) << log;
    ASSERT_EQ(wire.count, 2u);
    EXPECT_EQ(sent_bytes(0), ack);
    EXPECT_EQ(wire.sent[1].sock, nullptr);
    EXPECT_EQ(sent_bytes(1), package);
}

// Any local process can send a relayed notice: what it packs behind the
// handled message (a GO_DOWN for every module here) must never be broadcast.
TEST_F(Dispatch, RelaysCarryOnlyTheHandledMessage)
{
    const Bytes go_down = ints({GO_DOWN, 20, ALL_MODULES, REBOOT_WARM, GO_DOWN});
    for (const Bytes &first : {ints({NETWORK_LAYER_INFO, 16, 7, 8}),
                               ints({ISSU_INFO, 20, SYSTEM_SERVICES, ISSU_END, ISSU_OK})}) {
        Bytes package = ints({int32_t(4 + first.size() + go_down.size())});
        package.insert(package.end(), first.begin(), first.end());
        package.insert(package.end(), go_down.begin(), go_down.end());
        wire = {};
        EXPECT_TRUE(dispatch(package));
        ASSERT_EQ(wire.count, 2u);
        Bytes relayed = ints({int32_t(4 + first.size())});
        relayed.insert(relayed.end(), first.begin(), first.end());
        EXPECT_EQ(sent_bytes(1), relayed);
        EXPECT_TRUE(logged(" ignored further message 0x64 in one request package\n")) << log;
    }
    // A first message that overruns its package is refused and not relayed.
    EXPECT_TRUE(dispatch(ints({16, NETWORK_LAYER_INFO, 40, 0})));
    EXPECT_EQ(only_reply(), nack);
}

// ---------------------------------------------------------------------------
// The package walk

TEST_F(Dispatch, UnknownTypeIsLoggedAndRefused)
{
    EXPECT_TRUE(dispatch(request(9)));
    EXPECT_EQ(only_reply(), nack);
    EXPECT_TRUE(logged(" vornmgr_process_message:9 unknown request 0x8 len\n")) << log;
}

TEST_F(Dispatch, MalformedPackagesAreRefusedOnce)
{
    struct Case {
        const char *what;
        Bytes package;
        int reported_len;
    };
    const Case cases[] = {
        {"no message", ints({4}), -1},
        {"total_len 0", ints({0, MODULE_REGISTER, 12, STP}), -1},
        {"negative total_len", ints({-4, MODULE_REGISTER, 12, STP}), -1},
        {"total_len beyond received", ints({40, MODULE_REGISTER, 12, STP}), -1},
        {"len below the header", ints({16, MODULE_REGISTER, 4, STP}), -1},
        {"len past the package", ints({16, MODULE_REGISTER, 200, STP}), -1},
        {"half a header", ints({8, MODULE_REGISTER}), -1},
        {"shorter than total_len field", Bytes{7, 0}, -1},
        {"payload too short for its type", ints({12, MODULE_REGISTER, 8}), -1},
        {"cut to the buffer", request(MODULE_REGISTER, {STP}), 1500},
    };
    for (const Case &c : cases) {
        dispatch(c.package, c.reported_len);
        EXPECT_EQ(only_reply(), nack) << c.what;
        EXPECT_TRUE(logged(" ERR malformed request: ")) << c.what << ": " << log;
    }
    EXPECT_FALSE(vornmgr_is_mod_registered(STP));
}

TEST_F(Dispatch, OnlyTheFirstMessageOfAPackageIsAnswered)
{
    Bytes package = ints({28, MODULE_REGISTER, 12, STP, MODULE_REGISTER, 12, SDK});
    EXPECT_TRUE(dispatch(package));
    EXPECT_EQ(only_reply(), ack);
    EXPECT_TRUE(vornmgr_is_mod_registered(STP));
    EXPECT_FALSE(vornmgr_is_mod_registered(SDK));
    EXPECT_TRUE(logged(" ignored further message 0x7 in one request package\n")) << log;
}

TEST_F(Dispatch, MissingPackageIsAFailure)
{
    EXPECT_FALSE(vornmgr_process_message(comm, 12, nullptr));
    EXPECT_EQ(wire.count, 0u);
}

// ---------------------------------------------------------------------------
// No allocation per message

TEST_F(Dispatch, RequestsAreHandledWithoutHeapAllocation)
{
#ifndef VORN_COUNT_ALLOCATIONS
    GTEST_SKIP() << "the sanitizers own malloc";
#else
    enter(SWIVEND, UP);
    {
        std::lock_guard<std::mutex> guard(lock);
        mod_id_in_process = STP;
        num_go_down_response_required = 2;
    }
    const Bytes requests[] = {
        request(MODULE_REGISTER, {STP}),
        request(MODULE_UNREGISTER, {STP}),
        request(KEEP_ALIVE_RESP, {3, STP, 0, 0, 0}),
        request(MODULE_STATUS_RESP, {SDK, REBOOT_WARM, UP, 0}),
        request(LOAD_COMPLETE, {STP, 0, 0, 0}),
        request(INIT_COMPLETE, {TRELL, REBOOT_WARM, UP, 0}),
        request(GO_DOWN, {STP, STP, 0, 0, 0}),
        request(GO_DOWN, {FRR, STP, 0, 0, 0}),
        request(NETWORK_LAYER_INFO, {1, 2, 3}),
        request(ISSU_INFO, {SYSTEM_SERVICES, ISSU_START, ISSU_OK}),
        request(42),
        ints({16, MODULE_REGISTER, 200, STP}),
    };
    // A first pass, so that the log's own first-use set-up (time zone)
    // happens before counting starts.
    for (const Bytes &package : requests)
        vornmgr_process_message(comm, int(package.size()), reinterpret_cast<const char *>(package.data()));
    for (const Bytes &package : requests) {
        counting_allocations = true;
        allocations = 0;
        vornmgr_process_message(comm, int(package.size()), reinterpret_cast<const char *>(package.data()));
        counting_allocations = false;
        EXPECT_EQ(allocations, 0) << "request type " << reinterpret_cast<const int32_t *>(package.data())[1];
        wire.count = 0;
    }
#endif
}

} // namespace
