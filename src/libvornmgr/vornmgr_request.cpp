// SPDX-License-Identifier: Apache-2.0
// The request channel: one REQ socket to the manager's comm channel, one
// request in flight, a bounded wait for each reply, and a fresh socket after a
// reply that never came or came from someone other than the manager.

#include "vornmgr_client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>

namespace {

struct request_channel {
    std::mutex lock;                      // one request in flight; guards socket and peers
    std::optional<zmq::socket_t> socket;  // absent while no module is registered
    vornmgr_peer_cache_t peers;           // who answered on which connection
};

// Never destroyed: a thread still waiting for a reply when the process exits
// must not find its lock or socket torn down under it.
request_channel &vornmgr_request_channel(void)
{
    static auto *channel = new request_channel;
    return *channel;
}

zmq::socket_t vornmgr_request_socket_make(void)
{
    zmq::socket_t socket(vornmgr_context(), zmq::socket_type::req);
    // Closing must drop an unanswered request at once, never deliver it later.
    socket.set(zmq::sockopt::linger, 0);
    socket.set(zmq::sockopt::sndtimeo, VORNMGR_REPLY_TIMEOUT_MS);
    socket.connect(VORNMGR_COMM_ENDPOINT);
    return socket;
}

// A REQ socket whose reply is lost refuses every further send; closing it and
// connecting a new one is the only way on. The lost request is not re-sent.
void vornmgr_request_socket_renew(request_channel &channel)
{
    channel.socket.reset();
    channel.socket.emplace(vornmgr_request_socket_make());
}

// Waits until a reply can be read or the deadline passes; a signal does not
// shorten the wait.
bool vornmgr_request_wait_reply(zmq::socket_t &socket)
{
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(VORNMGR_REPLY_TIMEOUT_MS);
    for (;;) {
        const auto remaining = duration_cast<milliseconds>(deadline - steady_clock::now()).count();
        if (remaining <= 0) {
            errno = ETIMEDOUT;
            return false;
        }
        zmq_pollitem_t item{socket.handle(), 0, ZMQ_POLLIN, 0};
        const int ready = zmq_poll(&item, 1, static_cast<long>(remaining));
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

int vornmgr_request_fail(request_channel &channel)
{
    const int error = errno;
    vornmgr_request_socket_renew(channel);
    errno = error;
    return -1;
}

} // namespace

bool vornmgr_request_open(void)
{
    request_channel &channel = vornmgr_request_channel();
    std::lock_guard guard(channel.lock);
    channel.socket.emplace(vornmgr_request_socket_make());
    return true;
}

void vornmgr_request_close(void)
{
    request_channel &channel = vornmgr_request_channel();
    std::lock_guard guard(channel.lock);
    channel.socket.reset();
}

int vornmgr_request_exchange(const void *req, int req_len, void *reply, int reply_cap)
{
    request_channel &channel = vornmgr_request_channel();
    std::lock_guard guard(channel.lock);
    if (!channel.socket) {
        errno = ENOTCONN;
        return -1;
    }

    int sent;
    do {
        sent = zmq_send(channel.socket->handle(), req, static_cast<size_t>(req_len), 0);
    } while (sent < 0 && errno == EINTR);
    if (sent != req_len) {
        if (sent >= 0 || errno == EAGAIN)
            errno = ETIMEDOUT;
        return vornmgr_request_fail(channel);
    }

    if (!vornmgr_request_wait_reply(*channel.socket))
        return vornmgr_request_fail(channel);

    zmq::message_t message;
    const int size = zmq_msg_recv(message.handle(), channel.socket->handle(), ZMQ_DONTWAIT);
    if (size < 0)
        return vornmgr_request_fail(channel);
    // Whoever holds the port while the manager is down could answer a
    // registration; such an answer is dropped with its connection.
    if (vornmgr_peer_judge(channel.peers, zmq_msg_get(message.handle(), ZMQ_SRCFD)).owner != VORNMGR_PEER_ROOT) {
        errno = EPERM;
        return vornmgr_request_fail(channel);
    }
    memcpy(reply, message.data(), static_cast<size_t>(std::min(size, reply_cap)));
    // The manager sends single-part replies; should more parts come, the
    // socket must still be emptied before it may send again.
    while (channel.socket->get(zmq::sockopt::rcvmore)) {
        zmq::message_t rest;
        if (!channel.socket->recv(rest, zmq::recv_flags::dontwait))
            return vornmgr_request_fail(channel);
    }
    if (size > reply_cap) {
        errno = EMSGSIZE;
        return -1;
    }
    return size;
}
