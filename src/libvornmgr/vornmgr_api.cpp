// SPDX-License-Identifier: Apache-2.0
// The library's C calls: registration, requests and unregistration of a
// module. C++ inside; no exception crosses into the C caller.

#include "vornmgr_client.h"
#include "vorn_mgr_pkg.h"

#include <atomic>
#include <cerrno>
#include <mutex>
#include <new>
#include <system_error>

namespace {

std::mutex lifecycle_lock;  // register and unregister run one at a time
// The registered module, or -1. Written under lifecycle_lock; vornmgr_send
// reads it without the lock so that it never waits for an unregistration.
std::atomic<int> registered_module{-1};

bool vornmgr_module_is_valid(Module module)
{
    return static_cast<uint32_t>(module) < static_cast<uint32_t>(MAX_MODULES);
}

// Closes the request channel at scope exit unless the registration completed.
struct request_channel_guard {
    bool keep = false;
    ~request_channel_guard()
    {
        if (!keep)
            vornmgr_request_close();
    }
};

// Sends MODULE_REGISTER or MODULE_UNREGISTER; 0 when the manager answered ACK,
// -1 with errno otherwise.
int vornmgr_exchange_connect(State type, Module module)
{
    const module_connect_t connect{module};
    char request[VORNMGR_PKG_HDR_LEN + VORNMGR_MSG_HDR_LEN + sizeof connect];
    vornmgr_pkg_init(request, sizeof request);
    const int request_len = vornmgr_pkg_add(request, sizeof request, type, &connect, sizeof connect);

    char reply[VORNMGR_MAX_PKG_LEN];
    const int size = vornmgr_request_exchange(request, request_len, reply, sizeof reply);
    if (size < 0)
        return -1;
    vornmgr_pkg_message_t first;
    if (vornmgr_pkg_read_message(reply, VORNMGR_PKG_HDR_LEN, vornmgr_pkg_end(reply, size), &first) !=
            VORNMGR_PKG_MESSAGE ||
        first.type != ACK) {
        errno = ECONNREFUSED;
        return -1;
    }
    return 0;
}

int vornmgr_register(Module module, int count, const Module *mods, vornmgr_callback_t callback)
{
    if (!vornmgr_module_is_valid(module) || !callback.is_set() || count < 0 || (count > 0 && mods == nullptr)) {
        errno = EINVAL;
        return 0;
    }
    if (vornmgr_delivery_is_current_thread()) {
        errno = EDEADLK;
        return 0;
    }
    std::lock_guard guard(lifecycle_lock);
    if (registered_module.load() >= 0) {
        errno = EALREADY;
        return 0;
    }
    // Subscribe before registering, so that broadcasts the manager sends right
    // after its ACK are already queued for the delivery thread.
    zmq::socket_t subscriber = vornmgr_subscriber_open();
    vornmgr_request_open();
    request_channel_guard channel_guard;
    if (vornmgr_exchange_connect(MODULE_REGISTER, module) < 0)
        return 0;
    vornmgr_delivery_start(std::move(subscriber), callback);
    channel_guard.keep = true;
    registered_module.store(module);
    return 1;
}

int vornmgr_unregister_module(Module module)
{
    if (vornmgr_delivery_is_current_thread()) {
        errno = EDEADLK;
        return -1;
    }
    std::lock_guard guard(lifecycle_lock);
    const int registered = registered_module.load();
    if (registered < 0)
        return 0;
    if (module != registered) {
        errno = EINVAL;
        return -1;
    }
    request_channel_guard channel_guard;
    // The callback in progress may still send its answer; after this no
    // request of ours follows the unregistration.
    vornmgr_delivery_stop();
    registered_module.store(-1);
    return vornmgr_exchange_connect(MODULE_UNREGISTER, module);
}

int vornmgr_send_request(Module module, int req_len, const void *req, int reply_cap, void *reply)
{
    if (req == nullptr || reply == nullptr || req_len <= 0 || reply_cap <= 0) {
        errno = EINVAL;
        return -1;
    }
    if (req_len > VORNMGR_MAX_PKG_LEN) {
        errno = EMSGSIZE;
        return -1;
    }
    const int registered = registered_module.load();
    if (registered < 0) {
        errno = ENOTCONN;
        return -1;
    }
    if (module != registered) {
        errno = EINVAL;
        return -1;
    }
    return vornmgr_request_exchange(req, req_len, reply, reply_cap);
}

// Turns the exception being handled into an errno value.
void vornmgr_set_errno_from_exception(void)
{
    try {
        throw;
    } catch (const zmq::error_t &error) {
        errno = error.num();
    } catch (const std::system_error &error) {
        errno = error.code().value();
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
    } catch (...) {
        errno = EIO;
    }
}

} // namespace

zmq::context_t &vornmgr_context(void)
{
    static auto *context = new zmq::context_t(1);
    return *context;
}

extern "C" VORNMGR_EXPORT int vornmgr_register_cb(Module module, int count, Module *mods, INFR_CB cb)
{
    try {
        return vornmgr_register(module, count, mods, vornmgr_callback_t{.plain = cb});
    } catch (...) {
        vornmgr_set_errno_from_exception();
        return 0;
    }
}

extern "C" VORNMGR_EXPORT int vornmgr_register_cb_data(Module module, int count, Module *mods, INFR_CB_DATA cb,
                                                       void *data)
{
    try {
        return vornmgr_register(module, count, mods, vornmgr_callback_t{.with_data = cb, .data = data});
    } catch (...) {
        vornmgr_set_errno_from_exception();
        return 0;
    }
}

extern "C" VORNMGR_EXPORT int vornmgr_send(Module module, int req_len, void *req, int reply_cap, void *reply)
{
    try {
        return vornmgr_send_request(module, req_len, req, reply_cap, reply);
    } catch (...) {
        vornmgr_set_errno_from_exception();
        return -1;
    }
}

extern "C" VORNMGR_EXPORT int vornmgr_unregister(Module module)
{
    try {
        return vornmgr_unregister_module(module);
    } catch (...) {
        vornmgr_set_errno_from_exception();
        return -1;
    }
}
