// SPDX-License-Identifier: Apache-2.0
// vornmgr_client.h - inside libvornmgr, the client library every module of the
// switch links to reach the lifecycle manager. Modules see only the C calls of
// vorn_mgr_intf.h; this header is shared by the library's own files.
//
// How the library talks to the manager
//   - One request socket (ZMQ_REQ) to the comm channel tcp://127.0.0.1:49002 and
//     one subscriber (ZMQ_SUB, every message) to the publish channel
//     tcp://127.0.0.1:49012, both made by vornmgr_register_cb and closed by
//     vornmgr_unregister.
//   - vornmgr_send keeps one request in flight: callers on several threads are
//     served one after the other, each gets the reply to its own request.
//   - A delivery thread hands each broadcast package to the module's callback,
//     one package at a time, lent for the duration of the call. A broadcast
//     that came on a connection whose other end is not root's is dropped,
//     with one line on standard error for that connection. Only packages
//     whose size is 4 to 1024 bytes and equals their own total_len are handed
//     on, so a callback walking by total_len never reads past the package.
//
// Time-outs
//   - VORNMGR_REPLY_TIMEOUT_MS (5 s): how long every request (registration,
//     unregistration, vornmgr_send) waits for the manager's reply. When it
//     passes, the request socket is closed and made anew (a REQ socket that
//     lost its reply can send nothing more) and the call fails with ETIMEDOUT.
//     A request is never sent twice by the library: the manager may have acted
//     on it (a GO_DOWN answer counted twice would be wrong), so whether to try
//     again is the caller's decision. A signal arriving during the wait does
//     not cut it short.
//   - A reply is believed only when the connection it came on ends at a
//     socket of root's, as the manager's do: anyone may bind the manager's
//     port while it is down. Any other reply is never handed to the caller;
//     the request socket is made anew as after a time-out and the call fails
//     with EPERM.
//   - The delivery thread has none: it sleeps until a broadcast or a stop
//     request (an eventfd written by vornmgr_unregister) arrives, so an idle
//     module costs no CPU time; vornmgr_unregister returns as soon as the
//     callback in progress, if any, ends.
//
// Results and errno
//   - vornmgr_register_cb and vornmgr_register_cb_data (whose callback also
//     gets the caller's pointer, unchanged, with every package): 1 when the
//     manager acknowledged MODULE_REGISTER; 0 otherwise with errno: EINVAL (bad module, list or callback), EALREADY
//     (already registered), ETIMEDOUT (no answer in time), ECONNREFUSED (the
//     manager refused it), EPERM (the answer came from a process that is not
//     root's: not the manager), EDEADLK (called from the callback).
//   - vornmgr_send: the reply's size, or -1 with errno: EINVAL (bad arguments,
//     or a module other than the registered one), EMSGSIZE (request above 1024
//     bytes, or a reply larger than the buffer), ENOTCONN (not registered),
//     ETIMEDOUT (no reply in time), EPERM (the reply came from a process that
//     is not root's), or the transport's own error.
//   - vornmgr_unregister: 0 when the manager acknowledged MODULE_UNREGISTER or
//     nothing was registered, -1 with errno otherwise (EDEADLK from the
//     callback, EINVAL for a module other than the registered one, ETIMEDOUT,
//     EPERM).
//     Either way delivery has stopped and both sockets are closed when it
//     returns, except for EDEADLK and EINVAL, which change nothing.
//   - No C++ exception leaves any of the calls or the delivery thread.
//
// Threads and signals: the calls may be made from any thread except that the
// two registrations and vornmgr_unregister refuse to run on the delivery
// thread (they would wait for themselves). None of them is async-signal-safe:
// a signal handler should only set a flag that a normal thread acts upon.
#ifndef VORNMGR_CLIENT_H
#define VORNMGR_CLIENT_H

#include "vorn_mgr_intf.h"

#include <sys/types.h>

#include <zmq.hpp>

// The library is built with hidden visibility; only its C calls are exported.
#define VORNMGR_EXPORT __attribute__((visibility("default")))

constexpr int VORNMGR_REPLY_TIMEOUT_MS = 5000;

// The library's ZeroMQ context: made once and never terminated, so that a
// process leaving without vornmgr_unregister does not block in exit.
zmq::context_t &vornmgr_context(void);

// Request channel (vornmgr_request.cpp). Every function is safe to call from
// any thread; the channel's lock keeps one request in flight.
bool vornmgr_request_open(void);
void vornmgr_request_close(void);
// Sends one request and copies the reply into `reply`; returns the reply's
// size or -1 with errno set. Never re-sends.
int vornmgr_request_exchange(const void *req, int req_len, void *reply, int reply_cap);

// The module's broadcast callback: one of the two kinds registration takes.
struct vornmgr_callback_t {
    INFR_CB plain = nullptr;           // vornmgr_register_cb
    INFR_CB_DATA with_data = nullptr;  // vornmgr_register_cb_data, given `data`
    void *data = nullptr;

    bool is_set(void) const { return plain != nullptr || with_data != nullptr; }
    int operator()(int len, void *buf) const { return plain ? plain(len, buf) : with_data(len, buf, data); }
};
typedef vornmgr_callback_t vornmgr_callback;

// Whose is the other end of the connection a message came on
// (vornmgr_peer.cpp), remembered per connection: the fd ZeroMQ names with the
// message (ZMQ_SRCFD) and that socket's inode, so that a number reused by a
// later connection is judged anew. One cache per ZeroMQ socket, used by one
// thread at a time; nothing is allocated.
enum vornmgr_peer_owner_t { VORNMGR_PEER_UNKNOWN, VORNMGR_PEER_ROOT, VORNMGR_PEER_OTHER };
struct vornmgr_peer_cache_t {
    struct slot_t {
        int fd = -1;
        dev_t device = 0;
        ino_t inode = 0;
        long uid = -1;
        vornmgr_peer_owner_t owner = VORNMGR_PEER_UNKNOWN;
    };
    // A socket holds one connection at a time, two across a reconnection: a
    // slot per fd modulo the size is plenty, and a collision only asks again.
    static constexpr int SLOTS = 8;
    slot_t slots[SLOTS];
};
typedef vornmgr_peer_cache_t vornmgr_peer_cache;
struct vornmgr_peer_t {
    vornmgr_peer_owner_t owner;
    bool first_seen;  // the connection's first message here: the one to report
    long uid;         // the other end's owner, -1 when unknown
};
typedef vornmgr_peer_t vornmgr_peer;
// Only VORNMGR_PEER_ROOT is the manager; UNKNOWN (the fd is gone, or the
// kernel could not tell) is not.
vornmgr_peer_t vornmgr_peer_judge(vornmgr_peer_cache_t &cache, int fd);

// Delivery of broadcasts (vornmgr_delivery.cpp).
zmq::socket_t vornmgr_subscriber_open(void);
// Starts the delivery thread, which takes over the subscriber. Throws
// std::system_error if the thread or its stop event cannot be made.
void vornmgr_delivery_start(zmq::socket_t subscriber, vornmgr_callback_t callback);
// Stops the delivery thread and waits for it; the callback in progress, if any,
// runs to its end first. Harmless when nothing is running.
void vornmgr_delivery_stop(void);
bool vornmgr_delivery_is_current_thread(void);
// True if the `size` received bytes form a package the callback may walk.
bool vornmgr_package_is_deliverable(const void *package, int size);

#endif // VORNMGR_CLIENT_H
