// SPDX-License-Identifier: Apache-2.0
// What the manager does with a request from the comm channel: the package
// walk that picks the handler, the negative acknowledgement, and the handlers
// for registration, keepalive answers and module status answers.

#include "log.h"
#include "vorn_mgr.h"

#include <zmq.h>

#include <cerrno>

namespace {

struct vornmgr_request_handler_t {
    State type;
    int payload_len;  // the handler reads this many payload bytes
    vornmgr_handler_fn handle;
};

constexpr vornmgr_request_handler_t request_handlers[] = {
    {LOAD_COMPLETE, sizeof(module_status_t), vornmgr_process_load_complete},
    {INIT_COMPLETE, sizeof(module_status_t), vornmgr_process_init_complete},
    {KEEP_ALIVE_RESP, sizeof(keepalive_response_t), vornmgr_process_keepalive_response},
    {MODULE_STATUS_RESP, sizeof(module_status_t), vornmgr_process_module_status_response},
    {MODULE_REGISTER, sizeof(module_connect_t), vornmgr_process_module_registration},
    {MODULE_UNREGISTER, sizeof(module_connect_t), vornmgr_process_module_registration},
    {GO_DOWN, sizeof(module_down_status_t), vornmgr_process_go_down_response},
    {NETWORK_LAYER_INFO, 0, vornmgr_process_nl_info},
    {ISSU_INFO, sizeof(issu_info_t), vornmgr_process_issu_info},
};

const vornmgr_request_handler_t *vornmgr_find_handler(int32_t type)
{
    for (const auto &handler : request_handlers)
        if (handler.type == type)
            return &handler;
    return nullptr;
}

// A package that cannot be walked is answered NACK, so that the module is not
// left waiting and the reply socket stays in step.
bool vornmgr_refuse_malformed(void *sock, const char *why, int total_len, int received, char *reply)
{
    LOG_ERR("malformed request: %s (total_len %d, received %d bytes)\n", why, total_len, received);
    int reply_len = 0;
    return vornmgr_send_nack_response(sock, nullptr, &reply_len, VORNMGR_MAX_PKG_LEN, reply);
}

} // namespace

vornmgr_sender_fn vornmgr_package_sender = zmq_send;

vornmgr_bare_package_t::vornmgr_bare_package_t(State type)
{
    vornmgr_pkg_init(bytes, len);
    vornmgr_pkg_add(bytes, len, type, nullptr, 0);
}

const vornmgr_bare_package_t ack_package{ACK};
const vornmgr_bare_package_t nack_package{NACK};
const vornmgr_bare_package_t nl_info_package{NETWORK_LAYER_INFO};
const vornmgr_bare_package_t discovery_probe_package{MODULE_STATUS_REQ};

int vornmgr_send_ack(void *sock)
{
    return vornmgr_package_sender(sock, ack_package.bytes, ack_package.len, 0);
}

bool vornmgr_process_message(void *sock, int len, const char *pkg)
{
    if (pkg == nullptr)
        return false;
    char reply[VORNMGR_MAX_PKG_LEN];
    int reply_len = 0;

    // The receive call reports the full length of a longer message that it cut
    // to the buffer's size.
    if (len > VORNMGR_MAX_PKG_LEN)
        return vornmgr_refuse_malformed(sock, "package over 1024 bytes", -1, len, reply);
    if (len < VORNMGR_PKG_HDR_LEN)
        return vornmgr_refuse_malformed(sock, "no package header", -1, len, reply);
    // A module that says it sent more than arrived is refused, not trusted
    // up to what did arrive.
    int32_t total_len;
    memcpy(&total_len, pkg, sizeof total_len);
    if (total_len > len)
        return vornmgr_refuse_malformed(sock, "total_len beyond the bytes received", total_len, len, reply);
    if (total_len <= VORNMGR_PKG_HDR_LEN)
        return vornmgr_refuse_malformed(sock, "package without a message", total_len, len, reply);
    const int end = vornmgr_pkg_end(pkg, len);
    vornmgr_pkg_message_t request;
    if (vornmgr_pkg_read_message(pkg, VORNMGR_PKG_HDR_LEN, end, &request) != VORNMGR_PKG_MESSAGE)
        return vornmgr_refuse_malformed(sock, "message length out of bounds", total_len, len, reply);

    const char *msg = pkg + VORNMGR_PKG_HDR_LEN;
    const vornmgr_request_handler_t *handler = vornmgr_find_handler(request.type);
    bool result;
    if (handler == nullptr) {
        LOG_INFO("%s:%d unknown request 0x%x len\n", __func__, request.type, request.len);
        result = vornmgr_send_nack_response(sock, msg, &reply_len, VORNMGR_MAX_PKG_LEN, reply);
    } else if (request.payload_len < handler->payload_len) {
        return vornmgr_refuse_malformed(sock, "payload too short for its type", total_len, len, reply);
    } else {
        result = handler->handle(sock, msg, &reply_len, VORNMGR_MAX_PKG_LEN, reply);
    }

    // One request gets one reply: further messages in the package are only
    // reported.
    int offset = VORNMGR_PKG_HDR_LEN + request.len;
    vornmgr_pkg_message_t further;
    while (vornmgr_pkg_read_message(pkg, offset, end, &further) == VORNMGR_PKG_MESSAGE) {
        LOG_INFO("ignored further message 0x%x in one request package\n", static_cast<unsigned>(further.type));
        offset += further.len;
    }
    if (offset < end)
        LOG_INFO("ignored malformed rest of request package (%d bytes)\n", end - offset);
    return result;
}

bool vornmgr_send_nack_response(void *sock, const char * /*msg*/, int * /*reply_len*/, int /*reply_space*/,
                                char * /*reply*/)
{
    const int sent = vornmgr_package_sender(sock, nack_package.bytes, nack_package.len, 0);
    if (sent != nack_package.len) {
        LOG_ERR("failed send nack %d bytes (send %d): %s\n", nack_package.len, sent, zmq_strerror(errno));
        return false;
    }
    return true;
}

bool vornmgr_process_module_registration(void *sock, const char *msg, int *reply_len, int reply_space,
                                         char *reply)
{
    vornmgr_pkg_message_t message{};
    vornmgr_read_request(msg, &message);
    const int32_t type = message.type;
    const module_connect request = vornmgr_read_payload<module_connect>(msg);
    if (!vornmgr_is_valid_module(request.mod)) {
        LOG_ERR("Invalid Module 0x%x\n", static_cast<unsigned>(request.mod));
        return vornmgr_send_nack_response(sock, msg, reply_len, reply_space, reply);
    }
    LOG_INFO("%s Register\n", mod_id_to_str(request.mod));
    bool left = false;
    {
        std::lock_guard<std::mutex> guard(registry_lock);
        registered_modules_t &row = registered_mods[request.mod];
        left = type == MODULE_UNREGISTER && vornmgr_row_is_registered(request.mod);
        if (type == MODULE_REGISTER) {
            row.num_starts++;
            row.mod_status.mode.mod = request.mod;
            row.mod_status.mode.state = MODULE_REGISTER;
            row.start_time = time(nullptr);
        } else {
            row.mod_status.mode.state = MODULE_UNREGISTER;
            row.start_time = 0;
        }
    }
    if (left) {
        vornmgr_forget_go_down_answers_of(request.mod);
        vornmgr_note_bring_up_progress(request.mod);
    }
    if (type == MODULE_REGISTER)
        vornmgr_note_module_heard(request.mod);
    vornmgr_save_known_modules();
    const int sent = vornmgr_send_ack(sock);
    if (sent != ack_package.len) {
        LOG_ERR("failed send len %d (send %d) %s\n", ack_package.len, sent, zmq_strerror(errno));
        return false;
    }
    return true;
}

bool vornmgr_process_keepalive_response(void *sock, const char *msg, int *reply_len, int reply_space,
                                        char *reply)
{
    const keepalive_response answer = vornmgr_read_payload<keepalive_response>(msg);
    const Module mod = answer.mod_status.mode.mod;
    if (!vornmgr_is_valid_module(mod))
        return vornmgr_send_nack_response(sock, msg, reply_len, reply_space, reply);
    const bool registered = vornmgr_note_keepalive_answer(mod, answer.seq);
    vornmgr_note_module_heard(mod);
    // A module that answers while the manager does not know it (discovery
    // missed it) is entered as it reports itself.
    if (!registered)
        vornmgr_enter_reported_module(answer.mod_status.mode);
    const int sent = vornmgr_send_ack(sock);
    if (sent != ack_package.len) {
        LOG_ERR("%d failed send len %d (%s)\n", sent, ack_package.len, zmq_strerror(errno));
        return false;
    }
    return true;
}

bool vornmgr_process_module_status_response(void *sock, const char *msg, int *reply_len, int reply_space,
                                            char *reply)
{
    const module_status_response answer = vornmgr_read_payload<module_status_response>(msg);
    const Module mod = answer.mode.mod;
    if (!vornmgr_is_valid_module(mod)) {
        LOG_ERR("invalid mod id (%d)\n", int(mod));
        return vornmgr_send_nack_response(sock, msg, reply_len, reply_space, reply);
    }
    char mode_text[VORNMGR_TEXT_BUF_LEN];
    LOG_INFO("module status response from %s Mode %s State %s\n", mod_id_to_str(mod),
             mode_to_str(answer.mode.mode, mode_text), mod_state_to_str(answer.mode.state));
    const int sent = vornmgr_send_ack(sock);
    if (sent != ack_package.len) {
        LOG_ERR("failed send ack %d bytes send %d, %s\n", ack_package.len, sent, zmq_strerror(errno));
        return false;
    }
    vornmgr_note_module_heard(mod);
    // After a restart of the manager, the switch daemon knows the system's
    // mode and required state better than the manager's start-up guess;
    // once a restarted manager's discovery and recovery are over, the mode
    // they settled is in force.
    const bool mode_settled = vornmgr_restarted && !vornmgr_discovery_running;
    if (vornmgr_enter_reported_module(answer.mode) && mod == SWIVEND && !mode_settled) {
        operative_mode = answer.mode.mode;
        required_state = answer.mode.state;
    }
    return true;
}
