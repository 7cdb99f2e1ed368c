// SPDX-License-Identifier: Apache-2.0
// bench_process.h - the processes a run starts (the manager, the bare echo
// server, the library-client modules) and what /proc tells about them: CPU
// time to the nanosecond, wake-ups and resident memory, thread by thread.
#ifndef VORN_BENCH_PROCESS_H
#define VORN_BENCH_PROCESS_H

#include "bench.h"
#include "unique_fd.h"

#include <optional>
#include <string>
#include <vector>

namespace bench {

struct SpawnOptions {
    std::vector<std::string> env;  // "NAME=value", added to or replacing ours
    bool stdin_pipe = false;       // else /dev/null
    bool stdout_pipe = false;      // else stdout_fd
    int stdout_fd = -1;            // -1: ours
    int stderr_fd = -1;            // -1: ours
};

// A child process; destruction kills (SIGKILL) and reaps it if it still runs.
class Child {
public:
    // Throws std::runtime_error if the program cannot be started.
    Child(const std::vector<std::string> &argv, const SpawnOptions &options);
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return pid_; }
    // The moment just before the program was started.
    ns_t spawned_at() const { return spawned_at_; }
    bool kill(int signal);
    // Reaps the child; its wait status, or nullopt if it still runs at the bound.
    std::optional<int> wait_exit(ns_t timeout);
    // Asks with SIGTERM, then insists with SIGKILL; the wait status.
    int stop(ns_t grace);

    // Writing end of its standard input (closing it is the modules' signal to
    // leave) and reading end of its standard output.
    unique_fd &stdin_fd() { return stdin_; }
    int stdout_fd() const { return stdout_.get(); }
    // The next line of its standard output, without the newline; nullopt at
    // the bound or at end of file.
    std::optional<std::string> read_line(ns_t timeout);

private:
    pid_t pid_ = -1;
    ns_t spawned_at_ = 0;
    std::optional<int> status_;
    unique_fd stdin_;
    unique_fd stdout_;
    std::string pending_;  // read but not yet returned
};

// One thread's counters.
struct TaskSample {
    pid_t tid = 0;
    std::string name;
    ns_t run_ns = 0;          // CPU time (schedstat)
    ns_t queued_ns = 0;       // time runnable but waiting for a CPU (schedstat)
    int64_t timeslices = 0;   // times put on a CPU, i.e. wake-ups (schedstat)
    int64_t voluntary = 0;    // context switches (status)
    int64_t involuntary = 0;
};

struct ProcSample {
    ns_t taken_at = 0;
    std::vector<TaskSample> tasks;
    int64_t cpu_ticks = 0;  // utime + stime of the whole process, exited threads included
    int64_t rss_kib = 0;
    int64_t hwm_kib = 0;
    int64_t rss_anon_kib = 0;
    int64_t rss_file_kib = 0;
    int64_t threads = 0;
};

// Throws std::runtime_error if the process cannot be read.
ProcSample proc_sample(pid_t pid);

// What happened between two samples of the same process.
struct Activity {
    ns_t window = 0;
    ns_t run_ns = 0;            // threads alive at the end (new ones counted whole)
    ns_t queued_ns = 0;         // same threads, runnable but waiting for a CPU
    int64_t wakeups = 0;        // timeslices, same threads
    int64_t cpu_ticks = 0;      // whole process, exited threads included
    bool threads_changed = false;
    std::vector<TaskSample> busy;  // per-thread deltas of the threads that ran
};
Activity proc_activity(const ProcSample &before, const ProcSample &after);

// Whole content of a (small) file; empty if it cannot be read.
std::string read_text_file(const std::string &path);

} // namespace bench

#endif // VORN_BENCH_PROCESS_H
