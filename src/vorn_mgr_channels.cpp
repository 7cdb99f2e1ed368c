// SPDX-License-Identifier: Apache-2.0
// The manager's two ZeroMQ channels to the modules: the comm channel (a reply
// socket served by the comm receive thread) and the publish channel (every
// broadcast). Each channel owns a context of its own.

#include "log.h"
#include "unique_fd.h"
#include "vorn_mgr.h"
#include "vorn_mgr_access.h"
#include "vorn_mgr_notify.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>

#include <zmq.hpp>

// The channels are this file's alone: other files and the tests reach them
// through the functions declared in vorn_mgr.h.
namespace {

// The comm channel: used only by the comm receive thread (and by main before
// that thread starts and after it ended).
std::unique_ptr<zmq::context_t> comm_context;
zmq::socket_t comm_socket;
// The publish channel: every use of pub_socket, and every restart, holds
// pub_lock, since main, the comm receive, operator and monitor threads publish.
std::unique_ptr<zmq::context_t> pub_context;
zmq::socket_t pub_socket;
std::mutex pub_lock;

} // namespace

std::thread comm_thread;
std::atomic<bool> comm_thread_active{false};
bool zmq_socket_restart_on_error = true;

namespace {

// Written, never read: once signalled it stays readable, so every wait that
// polls it (the receive loop, the discovery wait) ends, now and later.
const unique_fd stop_event{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};

// A channel that keeps failing is restarted after a pause that doubles up to a
// few seconds, so it cannot spin a core.
constexpr std::chrono::milliseconds restart_delay_first{100};
constexpr std::chrono::milliseconds restart_delay_max{3200};

// Publish restarts happen on whichever thread publishes; a publisher never
// sleeps, so a restart that comes too soon after the last one is skipped.
// Guarded by pub_lock.
std::chrono::steady_clock::time_point pub_last_restart{};
std::chrono::milliseconds pub_restart_delay{0};
// Set when the manager closes the channel on its way out: a late publisher
// (a monitor expiry) must not open it again. Guarded by pub_lock.
bool pub_channel_closed = false;

// For an option whose failure changes nothing: the socket keeps its default.
template <typename Option>
void vornmgr_set_untested(zmq::socket_t &sock, Option option, int value)
{
    try {
        sock.set(option, value);
    } catch (const zmq::error_t &) {
    }
}

// Closes a channel's socket and context and opens both anew; a failure is
// logged ("failed <name> context ...", "failed <name> zmq_socket ...") and
// leaves the channel closed.
bool vornmgr_open_channel(std::unique_ptr<zmq::context_t> &context, zmq::socket_t &socket, zmq::socket_type type,
                          const char *name)
{
    socket.close();
    context.reset();
    try {
        context = std::make_unique<zmq::context_t>();
    } catch (const zmq::error_t &e) {
        LOG_ERR("failed %s context %s\n", name, e.what());
        return false;
    }
    try {
        socket = zmq::socket_t(*context, type);
    } catch (const zmq::error_t &e) {
        LOG_ERR("failed %s zmq_socket %s\n", name, e.what());
        context.reset();
        return false;
    }
    return true;
}

void vornmgr_close_pub_channel_locked(void)
{
    pub_socket.close();
    pub_context.reset();
}

int vornmgr_create_pub_channel_locked(void)
{
    if (!vornmgr_open_channel(pub_context, pub_socket, zmq::socket_type::pub, "pub"))
        return 0;
    // Broadcasts still queued for a stalled subscriber must not hold up the
    // manager's exit for ever.
    vornmgr_set_untested(pub_socket, zmq::sockopt::linger, 1000);
    // Bound, then connected to the same endpoint.
    const char *step = "zmq_bind";
    try {
        pub_socket.bind(VORNMGR_PUB_ENDPOINT);
        step = "zmq_connect";
        pub_socket.connect(VORNMGR_PUB_ENDPOINT);
    } catch (const zmq::error_t &e) {
        LOG_ERR("failed pub %s %s\n", step, e.what());
        if (e.num() == EADDRINUSE)
            vornmgr_log_port_holder("publish", VORNMGR_PUB_ENDPOINT);
        vornmgr_close_pub_channel_locked();
        return 0;
    }
    return 1;
}

// Restarts the publish channel unless the last restart is too recent.
void vornmgr_restart_pub_channel_locked(void)
{
    if (pub_channel_closed)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (pub_last_restart.time_since_epoch().count() != 0 && now - pub_last_restart < pub_restart_delay) {
        LOG_ERR("publish channel restarted %d ms ago, next restart after %d ms\n",
                int(std::chrono::duration_cast<std::chrono::milliseconds>(now - pub_last_restart).count()),
                int(pub_restart_delay.count()));
        return;
    }
    LOG_ERR("restarting publish channel\n");
    vornmgr_create_pub_channel_locked();
    pub_last_restart = now;
    pub_restart_delay = std::clamp(pub_restart_delay * 2, restart_delay_first, restart_delay_max);
}

bool vornmgr_set_comm_socket_parms(zmq::socket_t &sock)
{
    if (!sock)
        return false;
    // Results not tested: the first two are request-socket options that a
    // reply socket may refuse; the linger drops unsent replies at once.
    vornmgr_set_untested(sock, zmq::sockopt::req_correlate, 1);
    vornmgr_set_untested(sock, zmq::sockopt::req_relaxed, 1);
    vornmgr_set_untested(sock, zmq::sockopt::linger, 0);
    return true;
}

// The receive loop's wait for the next request or for a stop. Returns 1 when
// a request can be received, 0 on a stop, -1 on a socket error (errno set).
int vornmgr_wait_for_request(void)
{
    if (!comm_socket) {
        errno = ENOTSOCK;
        return -1;
    }
    std::array<zmq::pollitem_t, 2> items = {{
        {comm_socket.handle(), 0, ZMQ_POLLIN, 0},
        {nullptr, stop_event.get(), ZMQ_POLLIN, 0},
    }};
    for (;;) {
        // A take-down position that lasts is shown to systemd by this thread,
        // which opened it: the wait ends when its status line is due.
        const int held_ms = vornmgr_notify_held_timeout_ms();
        if (held_ms == 0) {
            vornmgr_notify_send_held();
            continue;
        }
        vornmgr_watchdog_idle(WATCHED_COMM);
        int error = 0;
        int ready = 0;
        try {
            ready = zmq::poll(items, std::chrono::milliseconds(held_ms));
        } catch (const zmq::error_t &e) {
            error = e.num();
        }
        vornmgr_watchdog_busy(WATCHED_COMM);
        if (error == EINTR || (error == 0 && ready == 0))
            continue;
        if (error != 0) {
            errno = error;
            return -1;
        }
        if (items[1].revents & ZMQ_POLLIN)
            return 0;
        if (items[0].revents & ZMQ_POLLIN)
            return 1;
    }
}

// A reply socket that still expects a send after a request was handled (a
// reply that failed to go out) would never report another request: restart it.
bool vornmgr_comm_reply_owed(void)
{
    try {
        return (comm_socket.get(zmq::sockopt::events) & ZMQ_POLLOUT) != 0;
    } catch (const zmq::error_t &) {
        return true;
    }
}

// Receives the next request and answers as zmq_recv does: the message's full
// length, which is more than `size` for a longer message of which only the
// first `size` bytes were kept, or -1 with errno set. *source_fd is the
// descriptor of the connection it came on (-1 if not known). Receiving into
// a message costs no allocation a receive into the buffer did not: a short
// request is held inside the message, a longer one ZeroMQ allocated when it
// arrived, whichever way it is then received.
int vornmgr_receive_request(char *buf, size_t size, int *source_fd)
{
    try {
        zmq::message_t request;
        if (!comm_socket.recv(request)) {
            errno = EAGAIN;
            return -1;
        }
        memcpy(buf, request.data(), std::min(size, request.size()));
        *source_fd = request.get(ZMQ_SRCFD);
        return static_cast<int>(request.size());
    } catch (const zmq::error_t &e) {
        errno = e.num();
        return -1;
    }
}

// A request from a sender that may not speak to the manager is answered
// NACK and goes no further: nothing is changed, stored or relayed.
bool vornmgr_handle_request(int source_fd, int len, const char *buf)
{
    if (vornmgr_module_peer_allowed(source_fd))
        return vornmgr_process_message(comm_socket.handle(), len, buf);
    int reply_len = 0;
    char reply[VORNMGR_MAX_PKG_LEN];
    return vornmgr_send_nack_response(comm_socket.handle(), nullptr, &reply_len, VORNMGR_MAX_PKG_LEN, reply);
}

} // namespace

int vornmgr_create_comm_channel(void)
{
    if (!vornmgr_open_channel(comm_context, comm_socket, zmq::socket_type::rep, "comm"))
        return 0;
    vornmgr_set_comm_socket_parms(comm_socket);
    try {
        comm_socket.bind(VORNMGR_COMM_ENDPOINT);
    } catch (const zmq::error_t &e) {
        LOG_ERR("failed comm bind %s\n", e.what());
        if (e.num() == EADDRINUSE)
            vornmgr_log_port_holder("comm", VORNMGR_COMM_ENDPOINT);
        vornmgr_destroy_comm_channel();
        return 0;
    }
    return 1;
}

void vornmgr_destroy_comm_channel(void)
{
    comm_socket.close();
    comm_context.reset();
}

int vornmgr_create_pub_channel(void)
{
    std::lock_guard<std::mutex> guard(pub_lock);
    pub_channel_closed = false;
    return vornmgr_create_pub_channel_locked();
}

void vornmgr_destroy_pub_channel(void)
{
    std::lock_guard<std::mutex> guard(pub_lock);
    pub_channel_closed = true;
    vornmgr_close_pub_channel_locked();
}

bool vornmgr_pub_msg(int len, const void *pkg)
{
    std::lock_guard<std::mutex> guard(pub_lock);
    // Through the package sender, like the replies, so that a test sees the
    // broadcasts a request sets off (vorn_mgr.h).
    const int sent = vornmgr_package_sender(pub_socket.handle(), pkg, static_cast<size_t>(len), ZMQ_DONTWAIT);
    if (sent == len) {
        pub_restart_delay = std::chrono::milliseconds{0};
        return true;
    }
    LOG_ERR("failed publish len %d (send %d) %s\n", len, sent, zmq_strerror(errno));
    if (zmq_socket_restart_on_error)
        vornmgr_restart_pub_channel_locked();
    return false;
}

int vornmgr_pub_send_no_restart(int len, const void *pkg)
{
    int sent;
    int error;
    {
        std::lock_guard<std::mutex> guard(pub_lock);
        sent = vornmgr_package_sender(pub_socket.handle(), pkg, static_cast<size_t>(len), ZMQ_DONTWAIT);
        error = errno;
    }
    errno = error;
    return sent;
}

void vornmgr_fail_pub_channel(void)
{
    std::lock_guard<std::mutex> guard(pub_lock);
    if (pub_context)
        pub_context->shutdown();
}

bool vornmgr_publish_dummy_nl_status(void)
{
    return vornmgr_pub_msg(nl_info_package.len, nl_info_package.bytes);
}

int vornmgr_comm_thread(void * /*arg*/)
{
    comm_thread_active = true;
    // Requests are read into this buffer; a longer message is cut to its size
    // and reaches the dispatcher with its full length.
    char buf[VORNMGR_MAX_PKG_LEN];
    std::chrono::milliseconds restart_delay{0};
    while (comm_thread_active) {
        const int ready = vornmgr_wait_for_request();
        if (ready == 0)
            break;
        int len = -1;
        int source_fd = -1;
        if (ready > 0)
            len = vornmgr_receive_request(buf, sizeof buf, &source_fd);
        if (len >= 0) {
            restart_delay = std::chrono::milliseconds{0};
            // Every request is answered on every path that reports success, so
            // the socket's state needs asking (a poll and a fork check inside
            // ZeroMQ) only after a failure.
            const bool handled = vornmgr_handle_request(source_fd, len, buf);
            // A registration, an init completion or a goodbye changes what
            // systemd shows; anything else costs one look at the registry.
            vornmgr_notify_summary();
            if (handled || !vornmgr_comm_reply_owed())
                continue;
            LOG_ERR("comm_thread reply not sent, the reply socket is out of step\n");
        } else {
            LOG_ERR("comm_thread receive error errno %d %s\n", errno, zmq_strerror(errno));
        }
        if (!zmq_socket_restart_on_error)
            continue;
        // A channel that fails again at once is restarted after a growing pause.
        if (restart_delay.count() > 0 && vornmgr_wait_for_stop(int(restart_delay.count())))
            break;
        restart_delay = std::clamp(restart_delay * 2, restart_delay_first, restart_delay_max);
        LOG_ERR("restarting comm channel\n");
        vornmgr_create_comm_channel();
    }
    comm_thread_active = false;
    vornmgr_watchdog_idle(WATCHED_COMM);
    LOG_INFO("Exiting comm receive thread\n");
    return 1;
}

bool vornmgr_start_comm_thread(void)
{
    vornmgr_log_module_users();
    try {
        comm_thread = std::thread(vornmgr_comm_thread, nullptr);
    } catch (const std::system_error &e) {
        LOG_ERR("error in comm pthread creation %s\n", e.code().message().c_str());
        return false;
    }
    return true;
}

bool vornmgr_join_comm_thread(void)
{
    if (!comm_thread.joinable())
        return false;
    comm_thread.join();
    return true;
}

void vornmgr_request_stop(void)
{
    const int saved_errno = errno;
    const uint64_t one = 1;
    ssize_t written = write(stop_event.get(), &one, sizeof one);
    (void)written;  // a full counter is still readable: the stop is seen
    errno = saved_errno;
}

bool vornmgr_wait_for_stop(int timeout_ms)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        struct pollfd stop = {stop_event.get(), POLLIN, 0};
        const int ready = poll(&stop, 1, std::max<int>(0, int(left.count())));
        if (ready > 0)
            return true;
        if (ready == 0 || (ready < 0 && errno != EINTR))
            return false;
    }
}
