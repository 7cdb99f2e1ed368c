// SPDX-License-Identifier: Apache-2.0
// bench_manager.h - the manager under test: started the way systemd starts
// it (with a notification socket), asked things the way vornmgrctl asks
// them (the operator socket), and stopped with SIGTERM.
#ifndef VORN_BENCH_MANAGER_H
#define VORN_BENCH_MANAGER_H

#include "bench.h"
#include "bench_process.h"

#include <memory>
#include <optional>

namespace bench {

// An AF_UNIX datagram socket standing in for systemd's.
class NotifySocket {
public:
    NotifySocket();  // throws std::runtime_error
    ~NotifySocket();
    NotifySocket(const NotifySocket &) = delete;
    NotifySocket &operator=(const NotifySocket &) = delete;

    std::string env() const { return "NOTIFY_SOCKET=" + path_; }
    // When a datagram holding the line "READY=1" arrived; nullopt at the bound.
    std::optional<ns_t> wait_ready(ns_t timeout);

private:
    std::string path_;
    unique_fd fd_;
};

struct ManagerRun {
    std::unique_ptr<Child> process;
    ns_t ready_after = 0;  // from exec to READY=1
    // Read just after READY=1, over all its threads: the CPU time it used to
    // get there and the time it spent runnable but waiting for a CPU, which
    // tells a slow start of ours from a busy machine.
    ns_t cpu_at_ready = 0;
    ns_t queued_at_ready = 0;
};

// Makes the sandbox's files those of a first start in a fresh boot (warm boot
// mode, no startup file), starts the manager with its output appended to
// log_fd and waits for READY=1. Throws std::runtime_error on failure.
ManagerRun start_manager(const Options &options, int log_fd);

// One operator request on the operator socket; the time RESP_OVER arrived,
// or nullopt (after a message on stderr) if it did not.
std::optional<ns_t> operator_request(int32_t command, ns_t timeout);

} // namespace bench

#endif // VORN_BENCH_MANAGER_H
