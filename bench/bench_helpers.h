// SPDX-License-Identifier: Apache-2.0
// bench_helpers.h - the helper processes a run starts by running this program
// again: the bare echo server and the library-client module.
#ifndef VORN_BENCH_HELPERS_H
#define VORN_BENCH_HELPERS_H

#include "vorn_mgr_intf.h"

namespace bench {

// The bare libzmq baseline: a REP socket that echoes every request as it
// came, and a PUB socket that relays NETWORK_LAYER_INFO requests after the
// reply, as the manager does. Prints "R" when bound; runs until killed.
int echo_server_main();

// The bare take-down sequencer (bench_sequencer.cpp): the manager's
// take-down and bring-up exchange in plain libzmq, on the manager's endpoints
// and operator socket. Prints "R" when listening; runs until killed.
int bare_sequencer_main();

// A module that reaches the manager through libvornmgr, as every module of
// the switch does: registers, reports load and init complete, answers every
// broadcast it owes an answer, and repeats the handshake on COME_UP.
// Holds each GO_DOWN answer back for answer_delay_ms. Its standard output
// tells the coordinator what happened, one line each, times in monotonic ns:
//   "R"                                   registered and up
//   "A <about> <received> <sent> <acked>" a GO_DOWN answer
//   "U <time>"                            up again after a COME_UP
// Leaves (unregistering) when its standard input closes.
int module_main(Module mod, int answer_delay_ms);

} // namespace bench

#endif // VORN_BENCH_HELPERS_H
