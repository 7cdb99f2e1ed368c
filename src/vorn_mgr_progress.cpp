// SPDX-License-Identifier: Apache-2.0
// Modules reporting their progress: LOAD_COMPLETE (answered with the system
// mode and the modules already up), the answers to a GO_DOWN broadcast
// (counted for the waiting take-down), and the NETWORK_LAYER_INFO and
// ISSU_INFO notices relayed to every module.

#include "log.h"
#include "vorn_mgr.h"

#include <zmq.h>

#include <cerrno>

std::atomic<bool> broadcast_l3_up{false};

namespace {

// Relays one message to every module as a package of its own, byte for byte
// as the module sent it: only the message the manager handled goes out, never
// whatever else the sender packed behind it. The dispatcher checked that the
// message lies within the package, so it fits the reply area.
bool vornmgr_relay_message(const char *msg, int reply_space, char *reply)
{
    vornmgr_pkg_message_t message{};
    if (!vornmgr_read_request(msg, &message) || vornmgr_pkg_init(reply, reply_space) < 0)
        return false;
    const int package_len = vornmgr_pkg_add(reply, reply_space, message.type,
                                            vornmgr_request_package(msg) + message.payload_offset, message.payload_len);
    if (package_len < 0)
        return false;
    return vornmgr_pub_msg(package_len, reply);
}

} // namespace

bool vornmgr_process_load_complete(void *sock, const char *msg, int *reply_len, int reply_space, char *reply)
{
    const module_status report = vornmgr_read_payload<module_status>(msg);
    const Module mod = report.mode.mod;
    if (!vornmgr_is_valid_module(mod)) {
        LOG_ERR("Invalid mod id (%d) or null buffer\n", int(mod));
        return vornmgr_send_nack_response(sock, msg, reply_len, reply_space, reply);
    }
    const Mode mode = operative_mode;
    const State state = required_state;
    const module_mode_t mode_info{mod, mode, state};
    int32_t up_mods[MAX_MODULES];
    int count = 0;
    {
        std::lock_guard<std::mutex> guard(registry_lock);
        registered_modules_t &row = registered_mods[mod];
        // The link-aggregation daemon may report its load without having
        // registered: that counts as its first start.
        if (mod == TRELL && row.mod_status.mode.mod != mod) {
            row.num_starts = 1;
            row.start_time = time(nullptr);
        }
        row.mod_status.mode.mod = mod;
        row.mod_status.mode.mode = mode;
        row.mod_status.mode.state = LOAD_COMPLETE;
        for (int other = 0; other < MAX_MODULES; other++) {
            if (other == mod || registered_mods[other].mod_status.mode.state != UP)
                continue;
            up_mods[count++] = other;
        }
    }
    vornmgr_note_module_heard(mod);
    vornmgr_save_known_modules();
    char mode_text[VORNMGR_TEXT_BUF_LEN];
    LOG_INFO("load complete from %s %s %s\n", mod_id_to_str(mod), mode_to_str(mode, mode_text),
             mod_state_to_str(state));
    LOG_INFO("%d modules already up\n", count);

    // MODE_INFO, then MOD_LIST: the other modules that are up.
    vornmgr_pkg_init(reply, reply_space);
    vornmgr_pkg_add(reply, reply_space, MODE_INFO, &mode_info, sizeof mode_info);
    const int total_len =
        vornmgr_pkg_add(reply, reply_space, MOD_LIST, up_mods, count * int(sizeof up_mods[0]));
    if (total_len < 0)
        return false;
    *reply_len = total_len;

    const int sent = vornmgr_package_sender(sock, reply, total_len, 0);
    if (sent != total_len) {
        LOG_ERR("%d failed send len %d (%s)\n", sent, total_len, zmq_strerror(errno));
        return false;
    }
    return true;
}

bool vornmgr_process_go_down_response(void *sock, const char *msg, int * /*reply_len*/, int /*reply_space*/,
                                      char * /*reply*/)
{
    const module_down_status answer = vornmgr_read_payload<module_down_status>(msg);
    const Module for_mod = answer.mod;
    const Module from_mod = answer.mode.mod;
    int received;
    int required;
    {
        std::lock_guard<std::mutex> guard(lock);
        received = num_go_down_response_recv;
        required = num_go_down_response_required;
    }
    LOG_INFO("GOING_DOWN ack from %s for %s (%d of %d)\n", mod_id_to_str(from_mod), mod_id_to_str(for_mod),
             received + 1, required);
    // The named module's own answer tells whether it managed to go down.
    if (for_mod == from_mod)
        vornmgr_set_mod_state(for_mod, operative_mode, answer.failure_reason != NO_ERROR ? FAILURE : DOWN);

    const int sent = vornmgr_send_ack(sock);
    if (sent != ack_package.len) {
        LOG_ERR("failed send len %d (send %d) %s\n", ack_package.len, sent, zmq_strerror(errno));
        return false;
    }

    const bool counted = vornmgr_count_go_down_answer(for_mod, from_mod, answer.failure_reason);
    if (!counted)
        LOG_INFO("%s: delayed going_down response\n", mod_id_to_str(for_mod));
    return true;
}

bool vornmgr_process_nl_info(void *sock, const char *msg, int * /*reply_len*/, int reply_space, char *reply)
{
    LOG_INFO("process network layer info\n");
    const int sent = vornmgr_send_ack(sock);
    if (sent != ack_package.len) {
        LOG_ERR("failed send %d bytes (send %d) %s\n", ack_package.len, sent, zmq_strerror(errno));
        return false;
    }
    const bool relayed = vornmgr_relay_message(msg, reply_space, reply);
    broadcast_l3_up = relayed;
    return relayed;
}

bool vornmgr_process_issu_info(void *sock, const char *msg, int * /*reply_len*/, int reply_space, char *reply)
{
    const issu_info info = vornmgr_read_payload<issu_info>(msg);
    char action_text[VORNMGR_TEXT_BUF_LEN];
    char status_text[VORNMGR_TEXT_BUF_LEN];
    LOG_INFO("issu info from %s action %s status %s\n", mod_id_to_str(info.module),
             issu_action_to_str(info.action, action_text), issu_status_to_str(info.status, status_text));
    const int sent = vornmgr_send_ack(sock);
    if (sent != ack_package.len) {
        LOG_ERR("failed send %d bytes (send %d) %s\n", ack_package.len, sent, zmq_strerror(errno));
        return false;
    }
    return vornmgr_relay_message(msg, reply_space, reply);
}
