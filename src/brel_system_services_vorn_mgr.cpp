// SPDX-License-Identifier: Apache-2.0
// The system-services module's conversation with the lifecycle manager: the
// load-complete and init-complete exchanges, and the answers to every
// broadcast the client library hands to brel_system_services_vornmgr_cb.

#include "brel_system_services.h"
#include "log.h"
#include "vorn_mgr_pkg.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/wait.h>

namespace {

constexpr const char *BREL_SAVE_STATE_COMMAND = "/bin/sh /usr/lib/norvane/vessik.sh";
constexpr const char *BREL_RESTORE_STATE_COMMAND = "/bin/sh /usr/lib/norvane/lorrin.sh";

using brel_message = vornmgr_pkg_message_t;
using brel_clock = std::chrono::steady_clock;

// Reads the message at `offset`; false when no whole message starts there,
// which ends the walk.
bool brel_system_services_read_message(const char *package, int offset, int end, brel_message *message)
{
    const vornmgr_pkg_read_t read = vornmgr_pkg_read_message(package, offset, end, message);
    if (read == VORNMGR_PKG_MALFORMED)
        LOG_ERR("malformed message type 0x%x len %d at offset %d, rest of package dropped\n", message->type,
                message->len, offset);
    return read == VORNMGR_PKG_MESSAGE;
}

// Copies the message's payload record; a message too short for it is logged
// and skipped by the caller.
template <typename Record>
bool brel_system_services_read_payload(const char *package, const brel_message &message, Record *record)
{
    if (!vornmgr_pkg_read_payload(package, &message, record, sizeof(Record))) {
        LOG_ERR("short %s message len %d\n", mod_state_to_str(static_cast<State>(message.type)), message.len);
        return false;
    }
    return true;
}

// Builds a one-message package in `package`; returns its total_len.
template <typename Record>
int brel_system_services_build_request(char (&package)[VORNMGR_MAX_PKG_LEN], State type, const Record &payload)
{
    vornmgr_pkg_init(package, sizeof package);
    return vornmgr_pkg_add(package, sizeof package, type, &payload, sizeof payload);
}

// The type of a reply's first message, or -1 if the reply holds none.
int32_t brel_system_services_first_type(const char *reply, int size)
{
    brel_message first;
    if (vornmgr_pkg_read_message(reply, VORNMGR_PKG_HDR_LEN, vornmgr_pkg_end(reply, size), &first) !=
        VORNMGR_PKG_MESSAGE)
        return -1;
    return first.type;
}

// The handshake runs on the delivery thread (COME_UP, and after a broadcast
// while one is pending) and on the main thread (at start, and when a pending
// one is due). Two at once would interleave their requests and the mode and
// state their replies set, so a thread runs it only while it holds the turn,
// which no lock spans: the requests wait up to the library's reply time-out.
std::mutex handshake_lock;              // guards the handshake_* variables below
std::condition_variable handshake_idle; // signalled when handshake_running falls
bool handshake_running = false;
bool handshake_pending = false; // the last one went unanswered: run it again
brel_clock::time_point handshake_due; // when the main thread runs the pending one
// Counts the broadcasts that superseded any pending handshake (a COME_UP, a
// GO_DOWN or DOWN for this module), so that no retry follows a package
// holding one.
unsigned handshake_orders = 0;

// The manager's order supersedes a pending handshake. Waits for a retry in
// progress, so that its replies cannot overwrite what the order sets; with
// `run_next` the caller then holds the turn for the handshake it runs itself.
void brel_system_services_supersede_handshake(bool run_next)
{
    std::unique_lock held(handshake_lock);
    handshake_idle.wait(held, [] { return !handshake_running; });
    handshake_pending = false;
    handshake_orders++;
    handshake_running = run_next;
}

unsigned brel_system_services_handshake_orders(void)
{
    std::lock_guard guard(handshake_lock);
    return handshake_orders;
}

// Errors of the request itself: the manager's return does not mend them.
bool brel_system_services_manager_away(int error)
{
    return error != EINVAL && error != EMSGSIZE && error != ENOTCONN;
}

// Runs the pending handshake again, if there is one, no other runs and, with
// `due_only`, its time has come; `why` says what set it off.
void brel_system_services_retry_handshake(const char *why, bool due_only)
{
    {
        std::lock_guard guard(handshake_lock);
        if (handshake_running || !handshake_pending || (due_only && brel_clock::now() < handshake_due))
            return;
        handshake_running = true;
    }
    LOG_INFO("retrying handshake after %s\n", why);
    int mod_list_len = MAX_MODULES;
    Module mod_list[MAX_MODULES];
    if (!brel_system_services_load_complete_into_mod_mode(&mod_list_len, mod_list) ||
        !brel_system_services_vorn_mgr_init_complete()) {
        const bool away = brel_system_services_manager_away(errno);
        LOG_ERR("handshake retry failed\n");
        brel_system_services_release_handshake(away);
        return;
    }
    char mode_text[VORNMGR_TEXT_BUF_LEN];
    LOG_INFO("handshake done on retry: %s state %s\n", mode_to_str(my_mode.load(), mode_text),
             mod_state_to_str(my_state.load()));
    brel_system_services_release_handshake(false);
}

// Runs an upgrade script to its end on the calling thread. Its outcome changes
// nothing, but a failure is worth a line in the log.
void brel_system_services_run_script(const char *command)
{
    const int status = system(command);
    if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        LOG_WARN("%s ended with status 0x%x\n", command, status);
}

} // namespace

void brel_system_services_log_not_manager(int error)
{
    if (error == EPERM)
        LOG_ERR("the process at %s is not root's: not the manager\n", VORNMGR_COMM_ENDPOINT);
}

int brel_system_services_vorn_mgr_load_complete(module_mode *mod_mode_out, int *num_mods, Module *mods)
{
    char request[VORNMGR_MAX_PKG_LEN];
    char reply[resp_buf_len];
    const module_status_t status{{my_mod_id, my_mode.load(), LOAD_COMPLETE}, NO_ERROR};
    const int request_len = brel_system_services_build_request(request, LOAD_COMPLETE, status);
    const int size = vornmgr_send(my_mod_id, request_len, request, resp_buf_len, reply);
    if (size == -1) {
        const int error = errno;
        LOG_ERR("failed to send load complete to vornmgr (%s)\n", strerror(error));
        brel_system_services_log_not_manager(error);
        // Kept for the caller, which tells a manager that was away from a
        // request that cannot go out at all.
        errno = error;
        return 0;
    }

    const int end = vornmgr_pkg_end(reply, size);
    brel_message message;
    for (int offset = VORNMGR_PKG_HDR_LEN; brel_system_services_read_message(reply, offset, end, &message);
         offset += message.len) {
        LOG_INFO("type 0x%x len %d\n", message.type, message.len);
        if (message.type == MODE_INFO) {
            module_mode_t info;
            if (!brel_system_services_read_payload(reply, message, &info))
                continue;
            *mod_mode_out = info;
            my_mode.store(info.mode);
            my_state.store(info.state);
            char mode_text[VORNMGR_TEXT_BUF_LEN];
            LOG_INFO("%s %s state %s\n", mod_id_to_str(info.mod), mode_to_str(info.mode, mode_text),
                     mod_state_to_str(info.state));
        } else if (message.type == MOD_LIST) {
            constexpr int module_size = sizeof(Module);
            const int count = message.payload_len / module_size;
            if (count > *num_mods) {
                LOG_ERR("%d modules up, returning %d only\n", count, *num_mods);
                vornmgr_pkg_read_payload(reply, &message, mods, module_size * *num_mods);
                continue;
            }
            *num_mods = count;
            vornmgr_pkg_read_payload(reply, &message, mods, module_size * count);
            char list_text[VORNMGR_TEXT_BUF_LEN * 2] = "None";
            size_t used = 0;
            for (int i = 0; i < count && used < sizeof list_text; ++i) {
                const int written =
                    snprintf(list_text + used, sizeof list_text - used, "%s ", mod_id_to_str(mods[i]));
                used += static_cast<size_t>(std::max(written, 0));
            }
            LOG_INFO("Module List: %s\n", list_text);
        } else {
            LOG_ERR("unknown message 0x%x len %d\n", message.type, message.len);
        }
    }
    return 1;
}

void brel_system_services_claim_handshake(void)
{
    brel_system_services_supersede_handshake(true);
}

void brel_system_services_release_handshake(bool manager_away)
{
    // Until the manager heard both requests this module is loaded, not up,
    // and says so to a status probe (a restarted manager's first broadcast).
    if (manager_away)
        my_state.store(LOAD_COMPLETE);
    {
        std::lock_guard guard(handshake_lock);
        handshake_running = false;
        handshake_pending = manager_away;
        handshake_due = brel_clock::now() + std::chrono::seconds(brel_retry_interval_s);
    }
    handshake_idle.notify_all();
    if (manager_away)
        LOG_WARN("handshake pending: retrying after vornmgr's next broadcast or in %d s\n", brel_retry_interval_s);
}

timespec brel_system_services_time_to_retry(void)
{
    using std::chrono::milliseconds;
    auto wait = milliseconds(std::chrono::seconds(brel_retry_interval_s));
    {
        std::lock_guard guard(handshake_lock);
        // One in progress ends with a new due time; the next wait sees it.
        if (handshake_pending && !handshake_running)
            wait = std::clamp(std::chrono::duration_cast<milliseconds>(handshake_due - brel_clock::now()),
                              milliseconds(0), wait);
    }
    return {static_cast<time_t>(wait.count() / 1000), static_cast<long>(wait.count() % 1000) * 1000000L};
}

void brel_system_services_retry_due_handshake(void)
{
    char why[32];
    snprintf(why, sizeof why, "%d s", brel_retry_interval_s);
    brel_system_services_retry_handshake(why, true);
}

int brel_system_services_load_complete_into_mod_mode(int *num_mods, Module *mods)
{
    module_mode_t received;
    {
        std::lock_guard guard(mod_mode_lock);
        received = mod_mode;
    }
    if (!brel_system_services_vorn_mgr_load_complete(&received, num_mods, mods))
        return 0;
    std::lock_guard guard(mod_mode_lock);
    mod_mode = received;
    return 1;
}

int brel_system_services_vorn_mgr_init_complete(void)
{
    char request[VORNMGR_MAX_PKG_LEN];
    char reply[resp_buf_len];
    const module_status_t status{{my_mod_id, my_mode.load(), INIT_COMPLETE}, NO_ERROR};
    const int request_len = brel_system_services_build_request(request, INIT_COMPLETE, status);
    const int size = vornmgr_send(my_mod_id, request_len, request, resp_buf_len, reply);
    if (size == -1) {
        const int error = errno;
        LOG_ERR("ERR failed to send init complete to vornmgr (%s)\n", strerror(error));
        brel_system_services_log_not_manager(error);
        errno = error;
        return 0;
    }

    const int end = vornmgr_pkg_end(reply, size);
    brel_message message;
    for (int offset = VORNMGR_PKG_HDR_LEN; brel_system_services_read_message(reply, offset, end, &message);
         offset += message.len) {
        if (message.type != UP) {
            LOG_ERR("unknown response type %d len %d\n", message.type, message.len);
            continue;
        }
        module_status_t up;
        if (!brel_system_services_read_payload(reply, message, &up))
            continue;
        LOG_INFO("UP: %s state %s\n", mod_id_to_str(up.mode.mod), mod_state_to_str(up.mode.state));
        my_state.store(up.mode.state);
    }
    return 1;
}

bool brel_system_services_process_mod_down(const module_mode *order)
{
    const Mode current = my_mode.load();
    char requested_text[VORNMGR_TEXT_BUF_LEN];
    char current_text[VORNMGR_TEXT_BUF_LEN];
    LOG_INFO("ISSU: Requesting %s, current mode %s\n", mode_to_str(order->mode, requested_text),
             mode_to_str(current, current_text));
    if (order->mode & MAINTENANCE)
        return true;
    if (!(current & REBOOT_WARM))
        return true;
    if (!(order->mode & REBOOT_WARM))
        return true;
    LOG_DEBUG("ISSU: Save states\n");
    brel_system_services_run_script(BREL_SAVE_STATE_COMMAND);
    return true;
}

bool brel_system_services_send_down_action_complete(const module_mode *order)
{
    // The save script, when it runs, must have finished before the manager
    // hears this module's answer.
    if (order->mod == my_mod_id) {
        brel_system_services_supersede_handshake(false);
        brel_system_services_process_mod_down(order);
    }

    char request[VORNMGR_MAX_PKG_LEN];
    char reply[resp_buf_len];
    const module_down_status_t answer{order->mod, {my_mod_id, my_mode.load(), order->state}, NO_ERROR};
    const int request_len = brel_system_services_build_request(request, GO_DOWN, answer);
    const int size = vornmgr_send(my_mod_id, request_len, request, resp_buf_len, reply);
    if (size == -1) {
        LOG_ERR("ERR failed to send down action complete (%s)\n", strerror(errno));
        return false;
    }
    const int32_t reply_type = brel_system_services_first_type(reply, size);
    if (reply_type != ACK)
        LOG_ERR("ERR: received msg type 0x%x len %d\n", reply_type, size);

    if (order->mod == my_mod_id) {
        my_mode.store(order->mode);
        my_state.store(order->state);
    }
    return true;
}

bool brel_system_services_process_down_event(const module_mode *event)
{
    if (event->mod != my_mod_id)
        return true;
    brel_system_services_supersede_handshake(false);
    my_mode.store(event->mode);
    my_state.store(event->state);
    if (event->mode & MAINTENANCE) {
        char mode_text[VORNMGR_TEXT_BUF_LEN];
        LOG_INFO("Down event for %s\n", mode_to_str(event->mode, mode_text));
    }
    return true;
}

int brel_system_services_process_come_up_event(const module_mode *event)
{
    char mode_text[VORNMGR_TEXT_BUF_LEN];
    mode_to_str(event->mode, mode_text);
    int mod_list_len = MAX_MODULES;
    Module mod_list[MAX_MODULES];
    brel_system_services_claim_handshake();
    if (!brel_system_services_load_complete_into_mod_mode(&mod_list_len, mod_list)) {
        const bool away = brel_system_services_manager_away(errno);
        LOG_ERR("Failed send load complete %s (%s)\n", mod_id_to_str(event->mod), mode_text);
        brel_system_services_release_handshake(away);
        return 0;
    }
    if (!brel_system_services_vorn_mgr_init_complete()) {
        const bool away = brel_system_services_manager_away(errno);
        LOG_ERR("Failed send init complete %s (%s)\n", mod_id_to_str(event->mod), mode_text);
        brel_system_services_release_handshake(away);
        return 0;
    }
    my_mode.store(event->mode);
    my_state.store(event->state);
    brel_system_services_release_handshake(false);
    LOG_INFO("completed %s %s %s\n", mod_id_to_str(event->mod), mode_text, mod_state_to_str(event->state));
    return 1;
}

bool brel_system_services_process_up_event(const module_status *event)
{
    if (event->mode.mod != my_mod_id)
        return true;
    my_mode.store(event->mode.mode);
    my_state.store(event->mode.state);
    return true;
}

bool brel_system_services_send_keepalive_response(const keepalive_request *keepalive)
{
    char request[VORNMGR_MAX_PKG_LEN];
    char reply[resp_buf_len];
    const keepalive_response_t response{keepalive->seq, {{my_mod_id, my_mode.load(), my_state.load()}, NO_ERROR}};
    const int request_len = brel_system_services_build_request(request, KEEP_ALIVE_RESP, response);
    const int size = vornmgr_send(my_mod_id, request_len, request, resp_buf_len, reply);
    if (size == -1) {
        LOG_ERR("failed to send keep alive ack to vornmgr (%s)\n", strerror(errno));
        return false;
    }
    const int32_t reply_type = brel_system_services_first_type(reply, size);
    if (reply_type != ACK)
        LOG_ERR("received msg type 0x%x len %d\n", reply_type, size);
    return true;
}

bool brel_system_services_send_module_status_response(void)
{
    char request[VORNMGR_MAX_PKG_LEN];
    char reply[resp_buf_len];
    const module_status_response status{{my_mod_id, my_mode.load(), my_state.load()}, NO_ERROR};
    const int request_len = brel_system_services_build_request(request, MODULE_STATUS_RESP, status);
    const int size = vornmgr_send(my_mod_id, request_len, request, resp_buf_len, reply);
    if (size == -1) {
        LOG_ERR("failed to send module status response to vornmgr (%s)\n", strerror(errno));
        return false;
    }
    const int32_t reply_type = brel_system_services_first_type(reply, size);
    if (reply_type != ACK)
        LOG_ERR("received msg type 0x%x len %d\n", reply_type, size);
    return true;
}

bool brel_system_services_handle_network_layer_info(const void *)
{
    LOG_INFO("L3 network info\n");
    return true;
}

int brel_system_services_process_issu_info(const issu_info *info)
{
    LOG_INFO("ISSU: module %s status 0x%x\n", mod_id_to_str(info->module), info->status);
    brel_system_services_run_script(BREL_RESTORE_STATE_COMMAND);
    return 1;
}

namespace {

// Handles one message of a broadcast package.
void brel_system_services_dispatch(const char *package, const brel_message &message)
{
    char mode_text[VORNMGR_TEXT_BUF_LEN];
    module_mode_t order;
    switch (message.type) {
    case GO_DOWN:
        if (!brel_system_services_read_payload(package, message, &order))
            return;
        LOG_INFO("GO_DOWN: %s %s State %s\n", mod_id_to_str(order.mod), mode_to_str(order.mode, mode_text),
                 mod_state_to_str(order.state));
        brel_system_services_send_down_action_complete(&order);
        return;
    case DOWN:
        if (!brel_system_services_read_payload(package, message, &order))
            return;
        LOG_INFO("DOWN: %s %s State %s\n", mod_id_to_str(order.mod), mode_to_str(order.mode, mode_text),
                 mod_state_to_str(order.state));
        brel_system_services_process_down_event(&order);
        return;
    case COME_UP:
        if (brel_system_services_read_payload(package, message, &order))
            brel_system_services_process_come_up_event(&order);
        return;
    case UP: {
        module_status_t up;
        if (!brel_system_services_read_payload(package, message, &up))
            return;
        LOG_INFO("UP: %s %s State %s\n", mod_id_to_str(up.mode.mod), mode_to_str(up.mode.mode, mode_text),
                 mod_state_to_str(up.mode.state));
        brel_system_services_process_up_event(&up);
        return;
    }
    case KEEP_ALIVE_REQ: {
        keepalive_request_t keepalive;
        if (brel_system_services_read_payload(package, message, &keepalive))
            brel_system_services_send_keepalive_response(&keepalive);
        return;
    }
    case NETWORK_LAYER_INFO:
        LOG_INFO("NETWORK_LAYER_INFO\n");
        brel_system_services_handle_network_layer_info(package + message.payload_offset);
        return;
    case MODULE_STATUS_REQ:
        LOG_INFO("MODULE_STATUS_REQ\n");
        brel_system_services_send_module_status_response();
        return;
    case ISSU_INFO: {
        LOG_INFO("ISSU_INFO\n");
        issu_info_t info;
        if (brel_system_services_read_payload(package, message, &info))
            brel_system_services_process_issu_info(&info);
        return;
    }
    default:
        LOG_ERR("unhandled %s message (0x%x) len %d\n", mod_state_to_str(static_cast<State>(message.type)),
                message.type, message.len);
        return;
    }
}

} // namespace

extern "C" int brel_system_services_vornmgr_cb(int len, void *buf)
{
    const char *package = static_cast<const char *>(buf);
    const int end = vornmgr_pkg_end(package, len);
    brel_message message;
    for (int offset = VORNMGR_PKG_HDR_LEN; brel_system_services_read_message(package, offset, end, &message);
         offset += message.len)
        brel_system_services_dispatch(package, message);
    return 1;
}

// Apart from the callback above, so that what a package sets off there stays
// its answers alone (the broadcast fuzzer holds it to that); the retry comes
// after them.
extern "C" int brel_system_services_vornmgr_retrying_cb(int len, void *buf)
{
    const unsigned orders = brel_system_services_handshake_orders();
    brel_system_services_vornmgr_cb(len, buf);
    if (brel_system_services_handshake_orders() != orders)
        return 1;
    const char *package = static_cast<const char *>(buf);
    const int32_t first = brel_system_services_first_type(package, len);
    brel_system_services_retry_handshake(first == -1 ? "a broadcast" : mod_state_to_str(static_cast<State>(first)),
                                         false);
    return 1;
}
