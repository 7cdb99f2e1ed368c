// SPDX-License-Identifier: Apache-2.0
// Starting, asking and stopping the manager under test.

#include "bench_manager.h"

#include "vorn_mgr_cli.h"
#include "vorn_mgr_history.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace bench {

namespace {

std::atomic<int> notify_sockets_made{0};

bool wait_readable(int fd, ns_t deadline)
{
    for (;;) {
        const ns_t left = deadline - now_ns();
        if (left <= 0)
            return false;
        pollfd item{fd, POLLIN, 0};
        const int ready = poll(&item, 1, int(left / NS_PER_MS) + 1);
        if (ready > 0)
            return true;
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

// The bound of records, each of the size of an eight-position take-down's:
// the history of a switch that has seen fifty maintenance windows, where
// every record the manager adds pushes out the oldest.
void fill_history()
{
    mkdir(MANAGER_STATE_DIR, 0700);
    std::ofstream history(MANAGER_HISTORY_FILE, std::ios::trunc);
    const std::string record = R"({"kind":"maintenance-on","positions":[],"written_by":"vornmgr_bench","padding":")" +
                               std::string(2300, 'x') + "\"}\n";
    for (int i = 0; i < VORNMGR_HISTORY_MAX_RECORDS; i++)
        history << record;
    if (!history.flush() || chmod(MANAGER_HISTORY_FILE, 0600) != 0)
        throw std::runtime_error(std::string("cannot write ") + MANAGER_HISTORY_FILE);
}

void write_manager_files(const Options &options)
{
    mkdir(MANAGER_CONF_DIR, 0755);
    std::ofstream conf(MANAGER_CONF_FILE, std::ios::trunc);
    // Warm boot, so that leaving maintenance (which needs a mode bit besides
    // MAINTENANCE) brings the modules up again.
    conf << "boot_mode=warm\nvornmgrctl_override=true\n";
    if (!conf.flush())
        throw std::runtime_error(std::string("cannot write ") + MANAGER_CONF_FILE);
    // Without a startup file and the runtime directory, which a reboot
    // empties, the manager starts as in a fresh boot: no discovery of the
    // modules an earlier manager knew, no recovery, monitor timer at once.
    if (unlink(MANAGER_STARTUP_FILE) != 0 && errno != ENOENT)
        throw std::runtime_error(std::string("cannot remove ") + MANAGER_STARTUP_FILE);
    std::error_code error;
    std::filesystem::remove_all(MANAGER_RUN_DIR, error);
    if (error)
        throw std::runtime_error(std::string("cannot remove ") + MANAGER_RUN_DIR + ": " + error.message());
    if (options.full_history)
        fill_history();
}

} // namespace

NotifySocket::NotifySocket()
{
    mkdir("/run/vornmgr_bench", 0700);
    path_ = "/run/vornmgr_bench/notify-" + std::to_string(getpid()) + "-" +
            std::to_string(notify_sockets_made++) + ".sock";
    unlink(path_.c_str());
    fd_.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path_.c_str());
    if (!fd_ || bind(fd_.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0)
        throw std::runtime_error("cannot bind " + path_ + ": " + strerror(errno));
}

NotifySocket::~NotifySocket()
{
    unlink(path_.c_str());
}

std::optional<ns_t> NotifySocket::wait_ready(ns_t timeout)
{
    const ns_t deadline = now_ns() + timeout;
    while (wait_readable(fd_.get(), deadline)) {
        char datagram[4096];
        const ssize_t got = recv(fd_.get(), datagram, sizeof datagram - 1, 0);
        const ns_t arrived = now_ns();
        if (got < 0)
            continue;
        datagram[got] = '\0';
        // A datagram holds newline-separated assignments.
        for (char *line = strtok(datagram, "\n"); line != nullptr; line = strtok(nullptr, "\n"))
            if (strcmp(line, "READY=1") == 0)
                return arrived;
    }
    return std::nullopt;
}

ManagerRun start_manager(const Options &options, int log_fd)
{
    write_manager_files(options);
    NotifySocket notify;
    ManagerRun run;
    SpawnOptions spawn;
    spawn.env = {notify.env()};
    spawn.stdout_fd = log_fd;
    spawn.stderr_fd = log_fd;
    run.process = std::make_unique<Child>(std::vector<std::string>{options.vornmgrd_path}, spawn);
    const auto ready = notify.wait_ready(10 * NS_PER_S);
    if (!ready)
        throw std::runtime_error("the manager did not report READY=1 within 10 s (see " + options.log_path + ")");
    run.ready_after = *ready - run.process->spawned_at();
    const ProcSample at_ready = proc_sample(run.process->pid());
    for (const TaskSample &task : at_ready.tasks) {
        run.cpu_at_ready += task.run_ns;
        run.queued_at_ready += task.queued_ns;
    }
    return run;
}

std::optional<ns_t> operator_request(int32_t command, ns_t timeout)
{
    const ns_t deadline = now_ns() + timeout;
    unique_fd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", MANAGER_CLI_SOCKET);
    if (!sock || connect(sock.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        fprintf(stderr, "vornmgr_bench: cannot connect to %s: %s\n", MANAGER_CLI_SOCKET, strerror(errno));
        return std::nullopt;
    }
    const vorn_mgr_cli_msg_t request{static_cast<vorn_mgr_cli_cmd_t>(command)};
    if (write(sock.get(), &request, sizeof request) != ssize_t(sizeof request)) {
        fprintf(stderr, "vornmgr_bench: operator request %d not sent: %s\n", int(command), strerror(errno));
        return std::nullopt;
    }
    vorn_mgr_cli_resp_t answer{};
    size_t got = 0;
    while (got < sizeof answer) {
        if (!wait_readable(sock.get(), deadline)) {
            fprintf(stderr, "vornmgr_bench: no RESP_OVER to operator request %d in time\n", int(command));
            return std::nullopt;
        }
        const ssize_t n = read(sock.get(), reinterpret_cast<char *>(&answer) + got, sizeof answer - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fprintf(stderr, "vornmgr_bench: operator socket closed before RESP_OVER (request %d)\n", int(command));
            return std::nullopt;
        }
        got += size_t(n);
    }
    const ns_t arrived = now_ns();
    if (answer.status.cmd != RESP_OVER || answer.len != VORNMGR_CLI_RESP_HDR_LEN) {
        fprintf(stderr, "vornmgr_bench: operator request %d answered status %d len %d\n", int(command),
                int(answer.status.cmd), int(answer.len));
        return std::nullopt;
    }
    return arrived;
}

} // namespace bench
