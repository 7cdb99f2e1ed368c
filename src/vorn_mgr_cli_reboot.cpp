// SPDX-License-Identifier: Apache-2.0
// The reboot that ends an operator restart. The command runs in a child of
// its own whose end the operator thread watches among its other work: while
// the machine goes down the command may never return, and the thread must
// stay free; when it does return with a failure, no reboot is coming and the
// modules, all down by now, are brought back up.

#include "log.h"
#include "unique_fd.h"
#include "vorn_mgr_cli_server.h"
#include "vorn_mgr_history.h"

#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

extern char **environ;

namespace {

// The reboot command started last. Used only by the operator thread.
struct vornmgr_pending_reboot_t {
    pid_t pid = -1;
    unique_fd ended;  // pidfd: readable once the command ended
    const char *command = nullptr;
    Mode mode_before = UNKNOWN_MODE;  // the system's mode before the restart request
};
vornmgr_pending_reboot_t pending_reboot;

} // namespace

// The command runs with the signals a shell expects: the manager's threads
// block SIGTERM and SIGINT, and a child would inherit that.
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
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    char sh[] = "/bin/sh";
    char dash_c[] = "-c";
    char *argv[] = {sh, dash_c, const_cast<char *>(command), nullptr};
    pid_t pid = -1;
    *error = posix_spawn(&pid, sh, nullptr, &attr, argv, environ);
    posix_spawnattr_destroy(&attr);
    return *error == 0 ? pid : -1;
}

vornmgr_reboot_spawner_fn vornmgr_reboot_spawner = vornmgr_spawn_shell;

namespace {

// No reboot is coming: the switch must not stay down.
void vornmgr_recover_from_failed_reboot(Mode mode_before)
{
    char mode_text[VORNMGR_TEXT_BUF_LEN];
    LOG_ERR("no reboot is coming: bringing all modules back up in %s mode\n", mode_to_str(mode_before, mode_text));
    vornmgr_bring_all_up(SEQUENCE_RECOVERY, mode_before, mode_before);
}

} // namespace

void vornmgr_cli_reboot(const char *command, vornmgr_sequence_record_t record)
{
    const Mode mode_before = record.mode_before;
    LOG_INFO("Rebooting with %s option\n", command);
    // A command of an earlier restart that still runs is the machine going
    // down; it is no longer watched.
    pending_reboot = vornmgr_pending_reboot_t{};

    int error = 0;
    const pid_t pid = vornmgr_reboot_spawner(command, &error);
    if (pid < 0) {
        LOG_ERR("error in running %s %s\n", command, strerror(error));
        // What a shell says of a command it cannot run.
        vornmgr_history_note_reboot_end(127, 0);
        vornmgr_recover_from_failed_reboot(mode_before);
        return;
    }
    record.stage = STAGE_REBOOT_STARTED;
    vornmgr_write_sequence_record(record);
    // pidfd_open has no C++ declaration in every C library: call it directly.
    unique_fd ended(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (!ended) {
        // Without a descriptor to watch, the status cannot be collected
        // without blocking the operator thread: the command is left to run.
        LOG_ERR("error in watching %s %s\n", command, strerror(errno));
        return;
    }
    pending_reboot.pid = pid;
    pending_reboot.ended = std::move(ended);
    pending_reboot.command = command;
    pending_reboot.mode_before = mode_before;
}

int vornmgr_cli_reboot_fd(void)
{
    return pending_reboot.ended.get();
}

void vornmgr_cli_reboot_ended(void)
{
    int status = 0;
    pid_t reaped;
    do {
        reaped = waitpid(pending_reboot.pid, &status, WNOHANG);
    } while (reaped < 0 && errno == EINTR);
    if (reaped == 0)
        return;  // not ended after all
    const vornmgr_pending_reboot_t reboot = std::move(pending_reboot);
    pending_reboot = vornmgr_pending_reboot_t{};
    if (reaped < 0) {
        LOG_ERR("error in collecting the status of %s %s\n", reboot.command, strerror(errno));
        return;
    }
    vornmgr_history_note_reboot_end(WIFEXITED(status) ? WEXITSTATUS(status) : 0,
                                    WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return;  // the machine is going down
    if (WIFSIGNALED(status))
        LOG_ERR("reboot command \"%s\" killed by signal %d\n", reboot.command, WTERMSIG(status));
    else
        LOG_ERR("reboot command \"%s\" failed with exit status %d\n", reboot.command, WEXITSTATUS(status));
    vornmgr_recover_from_failed_reboot(reboot.mode_before);
}
