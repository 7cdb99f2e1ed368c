// SPDX-License-Identifier: Apache-2.0
// Broadcast fan-out: a NETWORK_LAYER_INFO request, which the manager answers
// and relays unchanged to every subscriber, until all eight subscribers have
// it; the bare server relays the same way.

#include "bench_phases.h"
#include "bench_stats.h"
#include "bench_wire.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include <zmq.hpp>

namespace bench {

namespace {

constexpr int subscribers = 8;
constexpr int receive_tick_ms = 200;
constexpr ns_t delivery_timeout = 2 * NS_PER_S;
// Probes carry numbers below this; measured publishes count up from 0.
constexpr int32_t probe_base = -1000000;

// Eight subscribers, each with its own context and thread, as eight module
// processes would have. Each notes when the publish numbered `current` reached it.
class Subscribers {
public:
    explicit Subscribers(const char *endpoint)
    {
        for (int i = 0; i < subscribers; i++)
            threads_[size_t(i)] = std::thread(&Subscribers::receive, this, endpoint, i);
    }
    ~Subscribers()
    {
        stop_ = true;
        for (std::thread &thread : threads_)
            thread.join();
    }
    Subscribers(const Subscribers &) = delete;
    Subscribers &operator=(const Subscribers &) = delete;

    void expect(int32_t number)
    {
        std::lock_guard guard(lock_);
        current_ = number;
        arrived_.fill(0);
        count_ = 0;
    }
    // The arrival times at every subscriber, or false at the bound.
    bool wait_all(ns_t timeout, std::array<ns_t, subscribers> &arrived)
    {
        std::unique_lock held(lock_);
        if (!changed_.wait_for(held, std::chrono::nanoseconds(timeout), [this] { return count_ == subscribers; }))
            return false;
        arrived = arrived_;
        return true;
    }

private:
    void receive(const char *endpoint, int index)
    {
        zmq::context_t context(1);
        zmq::socket_t socket(context, zmq::socket_type::sub);
        socket.set(zmq::sockopt::linger, 0);
        socket.set(zmq::sockopt::rcvtimeo, receive_tick_ms);
        socket.set(zmq::sockopt::subscribe, "");
        socket.connect(endpoint);
        char package[VORNMGR_MAX_PKG_LEN];
        while (!stop_) {
            const int got = zmq_recv(socket.handle(), package, sizeof package, 0);
            const ns_t arrived = now_ns();
            int32_t number;
            if (!read_first(package, got, NETWORK_LAYER_INFO, &number))
                continue;
            std::lock_guard guard(lock_);
            if (number != current_ || arrived_[size_t(index)] != 0)
                continue;
            arrived_[size_t(index)] = arrived;
            if (++count_ == subscribers)
                changed_.notify_all();
        }
    }

    std::array<std::thread, subscribers> threads_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;  // guards the three below
    std::condition_variable changed_;
    int32_t current_ = probe_base - 1;
    std::array<ns_t, subscribers> arrived_{};
    int count_ = 0;
};

struct Publisher {
    zmq::context_t context{1};
    zmq::socket_t socket{context, zmq::socket_type::req};
    explicit Publisher(const char *endpoint)
    {
        socket.set(zmq::sockopt::linger, 0);
        socket.set(zmq::sockopt::rcvtimeo, 5000);
        socket.connect(endpoint);
    }
    // Sends publish `number`; false if the reply did not come.
    bool publish(int32_t number)
    {
        const Package request = nl_info_package(number);
        char reply[VORNMGR_MAX_PKG_LEN];
        return zmq_send(socket.handle(), request.data(), size_t(request.len), 0) == request.len &&
               zmq_recv(socket.handle(), reply, sizeof reply, 0) >= 12;
    }
};

struct Target {
    const char *name;
    const char *comm;
    const char *pub;
};

const std::array<Target, 2> targets{{
    {"bare PUB", BARE_COMM_ENDPOINT, BARE_PUB_ENDPOINT},
    {"vornmgrd", VORNMGR_COMM_ENDPOINT, VORNMGR_PUB_ENDPOINT},
}};

struct Measured {
    std::vector<ns_t> first;  // request sent to the first subscriber's receipt
    std::vector<ns_t> last;   // ... to the last subscriber's receipt
    ns_t server_cpu = 0;
};

// Publishes probes until all subscribers hear one, so that no measured
// publish goes to a subscription still on its way.
bool wait_subscribed(Publisher &publisher, Subscribers &subscribed)
{
    std::array<ns_t, subscribers> arrived;
    for (int32_t probe = probe_base; probe < probe_base + 50; probe++) {
        subscribed.expect(probe);
        if (!publisher.publish(probe))
            return false;
        if (subscribed.wait_all(100 * NS_PER_MS, arrived))
            return true;
    }
    return false;
}

} // namespace

void measure_fanout(const Options &options, const Servers &servers, Report &report)
{
    report.section("Broadcast fan-out, 8 subscribers  target        first median us  last median us  last p99 us  "
                   "server CPU us/publish  ratio");
    const std::array<pid_t, 2> server_pids{servers.bare, servers.manager};
    std::array<Measured, 2> measured;
    for (size_t t = 0; t < targets.size(); t++) {
        Publisher publisher(targets[t].comm);
        Subscribers subscribed(targets[t].pub);
        if (!wait_subscribed(publisher, subscribed)) {
            report.problem(format("fan-out: the subscribers of %s never heard a probe", targets[t].name));
            return;
        }
        std::array<ns_t, subscribers> arrived;
        const ProcSample before = proc_sample(server_pids[t]);
        for (int32_t number = 0; number < options.fanouts; number++) {
            subscribed.expect(number);
            const ns_t sent = now_ns();
            if (!publisher.publish(number) || !subscribed.wait_all(delivery_timeout, arrived)) {
                report.problem(format("fan-out: publish %d through %s did not reach all subscribers", int(number),
                                      targets[t].name));
                return;
            }
            measured[t].first.push_back(*std::min_element(arrived.begin(), arrived.end()) - sent);
            measured[t].last.push_back(*std::max_element(arrived.begin(), arrived.end()) - sent);
        }
        measured[t].server_cpu = proc_activity(before, proc_sample(server_pids[t])).run_ns;
    }
    std::array<Summary, 2> first;
    std::array<Summary, 2> last;
    for (size_t t = 0; t < targets.size(); t++) {
        first[t] = summarise(measured[t].first);
        last[t] = summarise(measured[t].last);
    }
    const double ratio = last[0].median > 0 ? double(last[1].median) / double(last[0].median) : 0;
    for (size_t t = 0; t < targets.size(); t++) {
        const std::string key = format("fanout.%s", t == 0 ? "bare" : "vornmgrd");
        const double cpu_per_publish = double(measured[t].server_cpu) / double(NS_PER_US) / double(options.fanouts);
        report.line(format("%-33s %-14s %15.1f %15.1f %12.1f %22.1f  %s", t == 0 ? "request to receipt" : "",
                           targets[t].name, to_us(first[t].median), to_us(last[t].median), to_us(last[t].p99),
                           cpu_per_publish, t == 0 ? "" : format("%.2f", ratio).c_str()));
        report.figure(key + ".server_cpu", cpu_per_publish, "us/publish");
        report.figure(key + ".first.median", to_us(first[t].median), "us");
        report.figure(key + ".last.median", to_us(last[t].median), "us");
        report.figure(key + ".last.p99", to_us(last[t].p99), "us");
    }
    report.figure("fanout.ratio", ratio, "vornmgrd/bare (median, last subscriber)");
}

} // namespace bench
