// SPDX-License-Identifier: Apache-2.0
// The bare libzmq baseline the manager is compared with.

#include "bench.h"
#include "bench_helpers.h"
#include "bench_wire.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <zmq.hpp>

namespace bench {

int echo_server_main()
{
    // One context per socket, as the manager has, so that the comparison is
    // between the manager's code and none, not between thread layouts.
    zmq::context_t comm_context(1);
    zmq::context_t pub_context(1);
    zmq::socket_t reply(comm_context, zmq::socket_type::rep);
    zmq::socket_t publisher(pub_context, zmq::socket_type::pub);
    try {
        reply.bind(BARE_COMM_ENDPOINT);
        publisher.bind(BARE_PUB_ENDPOINT);
    } catch (const zmq::error_t &error) {
        fprintf(stderr, "vornmgr_bench: echo server cannot bind: %s\n", error.what());
        return 1;
    }
    if (write(STDOUT_FILENO, "R\n", 2) != 2)
        return 1;

    char buf[VORNMGR_MAX_PKG_LEN];
    for (;;) {
        const int got = zmq_recv(reply.handle(), buf, sizeof buf, 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "vornmgr_bench: echo server receive: %s\n", zmq_strerror(errno));
            return 1;
        }
        const int len = got < int(sizeof buf) ? got : int(sizeof buf);
        if (zmq_send(reply.handle(), buf, size_t(len), 0) != len) {
            fprintf(stderr, "vornmgr_bench: echo server send: %s\n", zmq_strerror(errno));
            return 1;
        }
        if (first_type(buf, len) == NETWORK_LAYER_INFO)
            zmq_send(publisher.handle(), buf, size_t(len), ZMQ_DONTWAIT);
    }
}

} // namespace bench
