// SPDX-License-Identifier: Apache-2.0
// Delivery of the manager's broadcasts: a subscriber to the publish channel and
// the thread that hands each package to the module's callback, one at a time.

#include "vornmgr_client.h"
#include "vorn_mgr_pkg.h"

#include "../unique_fd.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

struct delivery_state {
    std::mutex lock;                 // guards thread and stop_event (start and stop)
    std::thread thread;
    // Made for each delivery thread and written once by the stop: the thread
    // sleeps on it and the subscriber together, so an idle module is never
    // woken, and a stop is seen at once. Never read, so it stays readable.
    unique_fd stop_event;
    std::atomic<bool> stop_requested{false};
    std::atomic<std::thread::id> thread_id{};
};

// Never destroyed, for the same reason as the request channel: a process may
// exit while its callback is still running.
delivery_state &vornmgr_delivery_state(void)
{
    static auto *state = new delivery_state;
    return *state;
}

// Says once per connection why its broadcasts go unheard.
void vornmgr_delivery_report_stranger(const vornmgr_peer_t &peer)
{
    if (!peer.first_seen)
        return;
    if (peer.owner == VORNMGR_PEER_OTHER)
        fprintf(stderr,
                "libvornmgr: the process at %s is not root's (uid %ld): not the manager, its broadcasts are dropped\n",
                VORNMGR_PUB_ENDPOINT, peer.uid);
    else
        fprintf(stderr, "libvornmgr: whose is the process at %s cannot be told: its broadcasts are dropped\n",
                VORNMGR_PUB_ENDPOINT);
}

// Waits, without a time-out, for a package or the stop event. Reads one
// package into `package` and returns its full size (possibly above the
// buffer's capacity); returns 0 when the stop event fired, nothing could be
// read after all, or the package came from someone other than the manager;
// -1 when the socket can no longer be read.
int vornmgr_delivery_receive(zmq::socket_t &subscriber, vornmgr_peer_cache_t &peers, int stop_event, char *package,
                             int capacity)
{
    zmq_pollitem_t items[2] = {
        {subscriber.handle(), 0, ZMQ_POLLIN, 0},
        {nullptr, stop_event, ZMQ_POLLIN, 0},
    };
    const int ready = zmq_poll(items, 2, -1);
    if (ready < 0)
        return errno == EINTR ? 0 : -1;
    if ((items[1].revents & ZMQ_POLLIN) != 0 || (items[0].revents & ZMQ_POLLIN) == 0)
        return 0;
    zmq::message_t message;
    const int size = zmq_msg_recv(message.handle(), subscriber.handle(), ZMQ_DONTWAIT);
    if (size < 0)
        return errno == EAGAIN || errno == EINTR ? 0 : -1;
    // The subscriber may hold a connection to a squatter and, after it, one
    // to the manager, with packages of both still queued: each package is
    // judged by the connection it came on, not by whom the socket reaches now.
    const vornmgr_peer_t peer = vornmgr_peer_judge(peers, zmq_msg_get(message.handle(), ZMQ_SRCFD));
    bool more = subscriber.get(zmq::sockopt::rcvmore);
    int parts = 1;
    // Broadcasts are single-part; extra parts are dropped with the package.
    while (more) {
        zmq::message_t rest;
        if (!subscriber.recv(rest, zmq::recv_flags::dontwait))
            break;
        more = rest.more();
        ++parts;
    }
    if (peer.owner != VORNMGR_PEER_ROOT) {
        vornmgr_delivery_report_stranger(peer);
        return 0;
    }
    memcpy(package, message.data(), static_cast<size_t>(std::min(size, capacity)));
    return parts == 1 ? size : capacity + 1;
}

void vornmgr_delivery_run(zmq::socket_t subscriber, int stop_event, vornmgr_callback_t callback)
{
    delivery_state &state = vornmgr_delivery_state();
    // Set here, not by the starter, so that a callback running at once already
    // finds itself recognised as the delivery thread.
    state.thread_id.store(std::this_thread::get_id());
    alignas(8) char package[VORNMGR_MAX_PKG_LEN];
    vornmgr_peer_cache_t peers;
    while (!state.stop_requested.load()) {
        const int size = vornmgr_delivery_receive(subscriber, peers, stop_event, package, sizeof package);
        if (size < 0) {
            fprintf(stderr, "libvornmgr: broadcast delivery stopped: %s\n", zmq_strerror(errno));
            return;
        }
        if (size == 0 || !vornmgr_package_is_deliverable(package, size))
            continue;
        if (state.stop_requested.load())
            return;
        try {
            callback(size, package);
        } catch (...) {
            // A C++ callback's exception must not end the process from a
            // library thread; the next broadcast is delivered as usual.
        }
    }
}

} // namespace

bool vornmgr_package_is_deliverable(const void *package, int size)
{
    if (size < VORNMGR_PKG_HDR_LEN || size > VORNMGR_MAX_PKG_LEN)
        return false;
    // Unbounded by a size received, the package's end is its own total_len.
    return vornmgr_pkg_end(package, INT_MAX) == size;
}

zmq::socket_t vornmgr_subscriber_open(void)
{
    zmq::socket_t subscriber(vornmgr_context(), zmq::socket_type::sub);
    subscriber.set(zmq::sockopt::linger, 0);
    subscriber.set(zmq::sockopt::subscribe, "");
    subscriber.connect(VORNMGR_PUB_ENDPOINT);
    return subscriber;
}

void vornmgr_delivery_start(zmq::socket_t subscriber, vornmgr_callback_t callback)
{
    delivery_state &state = vornmgr_delivery_state();
    std::lock_guard guard(state.lock);
    unique_fd stop_event{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    if (!stop_event)
        throw std::system_error(errno, std::generic_category(), "eventfd");
    state.stop_requested.store(false);
    // The thread borrows the descriptor: the state keeps it open until the
    // stop has joined the thread.
    state.thread = std::thread(vornmgr_delivery_run, std::move(subscriber), stop_event.get(), callback);
    state.stop_event = std::move(stop_event);
}

void vornmgr_delivery_stop(void)
{
    delivery_state &state = vornmgr_delivery_state();
    std::lock_guard guard(state.lock);
    if (!state.thread.joinable())
        return;
    state.stop_requested.store(true);
    const uint64_t one = 1;
    // Cannot fail short of a full counter, which is readable as well.
    const ssize_t written = write(state.stop_event.get(), &one, sizeof one);
    (void)written;
    state.thread.join();
    state.stop_event.reset();
    state.thread_id.store(std::thread::id{});
}

bool vornmgr_delivery_is_current_thread(void)
{
    return vornmgr_delivery_state().thread_id.load() == std::this_thread::get_id();
}
