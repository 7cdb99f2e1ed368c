// SPDX-License-Identifier: Apache-2.0
// The reboot that ends an operator restart. The command runs in a child of
// its own whose end the operator thread watches among its other work: while
// the machine goes down the command may never return, and the thread must
// stay free. A reboot that does not take the machine down is a failed one,
// and the switch must not stay down: when the command fails, or when the
// machine is still up at the end of the grace period (the command hanging,
// or having returned without effect), the switch goes back to its state
// before the request. A manager restarted in between finds the command in
// the sequence record and watches it in its predecessor's place.

#include "log.h"
#include "unique_fd.h"
#include "vorn_mgr_cli_server.h"
#include "vorn_mgr_history.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

extern char **environ;

namespace {

// The reboot awaited. Used only by the operator thread.
struct vornmgr_pending_reboot_t {
    bool active = false;
    pid_t pid = -1;
    bool adopted = false;  // started by a manager that died since: not our child
    unique_fd ended;       // pidfd, readable once the command ended; closed once it has
    const char *command = nullptr;
    vornmgr_sequence_record_t record{};
    long long deadline_ms = 0;  // boot clock: the machine must be down by then
};
vornmgr_pending_reboot_t pending_reboot;

constexpr const char *adopted_command = "the previous manager's reboot command";

// The process's start time in clock ticks after boot (field 22 of its stat
// file) and whether it is still running rather than a zombie; false when
// there is no such process.
bool vornmgr_process_start(pid_t pid, unsigned long long *start, bool *running)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    const unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd)
        return false;
    char text[1024];
    const ssize_t got = read(fd.get(), text, sizeof text - 1);
    if (got <= 0)
        return false;
    text[got] = '\0';
    // The command name may hold anything, spaces and brackets included: the
    // fields after it start after its last ')'.
    const char *after = strrchr(text, ')');
    if (after == nullptr)
        return false;
    char state = 0;
    unsigned long long fields[19] = {};
    // state, then fields 4 to 22.
    if (sscanf(after + 1, " %c %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu "
                          "%llu %llu",
               &state, &fields[0], &fields[1], &fields[2], &fields[3], &fields[4], &fields[5], &fields[6], &fields[7],
               &fields[8], &fields[9], &fields[10], &fields[11], &fields[12], &fields[13], &fields[14], &fields[15],
               &fields[16], &fields[17], &fields[18]) != 20)
        return false;
    *start = fields[18];
    *running = state != 'Z' && state != 'X' && state != 'x';
    return true;
}

// Stops the watched command, if it still runs, with everything it started:
// a reboot that comes later, over modules brought back up or a sequence the
// operator asked for since, would take them down unprepared.
void vornmgr_stop_reboot_command(void)
{
    if (!pending_reboot.active || !pending_reboot.ended)
        return;
    const pid_t pid = pending_reboot.pid;
    // Never the manager itself, nor a group it belongs to: a spawner that
    // did not give the command a group of its own (a test's) must not make
    // the manager kill itself.
    if (pid == getpid() || getpgid(pid) == getpgrp()) {
        LOG_ERR("reboot command \"%s\" (pid %d) shares the manager's process group: not stopped\n",
                pending_reboot.command, static_cast<int>(pid));
        pending_reboot.ended.reset();
        return;
    }
    // The pidfd pins the pid: the signal reaches that process or none, and
    // while it lives its process group cannot be another's. Only a group the
    // command leads is signalled.
    const bool leads_group = getpgid(pid) == pid;
    if (syscall(SYS_pidfd_send_signal, pending_reboot.ended.get(), SIGKILL, nullptr, 0) == 0 && leads_group)
        kill(-pid, SIGKILL);
    if (!pending_reboot.adopted) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    pending_reboot.ended.reset();
}

// No reboot is coming: the history says why, and the switch goes back.
void vornmgr_reboot_failed(int exit_status, int signal, const char *failure)
{
    const vornmgr_sequence_record_t record = pending_reboot.record;
    pending_reboot = vornmgr_pending_reboot_t{};
    vornmgr_history_note_reboot_end(exit_status, signal, failure);
    vornmgr_recover_from_failed_reboot(record.mode_before, record.started);
}

} // namespace

// The command runs with the signals a shell expects: the manager's threads
// block SIGTERM and SIGINT, and a child would inherit that. It leads a
// process group of its own, so that a hung reboot can be stopped whole.
pid_t vornmgr_spawn_shell(const char *command, int *error)
{
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

    char sh[] = "/bin/sh";
    char dash_c[] = "-c";
    char *argv[] = {sh, dash_c, const_cast<char *>(command), nullptr};
    pid_t pid = -1;
    *error = posix_spawn(&pid, sh, nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    return *error == 0 ? pid : -1;
}

vornmgr_reboot_spawner_fn vornmgr_reboot_spawner = vornmgr_spawn_shell;

void vornmgr_cli_reboot(const char *command, vornmgr_sequence_record_t record)
{
    LOG_INFO("Rebooting with %s option\n", command);
    // Two reboot commands never run at once: the restart's request stopped
    // an earlier one before its take-down (vornmgr_cli_forget_reboot).
    pending_reboot = vornmgr_pending_reboot_t{};
    pending_reboot.record = record;

    int error = 0;
    const pid_t pid = vornmgr_reboot_spawner(command, &error);
    if (pid < 0) {
        LOG_ERR("error in running %s %s\n", command, strerror(error));
        // What a shell says of a command it cannot run.
        vornmgr_reboot_failed(127, 0, "the reboot command could not be run");
        return;
    }
    record.stage = STAGE_REBOOT_STARTED;
    record.reboot_pid = pid;
    record.reboot_boottime_ms = vornmgr_boottime_ms();
    bool running = false;
    vornmgr_process_start(pid, &record.reboot_start, &running);
    vornmgr_write_sequence_record(record);
    pending_reboot.active = true;
    pending_reboot.pid = pid;
    pending_reboot.command = command;
    pending_reboot.record = record;
    pending_reboot.deadline_ms = record.reboot_boottime_ms + 1000LL * reboot_grace_time.load();
    // pidfd_open has no C++ declaration in every C library: call it directly.
    pending_reboot.ended.reset(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    // Without a descriptor the command's end is not seen; the grace period
    // still bounds the wait.
    if (!pending_reboot.ended)
        LOG_ERR("error in watching %s %s\n", command, strerror(errno));
}

int vornmgr_cli_reboot_fd(void)
{
    return pending_reboot.ended.get();
}

void vornmgr_cli_forget_reboot(bool for_restart)
{
    if (pending_reboot.active && pending_reboot.ended) {
        if (for_restart)
            LOG_ERR("reboot command \"%s\" of the earlier restart still runs: stopping it\n", pending_reboot.command);
        else
            LOG_ERR("reboot command \"%s\" still runs while the operator asked for another sequence: stopping it\n",
                    pending_reboot.command);
        vornmgr_stop_reboot_command();
    } else if (pending_reboot.active) {
        LOG_INFO("no longer waiting for the reboot by %s: the operator asked for another sequence\n",
                 pending_reboot.command);
    }
    pending_reboot = vornmgr_pending_reboot_t{};
}

bool vornmgr_cli_reboot_pending(void)
{
    return pending_reboot.active;
}

Mode vornmgr_cli_reboot_mode_before(Mode otherwise)
{
    return pending_reboot.active ? pending_reboot.record.mode_before : otherwise;
}

bool vornmgr_cli_reboot_leave_maintenance(void)
{
    if (!pending_reboot.active || !vornmgr_is_maintenance(pending_reboot.record.mode_before))
        return false;
    pending_reboot.record.mode_before = vornmgr_without_maintenance(pending_reboot.record.mode_before);
    // On disk too: a manager restarted before the reboot's end reads the way
    // back from the record.
    vornmgr_write_sequence_record(pending_reboot.record);
    return true;
}

long long vornmgr_cli_reboot_wait_ms(void)
{
    if (!pending_reboot.active)
        return -1;
    return std::max(0LL, pending_reboot.deadline_ms - vornmgr_boottime_ms());
}

void vornmgr_cli_reboot_ended(void)
{
    if (!pending_reboot.active || !pending_reboot.ended)
        return;
    if (pending_reboot.adopted) {
        // Not our child: its status went to whoever reaped it.
        LOG_ERR("reboot command (pid %d) of the previous manager ended and the machine is still up\n",
                static_cast<int>(pending_reboot.pid));
        vornmgr_reboot_failed(-1, 0, "the reboot command ended and the machine stayed up");
        return;
    }
    int status = 0;
    pid_t reaped;
    do {
        reaped = waitpid(pending_reboot.pid, &status, WNOHANG);
    } while (reaped < 0 && errno == EINTR);
    if (reaped == 0)
        return;  // not ended after all
    pending_reboot.ended.reset();
    if (reaped < 0) {
        LOG_ERR("error in collecting the status of %s %s\n", pending_reboot.command, strerror(errno));
        return;  // the grace period still decides
    }
    int exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : 0;
    int signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    // The shell reports a command that a signal ended as 128 plus the
    // signal's number.
    if (exit_status > 128 && exit_status < 128 + NSIG) {
        signal = exit_status - 128;
        exit_status = 0;
    }
    if (signal == 0 && exit_status == 0) {
        // The machine is going down; it has until the grace period ends.
        vornmgr_history_note_reboot_end(0, 0);
        return;
    }
    const char *command = pending_reboot.command;
    char failure[64];
    if (signal != 0) {
        LOG_ERR("reboot command \"%s\" killed by signal %d\n", command, signal);
        snprintf(failure, sizeof failure, "the reboot command was killed by signal %d", signal);
    } else {
        LOG_ERR("reboot command \"%s\" failed with exit status %d\n", command, exit_status);
        snprintf(failure, sizeof failure, "the reboot command failed with exit status %d", exit_status);
    }
    vornmgr_reboot_failed(signal != 0 ? 0 : exit_status, signal, failure);
}

void vornmgr_cli_reboot_check_deadline(void)
{
    if (!pending_reboot.active || vornmgr_boottime_ms() < pending_reboot.deadline_ms)
        return;
    const int grace = reboot_grace_time.load();
    char failure[96];
    if (!pending_reboot.ended) {
        LOG_ERR("the machine did not go down within %d s of the reboot command \"%s\"\n", grace,
                pending_reboot.command);
        snprintf(failure, sizeof failure, "the machine did not go down within %d s", grace);
        vornmgr_reboot_failed(0, 0, failure);
        return;
    }
    LOG_ERR("reboot command \"%s\" did not take the machine down within %d s: stopping it\n", pending_reboot.command,
            grace);
    vornmgr_stop_reboot_command();
    snprintf(failure, sizeof failure, "the reboot command did not take the machine down within %d s", grace);
    vornmgr_reboot_failed(-1, 0, failure);
}

bool vornmgr_reboot_still_runs(const vornmgr_sequence_record_t &record)
{
    if (record.reboot_pid <= 0)
        return false;
    unsigned long long start = 0;
    bool running = false;
    return vornmgr_process_start(record.reboot_pid, &start, &running) && running && start == record.reboot_start;
}

void vornmgr_cli_adopt_reboot(const vornmgr_sequence_record_t &record)
{
    pending_reboot = vornmgr_pending_reboot_t{};
    pending_reboot.active = true;
    pending_reboot.adopted = true;
    pending_reboot.pid = record.reboot_pid;
    pending_reboot.command = adopted_command;
    pending_reboot.record = record;
    pending_reboot.deadline_ms = record.reboot_boottime_ms + 1000LL * reboot_grace_time.load();
    pending_reboot.ended.reset(static_cast<int>(syscall(SYS_pidfd_open, record.reboot_pid, 0)));
    // Checked again once the descriptor pins the process: the pid may have
    // ended, and been given to another, since it was first looked at.
    if (!pending_reboot.ended || !vornmgr_reboot_still_runs(record)) {
        LOG_ERR("reboot command (pid %d) of the previous manager ended and the machine is still up\n",
                record.reboot_pid);
        vornmgr_reboot_failed(-1, 0, "the reboot command ended while the manager was away");
    }
}
