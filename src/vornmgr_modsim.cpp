// SPDX-License-Identifier: Apache-2.0
// vornmgr-modsim: one simulated module of the switch. Registers with the
// manager through libvornmgr, reports load and init complete, then answers
// broadcasts on the library's thread while the main thread waits for a stop
// signal (and retries a handshake the manager was away for); unregisters
// before it exits.

#include "vornmgr_modsim.h"

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

namespace {

enum modsim_register_result_t { MODSIM_REGISTERED, MODSIM_NOT_REGISTERED, MODSIM_STOPPED };

// True if one of `signals` is pending (and takes it).
bool modsim_stop_requested(const sigset_t &signals)
{
    const timespec no_wait{0, 0};
    return sigtimedwait(&signals, nullptr, &no_wait) > 0;
}

// Registers, trying again while the manager does not answer (it may still be
// starting) or while someone else holds its port (the manager cannot start
// before they leave), until the --register-wait bound passes. Each try lasts
// up to the library's reply time-out, so a stop signal is seen between tries.
modsim_register_result_t modsim_register(const sigset_t &stop_signals)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(modsim_options.register_wait_s);
    Module module = modsim_options.module;
    for (;;) {
        if (vornmgr_register_cb(module, 1, &module, modsim_vornmgr_cb) != 0) {
            modsim_say("registered with vornmgrd");
            return MODSIM_REGISTERED;
        }
        const int error = errno;
        if ((error != ETIMEDOUT && error != EPERM) || std::chrono::steady_clock::now() >= deadline) {
            modsim_complain("cannot register with vornmgrd: %s", modsim_error_text(error));
            return MODSIM_NOT_REGISTERED;
        }
        if (error == ETIMEDOUT) {
            if (modsim_stop_requested(stop_signals))
                return MODSIM_STOPPED;
            modsim_say("no answer from vornmgrd yet, trying again");
            continue;
        }
        // The squatter answers at once: without a pause this would spin.
        modsim_complain("%s, trying again in %d s", modsim_error_text(error), MODSIM_SQUATTED_RETRY_S);
        const timespec pause{MODSIM_SQUATTED_RETRY_S, 0};
        if (sigtimedwait(&stop_signals, nullptr, &pause) > 0)
            return MODSIM_STOPPED;
    }
}

void modsim_announce(void)
{
    const modsim_options_t &o = modsim_options;
    if (o.silent_all) {
        modsim_say("simulating %s: every GO_DOWN left unanswered", mod_id_to_str(o.module));
        return;
    }
    char own[96];
    if (o.silent_own)
        snprintf(own, sizeof own, "left unanswered");
    else if (o.failure_reason != NO_ERROR)
        snprintf(own, sizeof own, "answered after %d ms with failure reason %d", o.own_delay_ms,
                 static_cast<int>(o.failure_reason));
    else
        snprintf(own, sizeof own, "answered after %d ms", o.own_delay_ms);
    modsim_say("simulating %s: GO_DOWN for it %s, for others after %d ms", mod_id_to_str(o.module), own,
               o.others_delay_ms);
}

bool modsim_unregister(void)
{
    if (vornmgr_unregister(modsim_options.module) != 0) {
        modsim_complain("unregistering failed: %s", modsim_error_text(errno));
        return false;
    }
    modsim_say("unregistered");
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    switch (modsim_parse_options(argc, argv, &modsim_options)) {
    case MODSIM_EXIT_OK:
        return MODSIM_STATUS_OK;
    case MODSIM_EXIT_USAGE:
        return MODSIM_STATUS_USAGE;
    case MODSIM_RUN:
        break;
    }
    // Lines reach a pipe or file as they happen.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // Blocked before the library starts its threads, so that every thread
    // inherits the mask and the signals wait for sigwait below: the library's
    // calls are not async-signal-safe, a handler could not unregister.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    modsim_announce();
    switch (modsim_register(stop_signals)) {
    case MODSIM_NOT_REGISTERED:
        return MODSIM_STATUS_FAILED;
    case MODSIM_STOPPED:
        modsim_say("stopped before registering");
        return MODSIM_STATUS_OK;
    case MODSIM_REGISTERED:
        break;
    }
    if (!modsim_start_handshake()) {
        modsim_complain("start-up handshake failed");
        modsim_unregister();
        return MODSIM_STATUS_FAILED;
    }

    // Between signals the main thread runs a pending handshake when it is
    // due: a manager that came back broadcasts nothing for a while.
    int signal_number;
    for (;;) {
        const timespec wait = modsim_time_to_retry();
        signal_number = sigtimedwait(&stop_signals, nullptr, &wait);
        if (signal_number > 0)
            break;
        modsim_retry_due_handshake();
    }
    modsim_say("%s: stopping", strsignal(signal_number));
    modsim_stop_delays();
    return modsim_unregister() ? MODSIM_STATUS_OK : MODSIM_STATUS_FAILED;
}
