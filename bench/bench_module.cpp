// SPDX-License-Identifier: Apache-2.0
// A library-client module for the take-down and bring-up measurements.

#include "bench.h"
#include "bench_helpers.h"
#include "bench_wire.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace bench {

namespace {

// Set once by module_main before registering; read by the callback thread.
Module my_mod = MAX_MODULES;
int my_answer_delay_ms = 0;
std::atomic<Mode> my_mode{REBOOT_WARM};

// Set when the module hears the UP broadcast of its own init complete: from
// then on its subscription is in effect and no broadcast will pass it by.
std::mutex heard_lock;  // guards heard_own_up
std::condition_variable heard_changed;
bool heard_own_up = false;

// One line to the coordinator in one write, so that lines never interleave.
template <typename... Args>
void report(const char *format, Args... args)
{
    char line[160];
    const int len = snprintf(line, sizeof line, format, args...);
    if (len > 0 && write(STDOUT_FILENO, line, size_t(len)) != len)
        fprintf(stderr, "vornmgr_bench module %d: cannot report: %s\n", int(my_mod), strerror(errno));
}

// Sends a request and checks the reply's first message; false on failure.
bool send_request(const Package &request, int32_t expected_type)
{
    char reply[VORNMGR_MAX_PKG_LEN];
    Package copy = request;
    const int got = vornmgr_send(my_mod, copy.len, copy.bytes.data(), sizeof reply, reply);
    if (got < 0) {
        fprintf(stderr, "vornmgr_bench module %d: request %d failed: %s\n", int(my_mod),
                int(first_type(request.data(), request.len)), strerror(errno));
        return false;
    }
    if (first_type(reply, got) != expected_type) {
        fprintf(stderr, "vornmgr_bench module %d: request %d answered %d\n", int(my_mod),
                int(first_type(request.data(), request.len)), int(first_type(reply, got)));
        return false;
    }
    return true;
}

// LOAD_COMPLETE then INIT_COMPLETE, the order the manager expects.
bool handshake()
{
    const Mode mode = my_mode;
    return send_request(module_status_package(LOAD_COMPLETE, my_mod, mode, LOAD_COMPLETE), MODE_INFO) &&
           send_request(module_status_package(INIT_COMPLETE, my_mod, mode, INIT_COMPLETE), UP);
}

void answer_go_down(const module_mode_t &order, ns_t received)
{
    if (my_answer_delay_ms > 0)
        sleep_ns(my_answer_delay_ms * NS_PER_MS);
    const ns_t sent = now_ns();
    if (!send_request(go_down_answer_package(order.mod, my_mod, order.mode), ACK))
        return;
    report("A %d %lld %lld %lld\n", int(order.mod), static_cast<long long>(received),
           static_cast<long long>(sent), static_cast<long long>(now_ns()));
}

// Handles one message of a broadcast that arrived at `received`.
void on_message(const char *package, const vornmgr_pkg_message_t &message, ns_t received)
{
    module_mode_t order;
    module_status_t status;
    keepalive_request_t keepalive;
    if (message.type == GO_DOWN && vornmgr_pkg_read_payload(package, &message, &order, sizeof order)) {
        my_mode = order.mode;
        answer_go_down(order, received);
    } else if (message.type == COME_UP && vornmgr_pkg_read_payload(package, &message, &order, sizeof order)) {
        if (order.mod != ALL_MODULES && order.mod != my_mod)
            return;
        my_mode = order.mode;
        if (handshake())
            report("U %lld\n", static_cast<long long>(now_ns()));
    } else if (message.type == UP && vornmgr_pkg_read_payload(package, &message, &status, sizeof status)) {
        if (status.mode.mod == my_mod) {
            std::lock_guard guard(heard_lock);
            heard_own_up = true;
            heard_changed.notify_all();
        }
    } else if (message.type == KEEP_ALIVE_REQ &&
               vornmgr_pkg_read_payload(package, &message, &keepalive, sizeof keepalive)) {
        send_request(keepalive_answer_package(my_mod, keepalive.seq), ACK);
    } else if (message.type == MODULE_STATUS_REQ) {
        send_request(module_status_package(MODULE_STATUS_RESP, my_mod, my_mode, UP), ACK);
    }
}

int on_broadcast(int len, void *buf)
{
    const ns_t received = now_ns();
    const char *package = static_cast<const char *>(buf);
    const int end = vornmgr_pkg_end(package, len);
    vornmgr_pkg_message_t message;
    for (int offset = VORNMGR_PKG_HDR_LEN;
         vornmgr_pkg_read_message(package, offset, end, &message) == VORNMGR_PKG_MESSAGE; offset += message.len)
        on_message(package, message, received);
    return 1;
}

} // namespace

int module_main(Module mod, int answer_delay_ms)
{
    my_mod = mod;
    my_answer_delay_ms = answer_delay_ms;
    static Module my_list[1] = {mod};
    if (!vornmgr_register_cb(my_mod, 1, my_list, on_broadcast)) {
        fprintf(stderr, "vornmgr_bench module %d: cannot register: %s\n", int(mod), strerror(errno));
        vornmgr_unregister(my_mod);
        return 1;
    }
    if (!handshake()) {
        vornmgr_unregister(my_mod);
        return 1;
    }
    // A subscription reaches the publisher a moment after the connection: a
    // module that reported ready before would miss the first GO_DOWN. The
    // server broadcasts UP for each init complete, so init complete is
    // repeated until this module hears its own.
    bool heard = false;
    for (int attempt = 0; !heard && attempt < 50; attempt++) {
        std::unique_lock held(heard_lock);
        heard = heard_changed.wait_for(held, std::chrono::milliseconds(200), [] { return heard_own_up; });
        held.unlock();
        if (!heard && !send_request(module_status_package(INIT_COMPLETE, my_mod, my_mode, INIT_COMPLETE), UP))
            break;
    }
    if (!heard) {
        fprintf(stderr, "vornmgr_bench module %d: never heard its own UP broadcast\n", int(mod));
        vornmgr_unregister(my_mod);
        return 1;
    }
    report("%s", "R\n");
    char ignored[64];
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, ignored, sizeof ignored);
        if (got > 0 || (got < 0 && errno == EINTR))
            continue;
        break;
    }
    vornmgr_unregister(my_mod);
    return 0;
}

} // namespace bench
