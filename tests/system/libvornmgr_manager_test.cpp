// SPDX-License-Identifier: Apache-2.0
// libvornmgr against a fake manager: registration, request pairing, time-outs,
// a restarting manager and the delivery of broadcasts.

#include "vorn_mgr_intf.h"
#include "vorn_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

using namespace vorn_test;

namespace {

const Bytes ACK_PKG = pkg(vorn_test::msg(ACK));

// What the callbacks saw. They run on the library's thread, which may still
// deliver while the test program exits, so this is never destroyed.
struct Seen {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Bytes> packages; // guarded by lock
};
Seen &seen = *new Seen;
std::atomic<int> in_callback{0};
std::atomic<int> max_in_callback{0};
std::atomic<int> callback_send_result{0};

int record_cb(int len, void *buf)
{
    const int now = ++in_callback;
    max_in_callback.store(std::max(max_in_callback.load(), now));
    // Long enough for a second broadcast to be waiting, if delivery overlapped.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
        std::lock_guard guard(seen.lock);
        auto *bytes = static_cast<const uint8_t *>(buf);
        seen.packages.emplace_back(bytes, bytes + len);
    }
    --in_callback;
    seen.changed.notify_all();
    return 1;
}

// Answers every broadcast like a module does: with a request from this thread.
int answering_cb(int, void *)
{
    Bytes request = pkg(vorn_test::msg(KEEP_ALIVE_RESP, {1, SYSTEM_SERVICES, REBOOT_COLD, UP, 0}));
    uint8_t reply[VORNMGR_MAX_PKG_LEN];
    callback_send_result = vornmgr_send(SYSTEM_SERVICES, int(request.size()), request.data(), sizeof reply, reply);
    std::lock_guard guard(seen.lock);
    seen.packages.push_back(request);
    seen.changed.notify_all();
    return 1;
}

std::atomic<int> unregister_errno{0};
int unregistering_cb(int, void *)
{
    if (vornmgr_unregister(SYSTEM_SERVICES) == -1)
        unregister_errno = errno;
    std::lock_guard guard(seen.lock);
    seen.packages.push_back({});
    seen.changed.notify_all();
    return 1;
}

bool wait_seen(size_t count)
{
    std::unique_lock guard(seen.lock);
    return seen.changed.wait_for(guard, 10s, [&] { return seen.packages.size() >= count; });
}

// Serves requests on its own thread: answers each with `answer(request)`.
class ManagerThread {
public:
    explicit ManagerThread(std::function<Bytes(const Bytes &)> answer)
        : thread_([this, answer] {
              while (!stop_) {
                  auto request = manager_.receive_request(100ms);
                  if (request)
                      manager_.reply(answer(*request));
              }
          })
    {
    }
    ~ManagerThread()
    {
        stop_ = true;
        thread_.join();
    }

private:
    FakeManager manager_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Registers against `manager`, answering the MODULE_REGISTER on a helper thread.
int register_with(FakeManager &manager, INFR_CB cb, const Bytes &answer = ACK_PKG)
{
    std::optional<Bytes> request;
    std::thread server([&] {
        request = manager.receive_request();
        if (request)
            manager.reply(answer);
    });
    Module me = SYSTEM_SERVICES;
    const int result = vornmgr_register_cb(me, 1, &me, cb);
    server.join();
    EXPECT_EQ(request, pkg({MODULE_REGISTER, 12, SYSTEM_SERVICES}));
    return result;
}

int send_to(FakeManager &manager, const Bytes &request, const Bytes &answer, Bytes *request_seen)
{
    std::thread server([&] {
        auto got = manager.receive_request();
        if (got) {
            *request_seen = *got;
            manager.reply(answer);
        }
    });
    uint8_t reply[VORNMGR_MAX_PKG_LEN];
    Bytes copy = request;
    const int size = vornmgr_send(SYSTEM_SERVICES, int(copy.size()), copy.data(), sizeof reply, reply);
    server.join();
    if (size >= 0) {
        EXPECT_EQ(Bytes(reply, reply + size), answer);
    }
    return size;
}

} // namespace

TEST(LibraryRegistration, RegistersDeliversBroadcastsAndUnregisters)
{
    FakeManager manager;
    ASSERT_EQ(register_with(manager, record_cb), 1);
    ASSERT_TRUE(manager.wait_for_subscribers(1));

    const Bytes go_down = pkg(vorn_test::msg(GO_DOWN, {FRR, REBOOT_WARM, GO_DOWN}));
    const Bytes keepalive = pkg(vorn_test::msg(KEEP_ALIVE_REQ, {7}));
    ASSERT_TRUE(manager.publish(go_down));
    ASSERT_TRUE(manager.publish(ints({99, 1, 2})));  // total_len lies: not handed on
    ASSERT_TRUE(manager.publish(keepalive));
    ASSERT_TRUE(wait_seen(2));
    {
        std::lock_guard guard(seen.lock);
        EXPECT_EQ(seen.packages, (std::vector<Bytes>{go_down, keepalive}));
    }
    EXPECT_EQ(max_in_callback.load(), 1);

    std::optional<Bytes> request;
    std::thread server([&] {
        request = manager.receive_request();
        manager.reply(ACK_PKG);
    });
    EXPECT_EQ(vornmgr_unregister(SYSTEM_SERVICES), 0);
    server.join();
    EXPECT_EQ(request, pkg({MODULE_UNREGISTER, 12, SYSTEM_SERVICES}));

    // Delivery has stopped and requests are refused.
    ASSERT_TRUE(manager.publish(keepalive));
    uint8_t reply[64];
    EXPECT_EQ(vornmgr_send(SYSTEM_SERVICES, int(keepalive.size()), (void *)keepalive.data(), sizeof reply, reply), -1);
    EXPECT_EQ(errno, ENOTCONN);
    std::lock_guard guard(seen.lock);
    EXPECT_EQ(seen.packages.size(), 2u);
}

TEST(LibraryRegistration, UnregisterWithoutRegisterIsHarmless)
{
    FakeManager manager;
    EXPECT_EQ(vornmgr_unregister(SYSTEM_SERVICES), 0);
    // Nothing went to the manager: the first request it sees is the registration.
    EXPECT_EQ(register_with(manager, record_cb), 1);
}

TEST(LibraryRegistration, SilentOrRefusingManagerFailsRegistration)
{
    FakeManager manager;
    const auto start = std::chrono::steady_clock::now();
    Module me = SYSTEM_SERVICES;
    EXPECT_EQ(vornmgr_register_cb(me, 1, &me, record_cb), 0);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 15s);
    // The failed registration left nothing to undo.
    EXPECT_EQ(vornmgr_unregister(SYSTEM_SERVICES), 0);
    EXPECT_EQ(manager.receive_request(), pkg({MODULE_REGISTER, 12, SYSTEM_SERVICES}));
}

TEST(LibraryRegistration, RefusedRegistrationReturnsZero)
{
    FakeManager manager;
    EXPECT_EQ(register_with(manager, record_cb, pkg(vorn_test::msg(NACK))), 0);
    EXPECT_EQ(errno, ECONNREFUSED);
    // An ACK outside the reply's own total_len is no answer.
    EXPECT_EQ(register_with(manager, record_cb, ints({8, ACK, 8})), 0);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_EQ(register_with(manager, record_cb), 1);
}

TEST(LibraryRequests, ConcurrentSendersEachGetTheirOwnReply)
{
    // Each reply carries the request's first payload field back.
    ManagerThread server([](const Bytes &request) { return pkg(vorn_test::msg(ACK, {int_at(request, 12).value_or(-1)})); });
    Module me = SYSTEM_SERVICES;
    ASSERT_EQ(vornmgr_register_cb(me, 1, &me, record_cb), 1);

    std::atomic<int> mismatches{0}, failures{0};
    auto sender = [&](int base) {
        for (int i = 0; i < 50; ++i) {
            Bytes request = pkg(vorn_test::msg(KEEP_ALIVE_RESP, {base + i, SYSTEM_SERVICES, REBOOT_COLD, UP, 0}));
            uint8_t reply[VORNMGR_MAX_PKG_LEN];
            const int size = vornmgr_send(SYSTEM_SERVICES, int(request.size()), request.data(), sizeof reply, reply);
            if (size != 16) {
                ++failures;
                continue;
            }
            if (int_at(Bytes(reply, reply + size), 12) != base + i)
                ++mismatches;
        }
    };
    std::thread first(sender, 1000), second(sender, 2000);
    first.join();
    second.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(LibraryRequests, TimeOutFailsWithinBoundAndTheNextRequestWorks)
{
    FakeManager manager;
    ASSERT_EQ(register_with(manager, record_cb), 1);

    const Bytes lost = pkg(vorn_test::msg(KEEP_ALIVE_RESP, {1, SYSTEM_SERVICES, REBOOT_COLD, UP, 0}));
    uint8_t reply[VORNMGR_MAX_PKG_LEN];
    Bytes copy = lost;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(vornmgr_send(SYSTEM_SERVICES, int(copy.size()), copy.data(), sizeof reply, reply), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, 4s);
    EXPECT_LT(waited, 15s);

    // The manager got the lost request once; answering it now goes nowhere.
    EXPECT_EQ(manager.receive_request(), lost);
    manager.reply(ACK_PKG);

    // The next request is the new one, not the old one sent again.
    const Bytes next = pkg(vorn_test::msg(KEEP_ALIVE_RESP, {2, SYSTEM_SERVICES, REBOOT_COLD, UP, 0}));
    Bytes seen_request;
    EXPECT_EQ(send_to(manager, next, ACK_PKG, &seen_request), 12);
    EXPECT_EQ(seen_request, next);
}

TEST(LibraryRequests, RestartedManagerIsReachedAgain)
{
    auto manager = std::make_unique<FakeManager>();
    ASSERT_EQ(register_with(*manager, record_cb), 1);
    manager.reset();
    manager = std::make_unique<FakeManager>();

    // Once the subscriber is back, the library has seen both its connections
    // to the old manager close: a request sent before that could still go
    // into the closed one and be lost, which the library reports as a
    // time-out, as for any lost request.
    ASSERT_TRUE(manager->wait_for_subscribers(1));
    const Bytes request = pkg(vorn_test::msg(MODULE_STATUS_RESP, {SYSTEM_SERVICES, REBOOT_COLD, UP, 0}));
    Bytes seen_request;
    EXPECT_EQ(send_to(*manager, request, ACK_PKG, &seen_request), 12);
    EXPECT_EQ(seen_request, request);

    // Broadcasts reach the module again too.
    const Bytes probe = pkg(vorn_test::msg(MODULE_STATUS_REQ));
    ASSERT_TRUE(manager->publish(probe));
    ASSERT_TRUE(wait_seen(1));
    std::lock_guard guard(seen.lock);
    EXPECT_EQ(seen.packages.back(), probe);
}

TEST(LibraryRequests, ReplyLargerThanTheBufferIsAnError)
{
    FakeManager manager;
    ASSERT_EQ(register_with(manager, record_cb), 1);
    const Bytes request = pkg(vorn_test::msg(MODULE_STATUS_RESP, {SYSTEM_SERVICES, REBOOT_COLD, UP, 0}));
    std::thread server([&] {
        manager.receive_request();
        manager.reply(pkg(vorn_test::msg(ACK, {1, 2, 3})));
    });
    Bytes copy = request;
    uint8_t reply[8];
    EXPECT_EQ(vornmgr_send(SYSTEM_SERVICES, int(copy.size()), copy.data(), sizeof reply, reply), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    server.join();
    // The socket is still usable.
    Bytes seen_request;
    EXPECT_EQ(send_to(manager, request, ACK_PKG, &seen_request), 12);
}

TEST(LibraryDelivery, CallbackMaySendButNotUnregister)
{
    FakeManager manager;
    ASSERT_EQ(register_with(manager, answering_cb), 1);
    ASSERT_TRUE(manager.wait_for_subscribers(1));
    ASSERT_TRUE(manager.publish(pkg(vorn_test::msg(KEEP_ALIVE_REQ, {1}))));
    auto answer = manager.receive_request();
    ASSERT_TRUE(answer);
    EXPECT_EQ(*answer, pkg(vorn_test::msg(KEEP_ALIVE_RESP, {1, SYSTEM_SERVICES, REBOOT_COLD, UP, 0})));
    manager.reply(ACK_PKG);
    ASSERT_TRUE(wait_seen(1));
    EXPECT_EQ(callback_send_result.load(), 12);

    std::optional<Bytes> request;
    std::thread server([&] {
        request = manager.receive_request();
        manager.reply(ACK_PKG);
    });
    EXPECT_EQ(vornmgr_unregister(SYSTEM_SERVICES), 0);
    server.join();
    EXPECT_EQ(request, pkg({MODULE_UNREGISTER, 12, SYSTEM_SERVICES}));

    ASSERT_EQ(register_with(manager, unregistering_cb), 1);
    ASSERT_TRUE(manager.publish(pkg(vorn_test::msg(KEEP_ALIVE_REQ, {2}))));
    ASSERT_TRUE(wait_seen(2));
    EXPECT_EQ(unregister_errno.load(), EDEADLK);
}
