// SPDX-License-Identifier: Apache-2.0
// The simulated module's conversation with the manager: the load-complete and
// init-complete exchanges (again once the manager is back, when it was away
// for them), and the answer to every broadcast the client library hands to
// modsim_vornmgr_cb, each reported as one time-stamped line.

#include "vornmgr_modsim.h"
#include "vorn_mgr_pkg.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <ctime>
#include <mutex>

modsim_options_t modsim_options;
// Written by the main thread during start-up and by the callback thread after.
std::atomic<Mode> my_mode{REBOOT_COLD};
std::atomic<State> my_state{LOAD_COMPLETE};

namespace {

using modsim_clock = std::chrono::steady_clock;

std::mutex delay_lock;              // guards delays_stopped
std::condition_variable delay_cond; // signalled when delays_stopped is set
bool delays_stopped = false;

// Waits `ms` milliseconds unless the program is stopping; false if it is.
bool modsim_pause(int ms)
{
    std::unique_lock<std::mutex> held(delay_lock);
    return !delay_cond.wait_for(held, std::chrono::milliseconds(ms), [] { return delays_stopped; });
}

long modsim_ms_since(modsim_clock::time_point start)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(modsim_clock::now() - start).count());
}

// How a bring-up handshake ended.
enum modsim_handshake_t {
    MODSIM_HANDSHAKE_DONE,
    MODSIM_HANDSHAKE_UNANSWERED, // a request could not be sent or got no reply: the manager is away
    MODSIM_HANDSHAKE_FAILED,     // refused, or failed in a way that trying again does not mend
};

// The exchanges, defined further down; each reports its outcome in a line.
modsim_handshake_t modsim_send_load_complete(void);
modsim_handshake_t modsim_send_init_complete(void);
modsim_handshake_t modsim_handshake(void);

// The handshake runs on the delivery thread (COME_UP, and after a broadcast
// while one is pending) and on the main thread (at start, and when a pending
// one is due). Two at once would interleave their requests and the mode and
// state their replies set, so a thread runs it only while it holds the turn,
// which no lock spans: the requests wait up to the library's reply time-out.
std::mutex handshake_lock;              // guards the handshake_* variables below
std::condition_variable handshake_idle; // signalled when handshake_running falls
bool handshake_running = false;
bool handshake_pending = false;         // the last one went unanswered: run it again
modsim_clock::time_point handshake_due; // when the main thread runs the pending one
// Counts the broadcasts that superseded any pending handshake (a COME_UP, a
// GO_DOWN or DOWN for this module), so that the callback does not retry
// after a package holding one.
unsigned handshake_orders = 0;

// The manager's order supersedes a pending handshake. Waits for a retry in
// progress, so that its replies cannot overwrite what the order sets; with
// `run_next` the caller then holds the turn for the handshake it runs itself.
void modsim_supersede_handshake(bool run_next)
{
    std::unique_lock<std::mutex> held(handshake_lock);
    handshake_idle.wait(held, [] { return !handshake_running; });
    handshake_pending = false;
    handshake_orders++;
    handshake_running = run_next;
}

unsigned modsim_handshake_orders(void)
{
    std::lock_guard<std::mutex> guard(handshake_lock);
    return handshake_orders;
}

// Takes the turn for the pending handshake; false if none is pending, another
// runs, or with `due_only` its time has not come yet.
bool modsim_claim_retry(bool due_only)
{
    std::lock_guard<std::mutex> guard(handshake_lock);
    if (handshake_running || !handshake_pending || (due_only && modsim_clock::now() < handshake_due))
        return false;
    handshake_running = true;
    return true;
}

void modsim_release_handshake(modsim_handshake_t outcome)
{
    {
        std::lock_guard<std::mutex> guard(handshake_lock);
        handshake_running = false;
        handshake_pending = outcome == MODSIM_HANDSHAKE_UNANSWERED;
        handshake_due = modsim_clock::now() + std::chrono::seconds(MODSIM_RETRY_INTERVAL_S);
    }
    handshake_idle.notify_all();
    if (outcome == MODSIM_HANDSHAKE_UNANSWERED)
        modsim_say("handshake pending: tried again after the manager's next broadcast, or in %d s",
                   MODSIM_RETRY_INTERVAL_S);
}

// Errors of the request itself: the manager's return does not mend them.
bool modsim_manager_away(int error)
{
    return error != EINVAL && error != EMSGSIZE && error != ENOTCONN;
}

void modsim_vprint(FILE *out, const char *format, va_list ap)
{
    // One buffer and one write per line, so that lines of the two threads
    // never interleave.
    char line[1024];
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    size_t used = strftime(line, sizeof line, "%T", &local);
    int added = snprintf(line + used, sizeof line - used, ".%03ld %s: ", now.tv_nsec / 1000000L,
                         mod_id_to_str(modsim_options.module));
    used = std::min(sizeof line - 2, used + static_cast<size_t>(std::max(added, 0)));
    added = vsnprintf(line + used, sizeof line - 1 - used, format, ap);
    used = std::min(sizeof line - 2, used + static_cast<size_t>(std::max(added, 0)));
    line[used] = '\n';
    line[used + 1] = '\0';
    fputs(line, out);
    fflush(out);
}

using modsim_message = vornmgr_pkg_message_t;

// Calls `handle(package, message)` for each whole message of the package's first `size` bytes.
template <typename Handler>
void modsim_walk_package(const char *package, int size, Handler handle)
{
    const int end = vornmgr_pkg_end(package, size);
    modsim_message message;
    for (int offset = VORNMGR_PKG_HDR_LEN;; offset += message.len) {
        const vornmgr_pkg_read_t read = vornmgr_pkg_read_message(package, offset, end, &message);
        if (read == VORNMGR_PKG_MALFORMED)
            modsim_complain("malformed message type 0x%x len %d at offset %d: rest of the package dropped",
                            message.type, message.len, offset);
        if (read != VORNMGR_PKG_MESSAGE)
            return;
        handle(package, message);
    }
}

template <typename Record>
bool modsim_read_payload(const char *package, const modsim_message &message, Record *record)
{
    if (!vornmgr_pkg_read_payload(package, &message, record, sizeof(Record))) {
        modsim_complain("short %s message (len %d) ignored", mod_state_to_str(static_cast<State>(message.type)),
                        message.len);
        return false;
    }
    return true;
}

// Sends one single-message request; returns the reply's size (its first
// message type in *reply_type) or -1 with errno set.
template <typename Record>
int modsim_send(State type, const Record &payload, char *reply, int reply_cap, int32_t *reply_type)
{
    char request[VORNMGR_PKG_HDR_LEN + VORNMGR_MSG_HDR_LEN + sizeof(Record)];
    vornmgr_pkg_init(request, sizeof request);
    const int request_len = vornmgr_pkg_add(request, sizeof request, type, &payload, sizeof payload);
    const int size = vornmgr_send(modsim_options.module, request_len, request, reply_cap, reply);
    modsim_message first;
    *reply_type = -1;
    if (size >= 0 && vornmgr_pkg_read_message(reply, VORNMGR_PKG_HDR_LEN, vornmgr_pkg_end(reply, size), &first) ==
                         VORNMGR_PKG_MESSAGE)
        *reply_type = first.type;
    return size;
}

// Sends an answer the manager acknowledges with ACK; false (reported) if it
// could not be sent. `what` names it in the report.
template <typename Record>
bool modsim_send_acknowledged(State type, const Record &payload, const char *what)
{
    char reply[VORNMGR_MAX_PKG_LEN];
    int32_t reply_type;
    if (modsim_send(type, payload, reply, sizeof reply, &reply_type) < 0) {
        modsim_complain("%s: answer not sent: %s", what, modsim_error_text(errno));
        return false;
    }
    if (reply_type != ACK)
        modsim_complain("%s: the manager answered %s (0x%x), not ack", what,
                        mod_state_to_str(static_cast<State>(reply_type)), reply_type);
    return true;
}

module_status_t modsim_own_status(State state)
{
    return {{modsim_options.module, my_mode.load(), state}, NO_ERROR};
}

void modsim_handle_go_down(const module_mode_t &order)
{
    const bool own = order.mod == modsim_options.module;
    if (own)
        modsim_supersede_handshake(false);
    char mode_text[VORNMGR_TEXT_BUF_LEN];
    char what[VORNMGR_TEXT_BUF_LEN + 64];
    snprintf(what, sizeof what, "GO_DOWN for %s (%s)%s", mod_id_to_str(order.mod), mode_to_str(order.mode, mode_text),
             own ? ", this module" : "");
    if (modsim_options.silent_all || (own && modsim_options.silent_own)) {
        modsim_say("%s: left unanswered (silent)", what);
        return;
    }
    const auto received = modsim_clock::now();
    const int delay_ms = own ? modsim_options.own_delay_ms : modsim_options.others_delay_ms;
    // Said at once, so that a rehearsal with a long delay shows what is pending.
    if (delay_ms > 0)
        modsim_say("%s: answering in %d ms", what, delay_ms);
    if (!modsim_pause(delay_ms)) {
        modsim_say("%s: not answered, stopping", what);
        return;
    }
    const Failure_Reason reason = own ? modsim_options.failure_reason : NO_ERROR;
    const module_down_status_t answer{order.mod, {modsim_options.module, order.mode, order.state}, reason};
    if (!modsim_send_acknowledged(GO_DOWN, answer, what))
        return;
    const long waited = modsim_ms_since(received);
    if (own) {
        my_mode = order.mode;
        my_state = order.state;
    }
    if (reason != NO_ERROR)
        modsim_say("%s: answered after %ld ms, with failure reason %d", what, waited, static_cast<int>(reason));
    else
        modsim_say("%s: answered after %ld ms", what, waited);
}

void modsim_handle_down(const module_mode_t &order)
{
    char mode_text[VORNMGR_TEXT_BUF_LEN];
    const bool own = order.mod == modsim_options.module;
    if (own) {
        modsim_supersede_handshake(false);
        my_mode = order.mode;
        my_state = order.state;
    }
    modsim_say("DOWN for %s (%s)%s", mod_id_to_str(order.mod), mode_to_str(order.mode, mode_text),
               own ? ": this module is down" : "");
}

void modsim_handle_come_up(const module_mode_t &order)
{
    char mode_text[VORNMGR_TEXT_BUF_LEN];
    mode_to_str(order.mode, mode_text);
    if (order.mod != ALL_MODULES && order.mod != modsim_options.module) {
        modsim_say("COME_UP for %s (%s): not for this module", mod_id_to_str(order.mod), mode_text);
        return;
    }
    modsim_say("COME_UP for %s (%s): starting the handshake again", mod_id_to_str(order.mod), mode_text);
    modsim_supersede_handshake(true);
    const modsim_handshake_t outcome = modsim_handshake();
    if (outcome != MODSIM_HANDSHAKE_DONE)
        modsim_complain("COME_UP for %s (%s): handshake failed, the module stays down", mod_id_to_str(order.mod),
                        mode_text);
    modsim_release_handshake(outcome);
}

// Runs the pending handshake again, if there is one and no other runs; `why`
// says what set it off.
void modsim_retry_handshake(const char *why, bool due_only)
{
    if (!modsim_claim_retry(due_only))
        return;
    modsim_say("%s: trying the pending handshake again", why);
    const modsim_handshake_t outcome = modsim_handshake();
    if (outcome == MODSIM_HANDSHAKE_DONE)
        modsim_say("handshake done on retry: the module is up");
    else
        modsim_complain("handshake failed again, the module stays down");
    modsim_release_handshake(outcome);
}

void modsim_handle_up(const module_status_t &status)
{
    char mode_text[VORNMGR_TEXT_BUF_LEN];
    if (status.mode.mod == modsim_options.module) {
        my_mode = status.mode.mode;
        my_state = status.mode.state;
    }
    modsim_say("UP for %s (%s, %s)", mod_id_to_str(status.mode.mod), mode_to_str(status.mode.mode, mode_text),
               mod_state_to_str(status.mode.state));
}

void modsim_handle_keepalive(const keepalive_request_t &request)
{
    const keepalive_response_t answer{request.seq, modsim_own_status(my_state.load())};
    char what[64];
    snprintf(what, sizeof what, "KEEP_ALIVE_REQ seq %d", static_cast<int>(request.seq));
    if (modsim_send_acknowledged(KEEP_ALIVE_RESP, answer, what))
        modsim_say("%s: answered", what);
}

void modsim_handle_status_request(void)
{
    const module_status_t answer = modsim_own_status(my_state.load());
    if (!modsim_send_acknowledged(MODULE_STATUS_RESP, answer, "MODULE_STATUS_REQ"))
        return;
    char mode_text[VORNMGR_TEXT_BUF_LEN];
    modsim_say("MODULE_STATUS_REQ: answered %s, %s", mode_to_str(answer.mode.mode, mode_text),
               mod_state_to_str(answer.mode.state));
}

void modsim_handle_issu_info(const issu_info_t &info)
{
    char action_text[VORNMGR_TEXT_BUF_LEN];
    char status_text[VORNMGR_TEXT_BUF_LEN];
    modsim_say("ISSU_INFO from %s: %s, %s", mod_id_to_str(info.module), issu_action_to_str(info.action, action_text),
               issu_status_to_str(info.status, status_text));
}

void modsim_handle_broadcast(const char *package, const modsim_message &message)
{
    module_mode_t order;
    module_status_t status;
    keepalive_request_t keepalive;
    issu_info_t issu;
    switch (message.type) {
    case GO_DOWN:
        if (modsim_read_payload(package, message, &order))
            modsim_handle_go_down(order);
        break;
    case DOWN:
        if (modsim_read_payload(package, message, &order))
            modsim_handle_down(order);
        break;
    case COME_UP:
        if (modsim_read_payload(package, message, &order))
            modsim_handle_come_up(order);
        break;
    case UP:
        if (modsim_read_payload(package, message, &status))
            modsim_handle_up(status);
        break;
    case KEEP_ALIVE_REQ:
        if (modsim_read_payload(package, message, &keepalive))
            modsim_handle_keepalive(keepalive);
        break;
    case MODULE_STATUS_REQ:
        modsim_handle_status_request();
        break;
    case NETWORK_LAYER_INFO:
        modsim_say("NETWORK_LAYER_INFO: layer 3 is up");
        break;
    case ISSU_INFO:
        if (modsim_read_payload(package, message, &issu))
            modsim_handle_issu_info(issu);
        break;
    default:
        modsim_say("%s broadcast (0x%x) ignored", mod_state_to_str(static_cast<State>(message.type)), message.type);
        break;
    }
}

} // namespace

void modsim_say(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    modsim_vprint(stdout, format, ap);
    va_end(ap);
}

const char *modsim_error_text(int error)
{
    if (error == EPERM)
        return "the process at " VORNMGR_COMM_ENDPOINT " is not root's: not the manager";
    return strerror(error);
}

void modsim_complain(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    modsim_vprint(stderr, format, ap);
    va_end(ap);
}

namespace {

modsim_handshake_t modsim_send_load_complete(void)
{
    char reply[VORNMGR_MAX_PKG_LEN];
    int32_t reply_type;
    const int size = modsim_send(LOAD_COMPLETE, modsim_own_status(LOAD_COMPLETE), reply, sizeof reply, &reply_type);
    if (size < 0) {
        const int error = errno;
        modsim_complain("LOAD_COMPLETE not sent: %s", modsim_error_text(error));
        return modsim_manager_away(error) ? MODSIM_HANDSHAKE_UNANSWERED : MODSIM_HANDSHAKE_FAILED;
    }
    bool mode_told = false;
    char mode_text[VORNMGR_TEXT_BUF_LEN] = "";
    char up_list[160] = "";
    size_t up_used = 0;
    modsim_walk_package(reply, size, [&](const char *package, const modsim_message &message) {
        if (message.type == MODE_INFO) {
            module_mode_t info;
            if (!modsim_read_payload(package, message, &info))
                return;
            my_mode = info.mode;
            my_state = info.state;
            mode_to_str(info.mode, mode_text);
            mode_told = true;
        } else if (message.type == MOD_LIST) {
            Module mods[VORNMGR_MAX_PKG_LEN / sizeof(Module)];
            constexpr int module_size = sizeof(Module);
            const int count = message.payload_len / module_size;
            vornmgr_pkg_read_payload(package, &message, mods, count * module_size);
            for (int i = 0; i < count; i++) {
                const int added =
                    snprintf(up_list + up_used, sizeof up_list - up_used, " %s", mod_id_to_str(mods[i]));
                up_used = std::min(sizeof up_list - 1, up_used + static_cast<size_t>(std::max(added, 0)));
            }
        } else {
            modsim_complain("LOAD_COMPLETE: unexpected %s (0x%x) in the answer",
                            mod_state_to_str(static_cast<State>(message.type)), message.type);
        }
    });
    if (!mode_told) {
        modsim_complain("LOAD_COMPLETE: the manager answered %s (0x%x) without the system mode",
                        mod_state_to_str(static_cast<State>(reply_type)), reply_type);
        return MODSIM_HANDSHAKE_FAILED;
    }
    modsim_say("LOAD_COMPLETE: answered with mode %s, state %s; modules up:%s", mode_text,
               mod_state_to_str(my_state.load()), up_used > 0 ? up_list : " none");
    return MODSIM_HANDSHAKE_DONE;
}

modsim_handshake_t modsim_send_init_complete(void)
{
    char reply[VORNMGR_MAX_PKG_LEN];
    int32_t reply_type;
    const int size = modsim_send(INIT_COMPLETE, modsim_own_status(INIT_COMPLETE), reply, sizeof reply, &reply_type);
    if (size < 0) {
        const int error = errno;
        modsim_complain("INIT_COMPLETE not sent: %s", modsim_error_text(error));
        return modsim_manager_away(error) ? MODSIM_HANDSHAKE_UNANSWERED : MODSIM_HANDSHAKE_FAILED;
    }
    bool up_told = false;
    modsim_walk_package(reply, size, [&](const char *package, const modsim_message &message) {
        module_status_t status;
        if (message.type != UP || !modsim_read_payload(package, message, &status))
            return;
        my_state = status.mode.state;
        up_told = true;
    });
    if (!up_told) {
        modsim_complain("INIT_COMPLETE: the manager answered %s (0x%x), not up",
                        mod_state_to_str(static_cast<State>(reply_type)), reply_type);
        return MODSIM_HANDSHAKE_FAILED;
    }
    char mode_text[VORNMGR_TEXT_BUF_LEN];
    modsim_say("INIT_COMPLETE: answered up, mode %s, state %s", mode_to_str(my_mode.load(), mode_text),
               mod_state_to_str(my_state.load()));
    return MODSIM_HANDSHAKE_DONE;
}

modsim_handshake_t modsim_handshake(void)
{
    modsim_handshake_t outcome = modsim_send_load_complete();
    if (outcome == MODSIM_HANDSHAKE_DONE)
        outcome = modsim_send_init_complete();
    // The manager has not heard both: until it does, this module is loaded,
    // not up, and says so to a status probe (a restarted manager's first).
    if (outcome == MODSIM_HANDSHAKE_UNANSWERED)
        my_state = LOAD_COMPLETE;
    return outcome;
}

} // namespace

int modsim_vornmgr_cb(int len, void *buf)
{
    const char *package = static_cast<const char *>(buf);
    const unsigned orders = modsim_handshake_orders();
    modsim_walk_package(package, len, modsim_handle_broadcast);
    if (modsim_handshake_orders() != orders)
        return 1;
    // Any broadcast shows that a manager is there again (a restarted one
    // probes its modules first). It was answered above; now the handshake.
    modsim_message first;
    const bool readable = vornmgr_pkg_read_message(package, VORNMGR_PKG_HDR_LEN, vornmgr_pkg_end(package, len),
                                                   &first) == VORNMGR_PKG_MESSAGE;
    char why[64];
    snprintf(why, sizeof why, "%s broadcast", readable ? mod_state_to_str(static_cast<State>(first.type)) : "a");
    modsim_retry_handshake(why, false);
    return 1;
}

bool modsim_start_handshake(void)
{
    modsim_supersede_handshake(true);
    const bool done = modsim_handshake() == MODSIM_HANDSHAKE_DONE;
    // A failure ends the program: nothing to try again.
    modsim_release_handshake(done ? MODSIM_HANDSHAKE_DONE : MODSIM_HANDSHAKE_FAILED);
    return done;
}

timespec modsim_time_to_retry(void)
{
    using std::chrono::milliseconds;
    auto wait = milliseconds(std::chrono::seconds(MODSIM_RETRY_INTERVAL_S));
    {
        std::lock_guard<std::mutex> guard(handshake_lock);
        // One in progress ends with a new due time; the next wait sees it.
        if (handshake_pending && !handshake_running)
            wait = std::clamp(std::chrono::duration_cast<milliseconds>(handshake_due - modsim_clock::now()),
                              milliseconds(0), wait);
    }
    return {static_cast<time_t>(wait.count() / 1000), static_cast<long>(wait.count() % 1000) * 1000000L};
}

void modsim_retry_due_handshake(void)
{
    char why[64];
    snprintf(why, sizeof why, "%d s after the last try", MODSIM_RETRY_INTERVAL_S);
    modsim_retry_handshake(why, true);
}

void modsim_stop_delays(void)
{
    {
        std::lock_guard<std::mutex> guard(delay_lock);
        delays_stopped = true;
    }
    delay_cond.notify_all();
}
