// SPDX-License-Identifier: Apache-2.0
// The manager's start: its shared globals, the opening of the module channels
// with the comm receive thread, and the discovery probe after a restart.

#include "log.h"
#include "vorn_config_line.h"
#include "vorn_mgr.h"

#include <zmq.h>

#include <cerrno>
#include <cstring>

std::atomic<Mode> operative_mode{UNKNOWN_MODE};
std::atomic<State> required_state{UP};
std::atomic<bool> vornmgr_restarted{false};
std::atomic<time_t> vornmgr_start_time{0};
std::atomic<int> keepalive_interval{VORNMGR_DEFAULT_KEEPALIVE_INTERVAL};

int vornmgr_start_channels(void)
{
    if (!vornmgr_create_pub_channel())
        return 0;
    if (!vornmgr_create_comm_channel())
        return 0;
    if (!vornmgr_start_comm_thread())
        return 0;
    return 1;
}

int vornmgr_create_background_thread(void)
{
    if (vornmgr_restarted)
        vornmgr_wait_for_init_complete();
    // Only once the modules were rediscovered can an interrupted sequence be
    // finished for all of them.
    vornmgr_cli_request_recovery();
    // The first expiry comes one period after the start, as every later one
    // does: with the default period that is the minute it always was.
    if (!vornmgr_create_monitor_timer(keepalive_interval, keepalive_interval)) {
        LOG_ERR("failed to create background timer thread: %s\n", strerror(errno));
        return 0;
    }
    return 1;
}

void vornmgr_discover_modules(void)
{
    const int sent = vornmgr_pub_send_no_restart(discovery_probe_package.len, discovery_probe_package.bytes);
    if (sent != discovery_probe_package.len)
        LOG_ERR("failed to send discovery probe %s\n", zmq_strerror(errno));
}
