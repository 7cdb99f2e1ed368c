// SPDX-License-Identifier: Apache-2.0
// vornmgrd's entry: options, the locked PID file, the start order of the
// channels and threads, and the stop order when the comm receive thread ends
// (on SIGTERM or SIGINT).

#include "log.h"
#include "vorn_mgr.h"
#include "vorn_mgr_cli_server.h"
#include "vorn_mgr_notify.h"
#include "vorn_pid_file.h"

#include <getopt.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Locked for the whole life of the process and never removed: it is closed
// only after the exit notice, when the process ends.
vorn_pid_file_t pid_fp;

void log_exit(void)
{
    LOG_INFO("Vorn manager exiting.\n");
    vornmgr_notify_without_waiting("STOPPING=1");
}

// Set only by a stop signal: the one way the manager ends well once running.
std::atomic<bool> stop_signalled{false};
static_assert(std::atomic<bool>::is_always_lock_free);

void vornmgr_on_stop_signal(int /*signo*/)
{
    stop_signalled.store(true);
    vornmgr_request_stop();
}

// SIGTERM and SIGINT end the receive loop. They are blocked while the
// manager's threads are created, so that those threads inherit the block and
// only the main thread ever runs the handler.
sigset_t vornmgr_stop_signals(void)
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    return signals;
}

void vornmgr_install_stop_handler(void)
{
    struct sigaction action = {};
    action.sa_handler = vornmgr_on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    const sigset_t signals = vornmgr_stop_signals();
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

void vornmgr_unblock_stop_signals(void)
{
    const sigset_t signals = vornmgr_stop_signals();
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
}

// Ends the comm receive thread if it still runs and any take-down at once (no
// further broadcast, no reboot), then closes everything in the stop order:
// comm channel, monitor timer, operator socket, publish channel.
void vornmgr_teardown(bool cli_started)
{
    vornmgr_stop_watchdog();
    vornmgr_request_stop();
    vornmgr_stop_take_down();
    vornmgr_join_comm_thread();
    vornmgr_destroy_comm_channel();
    vornmgr_delete_monitor_timer();
    if (cli_started)
        vornmgr_stop_cli();
    vornmgr_destroy_pub_channel();
}

} // namespace

int main(int argc, char **argv)
{
    bool daemonize = false;
    char loglevel[16] = "INFO";
    static const option long_options[] = {{"version", no_argument, nullptr, 'V'}, {nullptr, 0, nullptr, 0}};
    int option;
    while ((option = getopt_long(argc, argv, "dhc:l:", long_options, nullptr)) != -1) {
        switch (option) {
        case 'V':
            printf("vornmgrd %s\n", VORN_VERSION);
            return 0;
        case 'd':
            daemonize = true;
            break;
        case 'l':
            // Accepted for compatibility; the log threshold stays the library's.
            snprintf(loglevel, sizeof loglevel, "%s", optarg);
            break;
        default:  // -h, -c and unknown options end the program quietly
            return 0;
        }
    }

    // A reboot command still running after a crash of the manager must not
    // hold the lock that keeps its successor out: the file is close-on-exec.
    if (!pid_fp.lock_or_log(VORNMGR_PIDFILE, "vornmgr"))
        return 1;
    atexit(log_exit);
    LOG_INFO("vornmgrd version %s\n", VORN_VERSION);

    if (daemonize && !vorn_daemon_detach())
        return 1;
    if (!pid_fp.write_pid(getpid()))
        LOG_ERR("failed to empty pid file %s: %s\n", VORNMGR_PIDFILE, strerror(errno));

    bool restarted = false;
    operative_mode = vornmgr_get_startup_mode(ALL_MODULES, &restarted);
    vornmgr_restarted = restarted;
    vornmgr_load_modules_before_restart();
    if (_min_log_level.load(std::memory_order_relaxed) >= LOG_LEVEL_INFO) {
        char mode_text[VORNMGR_TEXT_BUF_LEN];
        LOG_INFO("Vorn manager starting in %s mode\n", mode_to_str(operative_mode, mode_text));
    }
    required_state = UP;
    vornmgr_read_reboot_commands();

    vornmgr_install_stop_handler();
    if (!vornmgr_start_channels()) {
        LOG_ERR("failed to start VornMgr channels %s\n", strerror(errno));
        vornmgr_teardown(false);
        // A failed start is a failure, so that the service manager retries.
        return 1;
    }
    // A failed operator socket does not stop the start.
    vornmgr_start_cli();
    const bool cli_started = true;
    // Asked for and impossible, the watchdog is a failed start.
    if (!vornmgr_start_watchdog()) {
        vornmgr_teardown(cli_started);
        return 1;
    }
    vornmgr_unblock_stop_signals();
    sd_notify(0, "READY=1");
    vornmgr_start_time = time(nullptr);
    vornmgr_notify_summary();

    if (!vornmgr_create_background_thread()) {
        vornmgr_teardown(cli_started);
        return 1;
    }
    // Modules registered before a restart that discovery did not find are
    // probed for a while longer.
    vornmgr_probe_unaccounted_modules();
    const bool joined = vornmgr_join_comm_thread();
    vornmgr_teardown(cli_started);
    // Every end but a stop signal's is a failure, so that the service manager
    // restarts the manager.
    if (!stop_signalled.load()) {
        LOG_ERR("comm receive thread %s without a stop\n", joined ? "ended" : "missing");
        return 1;
    }
    return 0;
}
