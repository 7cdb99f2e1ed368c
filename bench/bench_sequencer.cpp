// SPDX-License-Identifier: Apache-2.0
// The bare baseline of a take-down: the same exchange as the manager's (the
// GO_DOWN broadcast, every registered module's answer, the DOWN broadcast,
// module after module in layering order; one COME_UP to bring them up) in
// plain libzmq on the manager's own endpoints and operator socket, one
// thread, no log, no registry beyond a set of identifiers. The manager's
// take-down less this one's is what the manager adds to the transport.

#include "bench.h"
#include "bench_helpers.h"
#include "bench_wire.h"
#include "unique_fd.h"

#include "vorn_mgr_cli.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <zmq.hpp>

namespace bench {

namespace {

constexpr std::array<Module, 8> layering_order{SYSTEM_SERVICES, FRR, BGP, OSPF, TRELL, STP, SWIVEND, SDK};
constexpr int answer_timeout_ms = 10000;

struct Sequencer {
    zmq::context_t comm_context{1};
    zmq::context_t pub_context{1};
    zmq::socket_t reply{comm_context, zmq::socket_type::rep};
    zmq::socket_t publisher{pub_context, zmq::socket_type::pub};
    unique_fd listener;
    std::array<bool, MAX_MODULES> registered{};
    Mode mode = REBOOT_WARM;
    int about = -1;  // the module being taken down
    int answers = 0;

    bool send_reply(const Package &package)
    {
        return zmq_send(reply.handle(), package.data(), size_t(package.len), 0) == package.len;
    }
    void publish(const void *package, int len)
    {
        zmq_send(publisher.handle(), package, size_t(len), ZMQ_DONTWAIT);
    }
    int registered_count() const
    {
        int count = 0;
        for (int mod = FRR; mod < MAX_MODULES; mod++)
            count += registered[size_t(mod)] ? 1 : 0;
        return count;
    }

    // Receives and answers one request; false if none came in time.
    bool serve_one(int timeout_ms)
    {
        zmq_pollitem_t item{reply.handle(), 0, ZMQ_POLLIN, 0};
        if (zmq_poll(&item, 1, timeout_ms) <= 0)
            return false;
        char request[VORNMGR_MAX_PKG_LEN];
        const int len = zmq_recv(reply.handle(), request, sizeof request, 0);
        if (len < 0)
            return false;
        answer(request, len);
        return true;
    }

    void answer(const char *request, int len)
    {
        // Every request the sequencer answers names a module in its first field.
        vornmgr_pkg_message_t message;
        int32_t type = -1;
        int32_t first_field = -1;
        if (first_message(request, len, &message)) {
            type = message.type;
            vornmgr_pkg_read_payload(request, &message, &first_field, sizeof first_field);
        }
        const bool valid_mod = first_field >= 0 && first_field < MAX_MODULES;
        switch (type) {
        case MODULE_REGISTER:
        case MODULE_UNREGISTER:
            // As in the manager's registry, a row once entered stays counted:
            // a module that unregistered is still waited for.
            if (valid_mod)
                registered[size_t(first_field)] = true;
            send_reply(ACK_PACKAGE);
            return;
        case LOAD_COMPLETE:
            send_reply(Package().add(MODE_INFO, module_mode_t{Module(first_field), mode, UP}).add(MOD_LIST));
            return;
        case INIT_COMPLETE: {
            const Package up = make_package(UP, module_status_t{{Module(first_field), mode, UP}, NO_ERROR});
            if (send_reply(up))
                publish(up.data(), up.len);
            return;
        }
        case GO_DOWN:
            send_reply(ACK_PACKAGE);
            if (first_field == about)
                answers++;
            return;
        case NETWORK_LAYER_INFO:
            if (send_reply(ACK_PACKAGE))
                publish(request, len);
            return;
        case KEEP_ALIVE_RESP:
        case MODULE_STATUS_RESP:
            send_reply(ACK_PACKAGE);
            return;
        default:
            send_reply(Package().add(NACK));
        }
    }

    void broadcast_mode_change(State type, Module mod)
    {
        const Package package = make_package(type, module_mode_t{mod, mode, type});
        publish(package.data(), package.len);
    }

    void take_down()
    {
        const int required = registered_count();
        for (const Module mod : layering_order) {
            if (!registered[size_t(mod)])
                continue;
            about = mod;
            answers = 0;
            broadcast_mode_change(GO_DOWN, mod);
            while (answers < required && serve_one(answer_timeout_ms)) {
            }
            broadcast_mode_change(DOWN, mod);
        }
    }

    void bring_up()
    {
        broadcast_mode_change(COME_UP, ALL_MODULES);
        const Package nl_info = Package().add(NETWORK_LAYER_INFO);
        publish(nl_info.data(), nl_info.len);
    }

    void serve_operator()
    {
        const unique_fd conn(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        vorn_mgr_cli_msg_t request{};
        if (!conn || read(conn.get(), &request, sizeof request) != ssize_t(sizeof request))
            return;
        if (request.cmd == MAINTENANCE_MODE_ENABLE) {
            mode = Mode(mode | MAINTENANCE);
            take_down();
        } else if (request.cmd == MAINTENANCE_MODE_DISABLE) {
            mode = Mode(mode & ~MAINTENANCE);
            bring_up();
        }
        const vorn_mgr_cli_resp_t over{{RESP_OVER}, VORNMGR_CLI_RESP_HDR_LEN};
        if (send(conn.get(), &over, sizeof over, MSG_NOSIGNAL) != ssize_t(sizeof over))
            fprintf(stderr, "vornmgr_bench: bare sequencer cannot answer: %s\n", strerror(errno));
    }
};

bool open_listener(unique_fd &listener)
{
    unlink(VORNMGR_CLI_SOCKET_PATH);
    listener.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", VORNMGR_CLI_SOCKET_PATH);
    return listener && bind(listener.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0 &&
           listen(listener.get(), 5) == 0;
}

} // namespace

int bare_sequencer_main()
{
    Sequencer sequencer;
    try {
        sequencer.reply.bind(VORNMGR_COMM_ENDPOINT);
        sequencer.publisher.bind(VORNMGR_PUB_ENDPOINT);
    } catch (const zmq::error_t &error) {
        fprintf(stderr, "vornmgr_bench: bare sequencer cannot bind: %s\n", error.what());
        return 1;
    }
    if (!open_listener(sequencer.listener)) {
        fprintf(stderr, "vornmgr_bench: bare sequencer cannot listen on %s: %s\n", VORNMGR_CLI_SOCKET_PATH,
                strerror(errno));
        return 1;
    }
    if (write(STDOUT_FILENO, "R\n", 2) != 2)
        return 1;
    for (;;) {
        zmq_pollitem_t items[2] = {
            {sequencer.reply.handle(), 0, ZMQ_POLLIN, 0},
            {nullptr, sequencer.listener.get(), ZMQ_POLLIN, 0},
        };
        if (zmq_poll(items, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "vornmgr_bench: bare sequencer poll: %s\n", zmq_strerror(errno));
            return 1;
        }
        if (items[0].revents & ZMQ_POLLIN)
            sequencer.serve_one(0);
        if (items[1].revents & ZMQ_POLLIN)
            sequencer.serve_operator();
    }
}

} // namespace bench
