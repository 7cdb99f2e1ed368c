// SPDX-License-Identifier: Apache-2.0
// Starting, reading and ending the run's helper processes, and reading their
// counters from /proc.

#include "bench_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace bench {

namespace {

std::vector<std::string> merged_environment(const std::vector<std::string> &extra)
{
    std::vector<std::string> env;
    for (char **entry = environ; *entry != nullptr; entry++) {
        const std::string text(*entry);
        const std::string name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const std::string &added : extra)
            replaced = replaced || added.substr(0, added.find('=')) == name;
        if (!replaced)
            env.push_back(text);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char *> c_strings(std::vector<std::string> &strings)
{
    std::vector<char *> pointers;
    for (std::string &text : strings)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

struct spawn_actions {
    posix_spawn_file_actions_t actions;
    spawn_actions() { posix_spawn_file_actions_init(&actions); }
    ~spawn_actions() { posix_spawn_file_actions_destroy(&actions); }
    spawn_actions(const spawn_actions &) = delete;
    spawn_actions &operator=(const spawn_actions &) = delete;
};

void make_pipe(unique_fd &read_end, unique_fd &write_end)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe: ") + strerror(errno));
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
}

int64_t status_field(const std::string &status, const char *key)
{
    const size_t at = status.find(key);
    if (at == std::string::npos)
        return 0;
    return strtoll(status.c_str() + at + strlen(key), nullptr, 10);
}

} // namespace

Child::Child(const std::vector<std::string> &argv, const SpawnOptions &options)
{
    spawn_actions file_actions;
    unique_fd child_stdin;
    unique_fd child_stdout;
    if (options.stdin_pipe) {
        make_pipe(child_stdin, stdin_);
        posix_spawn_file_actions_adddup2(&file_actions.actions, child_stdin.get(), STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&file_actions.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    if (options.stdout_pipe) {
        make_pipe(stdout_, child_stdout);
        posix_spawn_file_actions_adddup2(&file_actions.actions, child_stdout.get(), STDOUT_FILENO);
    } else if (options.stdout_fd >= 0) {
        posix_spawn_file_actions_adddup2(&file_actions.actions, options.stdout_fd, STDOUT_FILENO);
    }
    if (options.stderr_fd >= 0)
        posix_spawn_file_actions_adddup2(&file_actions.actions, options.stderr_fd, STDERR_FILENO);

    std::vector<std::string> args = argv;
    std::vector<std::string> env = merged_environment(options.env);
    std::vector<char *> c_args = c_strings(args);
    std::vector<char *> c_env = c_strings(env);
    spawned_at_ = now_ns();
    const int error = posix_spawn(&pid_, c_args[0], &file_actions.actions, nullptr, c_args.data(), c_env.data());
    if (error != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv[0] + ": " + strerror(error));
    }
}

Child::~Child()
{
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int status;
        waitpid(pid_, &status, 0);
    }
}

bool Child::kill(int signal)
{
    return !status_ && ::kill(pid_, signal) == 0;
}

std::optional<int> Child::wait_exit(ns_t timeout)
{
    const ns_t deadline = now_ns() + timeout;
    while (!status_) {
        int status;
        const pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = status;
            break;
        }
        if (done < 0 && errno != EINTR)
            throw std::runtime_error(std::string("waitpid: ") + strerror(errno));
        if (now_ns() >= deadline)
            return std::nullopt;
        sleep_ns(2 * NS_PER_MS);
    }
    return status_;
}

int Child::stop(ns_t grace)
{
    kill(SIGTERM);
    if (const auto status = wait_exit(grace))
        return *status;
    kill(SIGKILL);
    return *wait_exit(10 * NS_PER_S);
}

std::optional<std::string> Child::read_line(ns_t timeout)
{
    const ns_t deadline = now_ns() + timeout;
    for (;;) {
        const size_t newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            return line;
        }
        const ns_t left = deadline - now_ns();
        if (left <= 0 || !stdout_)
            return std::nullopt;
        pollfd item{stdout_.get(), POLLIN, 0};
        const int ready = poll(&item, 1, int(left / NS_PER_MS) + 1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;  // the loop tests the deadline
        char buf[4096];
        const ssize_t got = read(stdout_.get(), buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return std::nullopt;
        pending_.append(buf, size_t(got));
    }
}

std::string read_text_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

ProcSample proc_sample(pid_t pid)
{
    ProcSample sample;
    sample.taken_at = now_ns();
    const std::string base = "/proc/" + std::to_string(pid);

    const std::string stat = read_text_file(base + "/stat");
    const size_t name_end = stat.rfind(')');
    if (stat.empty() || name_end == std::string::npos)
        throw std::runtime_error("cannot read " + base + "/stat");
    // After "pid (comm)": state is field 3; utime and stime are fields 14 and 15.
    std::istringstream fields(stat.substr(name_end + 2));
    std::string field;
    for (int number = 3; number <= 15 && fields >> field; number++) {
        if (number == 14 || number == 15)
            sample.cpu_ticks += std::stoll(field);
    }

    const std::string status = read_text_file(base + "/status");
    sample.rss_kib = status_field(status, "VmRSS:");
    sample.hwm_kib = status_field(status, "VmHWM:");
    sample.rss_anon_kib = status_field(status, "RssAnon:");
    sample.rss_file_kib = status_field(status, "RssFile:");
    sample.threads = status_field(status, "Threads:");

    struct dir_closer {
        void operator()(DIR *dir) const { closedir(dir); }
    };
    std::unique_ptr<DIR, dir_closer> tasks(opendir((base + "/task").c_str()));
    if (!tasks)
        throw std::runtime_error("cannot list " + base + "/task");
    while (const dirent *entry = readdir(tasks.get())) {
        if (entry->d_name[0] == '.')
            continue;
        const std::string task = base + "/task/" + entry->d_name;
        TaskSample counters;
        counters.tid = pid_t(atoi(entry->d_name));
        counters.name = read_text_file(task + "/comm");
        if (!counters.name.empty() && counters.name.back() == '\n')
            counters.name.pop_back();
        std::istringstream schedstat(read_text_file(task + "/schedstat"));
        if (!(schedstat >> counters.run_ns >> counters.queued_ns >> counters.timeslices))
            continue;  // the thread ended while we read
        const std::string task_status = read_text_file(task + "/status");
        counters.voluntary = status_field(task_status, "voluntary_ctxt_switches:");
        counters.involuntary = status_field(task_status, "nonvoluntary_ctxt_switches:");
        sample.tasks.push_back(counters);
    }
    return sample;
}

Activity proc_activity(const ProcSample &before, const ProcSample &after)
{
    Activity activity;
    activity.window = after.taken_at - before.taken_at;
    activity.cpu_ticks = after.cpu_ticks - before.cpu_ticks;
    activity.threads_changed = before.tasks.size() != after.tasks.size();
    for (const TaskSample &now : after.tasks) {
        TaskSample delta = now;
        bool found = false;
        for (const TaskSample &then : before.tasks) {
            if (then.tid != now.tid)
                continue;
            found = true;
            delta.run_ns -= then.run_ns;
            delta.queued_ns -= then.queued_ns;
            delta.timeslices -= then.timeslices;
            delta.voluntary -= then.voluntary;
            delta.involuntary -= then.involuntary;
        }
        activity.threads_changed = activity.threads_changed || !found;
        activity.run_ns += delta.run_ns;
        activity.queued_ns += delta.queued_ns;
        activity.wakeups += delta.timeslices;
        if (delta.run_ns > 0 || delta.timeslices > 0)
            activity.busy.push_back(delta);
    }
    return activity;
}

} // namespace bench
