// SPDX-License-Identifier: Apache-2.0
// The monitor timer: at every expiry, announce layer 3 on the manager's own
// authority when the routing modules stayed silent past their time limits,
// then broadcast the next numbered keepalive request.

#include "log.h"
#include "vorn_mgr.h"

#include <signal.h>
#include <zmq.h>

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

void vornmgr_send_keepalive(void)
{
    const int32_t seq = keepalive_seq_no++;
    const keepalive_request_t request{seq};
    char package[VORNMGR_PKG_HDR_LEN + VORNMGR_MSG_HDR_LEN + sizeof request];
    vornmgr_pkg_init(package, sizeof package);
    const int len = vornmgr_pkg_add(package, sizeof package, KEEP_ALIVE_REQ, &request, sizeof request);
    if (vornmgr_pub_send_no_restart(len, package) != len)
        LOG_ERR("failed to send keepalive seq %d %s\n", seq, zmq_strerror(errno));
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
    vornmgr_send_keepalive();
    std::lock_guard<std::mutex> guard(monitor_lock);
    if (--monitor_threads_running == 0)
        monitor_idle.notify_all();
}

} // namespace

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
