// SPDX-License-Identifier: Apache-2.0
// brel-system-services: the module that stands for the host's own system
// services before the lifecycle manager. Entry: options, PID file, signals,
// registration, the start-up handshake, the idle wait (with the retries of a
// pending handshake) and the shutdown.

#include "brel_system_services.h"
#include "log.h"
#include "vorn_pid_file.h"

#include <systemd/sd-daemon.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <getopt.h>
#include <unistd.h>

Module my_mod_id = SYSTEM_SERVICES;
std::atomic<Mode> my_mode{REBOOT_COLD};
std::atomic<State> my_state{UP};
module_mode_t mod_mode{};
std::mutex mod_mode_lock;
std::atomic<bool> time_to_quit{false};
std::atomic<int> caught_signal{0};

// Written from a signal handler: only lock-free atomics are safe there.
static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

// Only records the signal: logging and unregistering are not safe in a signal
// handler, so the main thread does both as soon as its wait ends.
void brel_system_services_signal_cb(int signum)
{
    caught_signal.store(signum);
    time_to_quit.store(true);
}

bool set_signal_handler(int signum, void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: a signal cuts the main thread's sleep short
    if (sigaction(signum, &action, nullptr) != 0) {
        LOG_ERR("sigaction failed for signal %d, %s\n", signum, strerror(errno));
        return false;
    }
    return true;
}

void log_exit(void)
{
    LOG_INFO("Vorn manager exiting.\n");
    sd_notify(0, "STOPPING=1");
}

int main(int argc, char **argv)
{
    bool detach = false;
    static const option long_options[] = {{"version", no_argument, nullptr, 'V'}, {nullptr, 0, nullptr, 0}};
    int option;
    while ((option = getopt_long(argc, argv, "dhc:l:", long_options, nullptr)) != -1) {
        switch (option) {
        case 'V':
            printf("brel-system-services %s\n", VORN_VERSION);
            return 0;
        case 'd':
            detach = true;
            break;
        case 'l':
            break;
        default:
            // -h, -c and any option getopt refused (it printed its own
            // diagnostic) end the program before the PID file is touched,
            // with status 0 like the manager.
            return 0;
        }
    }

    // Locked until main returns: a start-up failure closes it, which lets the
    // next instance in, and leaves it in place; only the shutdown deletes it.
    vorn_pid_file_t pid_file;
    if (!pid_file.lock_or_log(BREL_SYSTEM_SERVICES_PIDFILE, "brel_system_services"))
        return 1;

    atexit(log_exit);
    LOG_INFO("brel-system-services version %s\n", VORN_VERSION);

    if (!set_signal_handler(SIGHUP, brel_system_services_signal_cb) ||
        !set_signal_handler(SIGTERM, brel_system_services_signal_cb)) {
        LOG_ERR("Error setting signal handlers.\n");
        return 1;
    }

    if (detach && !vorn_daemon_detach())
        return 1;

    if (!pid_file.write_pid(getpid()))
        LOG_WARN("cannot truncate pid file %s (%s)\n", BREL_SYSTEM_SERVICES_PIDFILE, strerror(errno));

    // Like a manager that does not answer, a squatter on its port ends the
    // start-up; systemd starts the module again until the manager is back.
    if (vornmgr_register_cb(my_mod_id, 1, &my_mod_id, brel_system_services_vornmgr_retrying_cb) == 0) {
        brel_system_services_log_not_manager(errno);
        vornmgr_unregister(my_mod_id);
        LOG_ERR("Failed to register with Norvane Smart manager\n");
        return 1;
    }

    // A module that cannot finish its handshake leaves the manager's registry
    // again: otherwise the manager would wait for its answers at every take-down.
    // Nothing is left pending then; the turn is given back before
    // unregistering, which waits for a COME_UP handler waiting for the turn.
    int mod_list_len = MAX_MODULES;
    Module mod_list[MAX_MODULES];
    brel_system_services_claim_handshake();
    const bool loaded = brel_system_services_load_complete_into_mod_mode(&mod_list_len, mod_list);
    const bool initialised = loaded && brel_system_services_vorn_mgr_init_complete();
    brel_system_services_release_handshake(false);
    if (!loaded) {
        LOG_ERR("Failed to send load complete to Norvane Smart Manager\n");
        vornmgr_unregister(my_mod_id);
        return 1;
    }
    if (!initialised) {
        LOG_ERR("Failed send init complete\n");
        vornmgr_unregister(my_mod_id);
        return 1;
    }

    // A signal cuts the sleep short. In between, a handshake the manager was
    // away for runs again when it is due: a manager that came back may
    // broadcast nothing for a while.
    while (!time_to_quit.load()) {
        const timespec wait = brel_system_services_time_to_retry();
        nanosleep(&wait, nullptr);
        if (!time_to_quit.load())
            brel_system_services_retry_due_handshake();
    }

    LOG_INFO("Signal %d\n", caught_signal.load());
    vornmgr_unregister(my_mod_id);

    if (!pid_file.remove())
        LOG_ERR("Couldn't delete pid file %s (%s)\n", BREL_SYSTEM_SERVICES_PIDFILE, strerror(errno));
    LOG_INFO("Quitting brel-system-services\n");
    return 0;
}
