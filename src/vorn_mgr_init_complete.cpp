// SPDX-License-Identifier: Apache-2.0
// A module's INIT_COMPLETE: answered with an UP package carrying the system
// mode and the state required of modules, and the same package broadcast so
// that every module learns that this one is up.

#include "log.h"
#include "vorn_mgr.h"

#include <zmq.h>

#include <cerrno>

bool vornmgr_process_init_complete(void *sock, const char *msg, int *reply_len, int reply_space, char *reply)
{
    const module_status report = vornmgr_read_payload<module_status>(msg);
    const Module mod = report.mode.mod;
    if (!vornmgr_is_valid_module(mod)) {
        LOG_ERR("Invalid mod id (%d) or null buffer\n", int(mod));
        return vornmgr_send_nack_response(sock, msg, reply_len, reply_space, reply);
    }
    char report_text[VORNMGR_TEXT_BUF_LEN];
    LOG_INFO("init complete from %s %s %s\n", mod_id_to_str(mod), mode_to_str(report.mode.mode, report_text),
             mod_state_to_str(report.mode.state));

    const Mode mode = operative_mode;
    const State state = required_state;
    {
        std::lock_guard<std::mutex> guard(registry_lock);
        registered_mods[mod].mod_status.mode.mod = mod;
        registered_mods[mod].mod_status.mode.state = state;
        if (mod == SWIVEND)
            registered_mods[mod].mod_status.mode.mode = report.mode.mode;
    }
    vornmgr_note_module_heard(mod);
    vornmgr_save_known_modules();
    vornmgr_note_bring_up_progress(mod);
    if (mod == SWIVEND && report.mode.mode != mode) {
        char system_text[VORNMGR_TEXT_BUF_LEN];
        LOG_INFO("System mode %s, %s %s %s\n", mode_to_str(mode, system_text), mod_id_to_str(SWIVEND),
                 mode_to_str(report.mode.mode, report_text), mod_state_to_str(report.mode.state));
    }

    const module_status_t up{{mod, mode, state}, NO_ERROR};
    vornmgr_pkg_init(reply, reply_space);
    const int up_len = vornmgr_pkg_add(reply, reply_space, UP, &up, sizeof up);
    if (up_len < 0)
        return false;
    const int sent = vornmgr_package_sender(sock, reply, up_len, 0);
    if (sent != up_len) {
        LOG_ERR("failed send %d bytes (send %d) %s\n", up_len, sent, zmq_strerror(errno));
        return false;
    }
    const bool broadcast = vornmgr_pub_msg(up_len, reply);
    // The link-aggregation daemon may come up after layer 3 was announced;
    // it needs the announcement again.
    if (mod == TRELL && broadcast_l3_up)
        broadcast_l3_up = vornmgr_publish_dummy_nl_status();
    return broadcast;
}
