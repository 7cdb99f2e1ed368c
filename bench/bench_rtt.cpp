// SPDX-License-Identifier: Apache-2.0
// Request round trips: the manager's comm channel against the bare echo
// server, the same requests from the same client code, alternating between
// the two so that both meet the same machine load.

#include "bench_phases.h"
#include "bench_stats.h"
#include "bench_wire.h"

#include <algorithm>
#include <array>
#include <barrier>
#include <cerrno>
#include <cstring>
#include <thread>

#include <zmq.hpp>

namespace bench {

namespace {

constexpr int max_clients = 8;
constexpr int warmup_requests = 20;
constexpr int reply_timeout_ms = 5000;

enum class Kind { keepalive, registration };

struct Target {
    const char *name;
    const char *endpoint;
    bool echoes;  // the bare server echoes the request; the manager ACKs it
};

const std::array<Target, 2> targets{{
    {"bare REQ/REP", BARE_COMM_ENDPOINT, true},
    {"vornmgrd", VORNMGR_COMM_ENDPOINT, false},
}};

// A module's request socket; each client has its own context (and so its
// own I/O thread), as a module process has.
struct Client {
    zmq::context_t context{1};
    zmq::socket_t socket;
    explicit Client(const char *endpoint) : socket(context, zmq::socket_type::req)
    {
        socket.set(zmq::sockopt::linger, 0);
        socket.set(zmq::sockopt::rcvtimeo, reply_timeout_ms);
        socket.set(zmq::sockopt::sndtimeo, reply_timeout_ms);
        socket.connect(endpoint);
    }
};

struct ClientRun {
    std::vector<ns_t> latencies;
    ns_t started = 0;
    ns_t ended = 0;
    std::string error;
};

// Module identifiers 2 to 9, one per client, so that the registrations make
// exactly the rows the library-client modules use later.
Module client_module(int index)
{
    return static_cast<Module>(FRR + index);
}

Package request_for(Kind kind, int client, int sequence)
{
    return kind == Kind::keepalive ? keepalive_answer_package(client_module(client), sequence)
                                   : register_package(client_module(client));
}

// One request and its reply; false (with the reason) if the reply is not the
// one expected.
bool exchange(zmq::socket_t &socket, const Package &request, bool echoes, std::string &error)
{
    char reply[VORNMGR_MAX_PKG_LEN];
    if (zmq_send(socket.handle(), request.data(), size_t(request.len), 0) != request.len) {
        error = std::string("send: ") + zmq_strerror(errno);
        return false;
    }
    const int got = zmq_recv(socket.handle(), reply, sizeof reply, 0);
    if (got < 0) {
        error = std::string("no reply: ") + zmq_strerror(errno);
        return false;
    }
    const bool expected = echoes ? request.equals(reply, got)
                                 : ACK_PACKAGE.equals(reply, got);
    if (!expected) {
        error = "unexpected reply of " + std::to_string(got) + " bytes, type " + std::to_string(first_type(reply, got));
        return false;
    }
    return true;
}

void run_client(Client &client, int index, Kind kind, bool echoes, int requests, std::barrier<> &start,
                ClientRun &run)
{
    run.latencies.reserve(size_t(requests));
    bool ok = true;
    for (int i = 0; ok && i < warmup_requests; i++)
        ok = exchange(client.socket, request_for(kind, index, i), echoes, run.error);
    // Every client starts measuring at the same moment, also after a failure,
    // so that nobody waits for ever at the barrier.
    start.arrive_and_wait();
    run.started = now_ns();
    for (int i = 0; ok && i < requests; i++) {
        const Package request = request_for(kind, index, i);
        const ns_t sent = now_ns();
        ok = exchange(client.socket, request, echoes, run.error);
        run.latencies.push_back(now_ns() - sent);
    }
    run.ended = now_ns();
    if (!ok)
        run.latencies.pop_back();
}

struct Pooled {
    std::vector<ns_t> latencies;
    ns_t busy = 0;  // sum of the runs' wall times
    int64_t requests = 0;
    ns_t server_cpu = 0;  // CPU time the server used, warm-up requests included
    int64_t server_requests = 0;
};

// One run of `clients` concurrent clients; problems go to the report.
void run_load(std::vector<std::unique_ptr<Client>> &pool, int clients, Kind kind, bool echoes, int per_client,
              pid_t server, Pooled &into, Report &report, const char *target)
{
    const ProcSample before = proc_sample(server);
    std::vector<ClientRun> runs(static_cast<size_t>(clients));
    std::barrier<> start(clients);
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; i++)
        threads.emplace_back(run_client, std::ref(*pool[size_t(i)]), i, kind, echoes, per_client, std::ref(start),
                             std::ref(runs[size_t(i)]));
    for (std::thread &thread : threads)
        thread.join();
    into.server_cpu += proc_activity(before, proc_sample(server)).run_ns;
    into.server_requests += int64_t(clients) * (warmup_requests + per_client);
    ns_t first = runs.front().started;
    ns_t last = runs.front().ended;
    for (const ClientRun &run : runs) {
        if (!run.error.empty())
            report.problem(format("round trip to %s: %s", target, run.error.c_str()));
        first = std::min(first, run.started);
        last = std::max(last, run.ended);
        into.latencies.insert(into.latencies.end(), run.latencies.begin(), run.latencies.end());
        into.requests += int64_t(run.latencies.size());
    }
    into.busy += last - first;
}

const char *kind_key(Kind kind)
{
    return kind == Kind::keepalive ? "keepalive" : "register";
}

} // namespace

void measure_round_trips(const Options &options, const Servers &servers, Report &report)
{
    report.section("Request round trip             modules  target          median us    p99 us     req/s  "
                   "server CPU us/req  median ratio");
    const std::array<pid_t, 2> server_pids{servers.bare, servers.manager};
    std::array<std::vector<std::unique_ptr<Client>>, 2> pools;
    for (size_t t = 0; t < targets.size(); t++)
        for (int i = 0; i < max_clients; i++)
            pools[t].push_back(std::make_unique<Client>(targets[t].endpoint));

    for (const Kind kind : {Kind::keepalive, Kind::registration}) {
        for (const int clients : {1, max_clients}) {
            const int per_client = std::max(1, options.requests / options.rounds / clients);
            std::array<Pooled, 2> pooled;
            for (int round = 0; round < options.rounds; round++) {
                // Alternate which target goes first, so neither always runs
                // right after the other's burst.
                for (size_t step = 0; step < targets.size(); step++) {
                    const size_t t = (step + size_t(round)) % targets.size();
                    run_load(pools[t], clients, kind, targets[t].echoes, per_client, server_pids[t], pooled[t],
                             report, targets[t].name);
                }
            }
            std::array<Summary, 2> summaries;
            for (size_t t = 0; t < targets.size(); t++)
                summaries[t] = summarise(pooled[t].latencies);
            const double ratio = summaries[0].median > 0 ? double(summaries[1].median) / double(summaries[0].median) : 0;
            const char *title = kind == Kind::keepalive ? "keepalive answer (no log line)" : "registration (one log line)";
            for (size_t t = 0; t < targets.size(); t++) {
                const double rate = pooled[t].busy > 0 ? double(pooled[t].requests) * double(NS_PER_S) / double(pooled[t].busy) : 0;
                const std::string key = format("rtt.%s.%d.%s", kind_key(kind), clients, t == 0 ? "bare" : "vornmgrd");
                const double cpu_per_request = double(pooled[t].server_cpu) / double(NS_PER_US) /
                                               double(std::max<int64_t>(1, pooled[t].server_requests));
                report.line(format("%-30s %7d  %-14s %10.1f %9.1f %9.0f %18.1f  %s", t == 0 ? title : "", clients,
                                   targets[t].name, to_us(summaries[t].median), to_us(summaries[t].p99), rate,
                                   cpu_per_request, t == 0 ? "" : format("%.2f", ratio).c_str()));
                report.figure(key + ".server_cpu", cpu_per_request, "us/request");
                report.figure(key + ".median", to_us(summaries[t].median), "us");
                report.figure(key + ".p99", to_us(summaries[t].p99), "us");
                report.figure(key + ".rate", rate, "requests/s");
                report.figure(key + ".samples", double(summaries[t].count), "requests");
            }
            report.figure(format("rtt.%s.%d.ratio", kind_key(kind), clients), ratio, "vornmgrd/bare (median)");
            if (kind == Kind::keepalive)
                report.target(format("keepalive round trip <= 1.25 x bare (median, %d module%s)", clients,
                                     clients == 1 ? "" : "s"),
                              ratio <= 1.25, format("%.2f x", ratio));
        }
    }
}

} // namespace bench
