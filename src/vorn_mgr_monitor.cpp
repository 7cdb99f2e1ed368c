// SPDX-License-Identifier: Apache-2.0
// The monitor timer: at every expiry, announce layer 3 on the manager's own
// authority when the routing modules stayed silent past their time limits,
// judge who answered the last keepalive, then broadcast the next one.

#include "log.h"
#include "vorn_mgr.h"

#include <signal.h>
#include <zmq.h>

#include <array>
#include <cerrno>
#include <cstring>

timer_t monitor_timer_id;
struct itimerspec monitor_ts;
std::atomic<int> keepalive_seq_no{0};

namespace {

// Expiry threads are started by the system and may still run when the timer
// is deleted; deletion waits for them, so none outlives the channels.
std::mutex monitor_lock;  // guards the three values below
std::condition_variable monitor_idle;
bool monitor_timer_exists = false;
bool monitor_stopping = false;
int monitor_threads_running = 0;

void vornmgr_announce_l3_if_overdue(void)
{
    if (broadcast_l3_up)
        return;
    const int elapsed = static_cast<int>(difftime(time(nullptr), vornmgr_start_time));
    if (elapsed > l3_nl_info_timeout) {
        LOG_INFO("Time out Broadcast NETWORK_LAYER_INFO (after %d seconds)\n", elapsed);
        broadcast_l3_up = vornmgr_publish_dummy_nl_status();
    } else if (elapsed > l3_register_timeout && vornmgr_num_l3_mod_present() == 0) {
        LOG_INFO("No L3 module, broadcast NETWORK_LAYER_INFO (after %d seconds)\n", elapsed);
        broadcast_l3_up = vornmgr_publish_dummy_nl_status();
    }
}

// Wall-clock second at which the last keepalive went out; 0 before the
// first. Only expiry threads write it.
std::atomic<time_t> last_keepalive_sent{0};

// Before the next keepalive goes out: a module registered when the last one
// went out that has not answered it since missed one more; a module that
// registered (or was entered) after it was never asked. Then every registered
// module is awaited again. Only noted and logged: the manager takes no action
// on silence.
void vornmgr_judge_keepalives(void)
{
    const time_t sent = last_keepalive_sent;
    std::array<bool, MAX_MODULES> warn{};
    std::array<time_t, MAX_MODULES> last_answer{};
    {
        std::lock_guard<std::mutex> guard(registry_lock);
        for (int mod = FRR; mod <= SYSTEM_SERVICES; mod++) {
            registered_modules_t &row = registered_mods[mod];
            if (!vornmgr_row_is_registered(mod)) {
                row.keepalive_awaited = false;
                continue;
            }
            // start_time has whole seconds: a registration within the second
            // the keepalive went out is given the benefit of the doubt.
            if (row.keepalive_awaited && row.start_time < sent) {
                warn[mod] = ++row.keepalive_missed == VORNMGR_KEEPALIVES_MISSED_WARN;
                last_answer[mod] = row.last_keepalive_time;
            } else if (row.keepalive_awaited) {
                row.keepalive_missed = 0;
            }
            row.keepalive_awaited = true;
        }
    }
    // Logged after the lock is released: the registry lock never spans I/O.
    for (int mod = FRR; mod <= SYSTEM_SERVICES; mod++) {
        if (!warn[mod])
            continue;
        if (last_answer[mod] == 0)
            LOG_WARN("%s missed %d keepalives in a row, never answered one\n", mod_id_to_str(static_cast<Module>(mod)),
                     VORNMGR_KEEPALIVES_MISSED_WARN);
        else
            LOG_WARN("%s missed %d keepalives in a row, last answer %ld seconds ago\n",
                     mod_id_to_str(static_cast<Module>(mod)), VORNMGR_KEEPALIVES_MISSED_WARN,
                     static_cast<long>(difftime(time(nullptr), last_answer[mod])));
    }
}

// False when it did not go out: then nobody was asked.
bool vornmgr_send_keepalive(void)
{
    const int32_t seq = keepalive_seq_no++;
    const keepalive_request_t request{seq};
    char package[VORNMGR_PKG_HDR_LEN + VORNMGR_MSG_HDR_LEN + sizeof request];
    vornmgr_pkg_init(package, sizeof package);
    const int len = vornmgr_pkg_add(package, sizeof package, KEEP_ALIVE_REQ, &request, sizeof request);
    if (vornmgr_pub_send_no_restart(len, package) != len) {
        LOG_ERR("failed to send keepalive seq %d %s\n", seq, zmq_strerror(errno));
        return false;
    }
    return true;
}

void vornmgr_forget_awaited_keepalive(void)
{
    std::lock_guard<std::mutex> guard(registry_lock);
    for (registered_modules_t &row : registered_mods)
        row.keepalive_awaited = false;
}

void vornmgr_monitor_timer_thread(union sigval /*value*/)
{
    {
        std::lock_guard<std::mutex> guard(monitor_lock);
        if (monitor_stopping)
            return;
        monitor_threads_running++;
    }
    vornmgr_announce_l3_if_overdue();
    vornmgr_judge_keepalives();
    // Noted before the send: an answer can come back before the send returns.
    last_keepalive_sent = time(nullptr);
    if (!vornmgr_send_keepalive())
        vornmgr_forget_awaited_keepalive();
    std::lock_guard<std::mutex> guard(monitor_lock);
    if (--monitor_threads_running == 0)
        monitor_idle.notify_all();
}

} // namespace

bool vornmgr_note_keepalive_answer(Module mod, int32_t seq)
{
    bool registered;
    int missed;
    {
        std::lock_guard<std::mutex> guard(registry_lock);
        registered_modules_t &row = registered_mods[mod];
        row.last_keepalive = seq;
        row.last_keepalive_time = time(nullptr);
        row.keepalive_awaited = false;
        missed = row.keepalive_missed;
        row.keepalive_missed = 0;
        registered = vornmgr_row_is_registered(mod);
    }
    if (registered && missed >= VORNMGR_KEEPALIVES_MISSED_WARN)
        LOG_INFO("%s answers keepalives again (seq %d, after %d missed)\n", mod_id_to_str(mod), seq, missed);
    return registered;
}

bool vornmgr_create_monitor_timer(int start_delay, int interval)
{
    struct sigevent event = {};
    event.sigev_notify = SIGEV_THREAD;
    event.sigev_notify_function = vornmgr_monitor_timer_thread;
    event.sigev_notify_attributes = nullptr;
    event.sigev_value.sival_ptr = &monitor_timer_id;
    if (timer_create(CLOCK_REALTIME, &event, &monitor_timer_id) != 0) {
        LOG_ERR("Could not create timer %s\n", strerror(errno));
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(monitor_lock);
        monitor_timer_exists = true;
    }
    return vornmgr_arm_monitor_timer(start_delay, interval);
}

bool vornmgr_arm_monitor_timer(int start_delay, int interval)
{
    {
        std::lock_guard<std::mutex> guard(monitor_lock);
        if (!monitor_timer_exists)
            return true;
    }
    // One nanosecond more, so that a delay of 0 still arms the timer.
    monitor_ts.it_value.tv_sec = start_delay;
    monitor_ts.it_value.tv_nsec = 1;
    monitor_ts.it_interval.tv_sec = interval;
    monitor_ts.it_interval.tv_nsec = 0;
    if (timer_settime(monitor_timer_id, 0, &monitor_ts, nullptr) != 0) {
        LOG_ERR("Could not set timer delay %d interval %d (%s)\n", start_delay, interval, strerror(errno));
        return false;
    }
    return true;
}

void vornmgr_delete_monitor_timer(void)
{
    std::unique_lock<std::mutex> held(monitor_lock);
    if (!monitor_timer_exists)
        return;
    monitor_stopping = true;
    timer_delete(monitor_timer_id);
    monitor_timer_exists = false;
    monitor_idle.wait(held, [] { return monitor_threads_running == 0; });
}
