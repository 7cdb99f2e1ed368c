// SPDX-License-Identifier: Apache-2.0
// The operator socket: one thread accepts one connection at a time, reads one
// request, acts on it (restart, maintenance, upgrade note, status report) and
// answers with RESP_OVER. Only root may ask anything of it.

#include "log.h"
#include "unique_fd.h"
#include "vorn_mgr_cli_server.h"
#include "vorn_mgr_notify.h"
#include "vorn_mgr_history.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

const char *vornmgr_cli_socket_path = VORNMGR_CLI_SOCKET_PATH;
int vornmgr_cli_read_timeout_sec = VORNMGR_CLI_READ_TIMEOUT_SEC;
bool upgraded = false;
time_t maintenance_start_time = 0;
// Run in the foreground of a child of ours, so that a failure is seen.
const char *vornmgr_reboot_cold_command = VORNMGR_REBOOT_COLD_DEFAULT;
const char *vornmgr_reboot_fast_command = VORNMGR_REBOOT_FAST_DEFAULT;

void vornmgr_read_reboot_commands(void)
{
    // Copies: the lines must outlive any later change of the environment.
    static std::string cold, fast;
    const char *cold_env = getenv("VORNMGR_REBOOT_COLD");
    const char *fast_env = getenv("VORNMGR_REBOOT_FAST");
    cold = (cold_env && *cold_env) ? cold_env : VORNMGR_REBOOT_COLD_DEFAULT;
    fast = (fast_env && *fast_env) ? fast_env : VORNMGR_REBOOT_FAST_DEFAULT;
    vornmgr_reboot_cold_command = cold.c_str();
    vornmgr_reboot_fast_command = fast.c_str();
    LOG_INFO("reboot commands: cold \"%s\", fast \"%s\"\n", vornmgr_reboot_cold_command,
             vornmgr_reboot_fast_command);
}

namespace {

// Cleared by vornmgr_stop_cli; the operator thread tests it after each accept.
std::atomic<bool> vornmgr_cli_active{false};
std::thread vornmgr_cli_thread_id;
// The listening socket and the event that wakes the thread to stop: opened
// before the thread starts and closed after it was joined, so the thread and
// vornmgr_stop_cli only ever read them.
unique_fd cli_fd;
unique_fd cli_wake;
// Written by vornmgr_cli_request_recovery (main thread), read by the thread.
unique_fd cli_recover;
// Written when another thread needs the operator thread between requests
// (a module found out of step, a bring-up whose modules are all up); what
// for is in cli_attention_flags.
unique_fd cli_attention;
constexpr unsigned attention_reconcile = 1;
constexpr unsigned attention_bring_up = 2;
std::atomic<unsigned> cli_attention_flags{0};

// Requests that change modes, received while discovery and recovery still
// run: they are acted on once those are over, in the order they came, and
// meanwhile the thread serves status requests. Operator thread only.
struct vornmgr_deferred_request_t {
    unique_fd conn;
    char cmd[VORNMGR_CLI_BUF_LEN];
    int len = 0;
};
std::array<vornmgr_deferred_request_t, 4> deferred_requests;
// Discovery and recovery end well within this; a request never waits longer.
constexpr int deferred_request_bound_s = 60;
std::chrono::steady_clock::time_point deferred_deadline;

// A peer that is not root gets no more time than a request takes to arrive.
constexpr int cli_refused_read_timeout_sec = 3;

Mode vornmgr_mode_with(Mode mode, unsigned add, unsigned remove)
{
    return static_cast<Mode>((static_cast<unsigned>(mode) | add) & ~remove);
}

bool vornmgr_cli_open_connect(unique_fd &cli_sock)
{
    unique_fd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock) {
        LOG_ERR("error in creating cli socket %s\n", strerror(errno));
        return false;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    // A longer path would be bound cut short, at a name nobody looks for.
    if (strlen(vornmgr_cli_socket_path) >= sizeof addr.sun_path) {
        LOG_ERR("error in bind cli socket %s\n", strerror(ENAMETOOLONG));
        return false;
    }
    strncpy(addr.sun_path, vornmgr_cli_socket_path, sizeof addr.sun_path - 1);
    if (bind(sock.get(), reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        LOG_ERR("error in bind cli socket %s\n", strerror(errno));
        return false;
    }
    // Whatever the daemon's umask, only root may connect. Nobody can connect
    // between bind and listen, so the wider mode of the fresh file is harmless.
    if (chmod(vornmgr_cli_socket_path, S_IRUSR | S_IWUSR) != 0) {
        LOG_ERR("error in chmod cli socket %s\n", strerror(errno));
        unlink(vornmgr_cli_socket_path);
        return false;
    }
    if (listen(sock.get(), 5) != 0) {
        LOG_ERR("error in listen cli socket %s\n", strerror(errno));
        unlink(vornmgr_cli_socket_path);
        return false;
    }
    cli_sock = std::move(sock);
    return true;
}

void vornmgr_cli_close_connect(unique_fd &cli_sock)
{
    vornmgr_cli_active = false;
    if (!cli_sock)
        return;
    cli_sock.reset();
    unlink(vornmgr_cli_socket_path);
}

// Reads the 4-byte request, accepting it in pieces, until `timeout_sec`
// passed or the server stops. Returns the bytes read, or -1 when nothing
// arrived (a stop, a time-out or a failed read).
int vornmgr_cli_read_request(int conn_fd, char *buf, size_t size, int timeout_sec)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_sec);
    size_t got = 0;
    while (got < sizeof(vorn_mgr_cli_msg_t)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd waits[2] = {{conn_fd, POLLIN, 0}, {cli_wake.get(), POLLIN, 0}};
        int ready;
        {
            const vornmgr_watchdog_bounded_wait bounded(WATCHED_OPERATOR);
            ready = poll(waits, 2, std::max<int>(0, int(left.count())));
        }
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready > 0 && (waits[1].revents & POLLIN))
            return -1;
        if (ready <= 0) {
            const int error = ready == 0 ? EAGAIN : errno;
            if (got > 0)
                break;
            LOG_ERR("error in read cli socket %s\n", strerror(error));
            return -1;
        }
        const ssize_t n = recv(conn_fd, buf + got, size - got, MSG_DONTWAIT);
        if (n > 0) {
            got += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0 && got == 0) {
            LOG_ERR("error in read cli socket %s\n", strerror(errno));
            return -1;
        }
        break;
    }
    return static_cast<int>(got);
}

// Only root may restart the switch or change its mode. The socket file is
// root's alone; the credentials are checked as well in case its mode changed.
bool vornmgr_cli_peer_is_root(int conn_fd)
{
    const vornmgr_history_requester_t peer = vornmgr_history_peer(conn_fd);
    if (!peer.known) {
        LOG_ERR("error in reading cli peer credentials %s\n", strerror(errno));
        return false;
    }
    if (peer.uid != 0) {
        LOG_WARN("refused cli request from uid %u pid %d: not root\n", static_cast<unsigned>(peer.uid),
                 static_cast<int>(peer.pid));
        return false;
    }
    return true;
}

bool vornmgr_cli_changes_modes(int32_t cmd)
{
    return cmd == WARMBOOT || cmd == FASTBOOT || cmd == COLDBOOT || cmd == MAINTENANCE_MODE_ENABLE ||
           cmd == MAINTENANCE_MODE_DISABLE;
}

bool vornmgr_cli_has_deferred(void)
{
    for (const auto &request : deferred_requests)
        if (request.conn)
            return true;
    return false;
}

// Keeps a request that changes modes until discovery and recovery are over;
// false when there is no room left for it.
bool vornmgr_cli_defer(unique_fd &conn, const char *cmd, int len)
{
    for (auto &request : deferred_requests) {
        if (request.conn)
            continue;
        if (!vornmgr_cli_has_deferred())
            deferred_deadline = std::chrono::steady_clock::now() + std::chrono::seconds(deferred_request_bound_s);
        request.conn = std::move(conn);
        memcpy(request.cmd, cmd, static_cast<size_t>(len));
        request.len = len;
        int32_t code;
        memcpy(&code, cmd, sizeof code);
        LOG_INFO("cli request 0x%x waits for module discovery\n", static_cast<unsigned>(code));
        return true;
    }
    return false;
}

// Once discovery and recovery are over, acts on the deferred requests; if
// they are not over by the bound, ends each without an answer, which the
// tool reports as a failure.
void vornmgr_cli_serve_deferred(void)
{
    if (!vornmgr_cli_has_deferred())
        return;
    const bool expired = std::chrono::steady_clock::now() >= deferred_deadline;
    if (vornmgr_discovery_running && !expired)
        return;
    for (auto &request : deferred_requests) {
        if (!request.conn)
            continue;
        const unique_fd conn = std::move(request.conn);
        int32_t code;
        memcpy(&code, request.cmd, sizeof code);
        if (vornmgr_discovery_running) {
            LOG_ERR("cli request 0x%x not served: module discovery still in progress after %d s\n",
                    static_cast<unsigned>(code), deferred_request_bound_s);
            continue;
        }
        vornmgr_process_cli(conn.get(), request.len, request.cmd);
    }
}

int vornmgr_cli_deferred_wait_ms(void)
{
    if (!vornmgr_cli_has_deferred())
        return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deferred_deadline -
                                                                            std::chrono::steady_clock::now());
    return std::max<int>(0, static_cast<int>(left.count()));
}

// The poll's bound: the nearest of the reboot's grace period, the bring-up's
// bound and the deferred requests' bound; -1 for none.
int vornmgr_cli_poll_timeout_ms(void)
{
    long long timeout = -1;
    for (const long long wait : {vornmgr_cli_reboot_wait_ms(), vornmgr_bring_up_wait_ms(),
                                 static_cast<long long>(vornmgr_cli_deferred_wait_ms())})
        if (wait >= 0 && (timeout < 0 || wait < timeout))
            timeout = wait;
    // Rounded up, so that the deadline has passed when the poll returns.
    return timeout < 0 ? -1 : static_cast<int>(std::min<long long>(timeout + 1, 24LL * 3600 * 1000));
}

void vornmgr_cli_serve(unique_fd &conn)
{
    const int conn_fd = conn.get();
    // A root peer may run long preparations (state saved for a warm restart)
    // between its connect and its request; anyone else is refused as soon as
    // the request arrives.
    vornmgr_debug_hang_point(WATCHED_OPERATOR, cli_wake.get());
    const bool root = vornmgr_cli_peer_is_root(conn_fd);
    char cmd[VORNMGR_CLI_BUF_LEN];
    const int len = vornmgr_cli_read_request(conn_fd, cmd, sizeof cmd,
                                             root ? vornmgr_cli_read_timeout_sec : cli_refused_read_timeout_sec);
    if (len < 0)
        return;
    if (!root) {
        vornmgr_send_resp_over(conn_fd);
        return;
    }
    if (len < static_cast<int>(sizeof(vorn_mgr_cli_msg_t))) {
        LOG_WARN("short cli request (%d bytes) ignored\n", len);
        vornmgr_send_resp_over(conn_fd);
        return;
    }
    // A registry still being rebuilt would leave modules out of a sequence.
    int32_t code;
    memcpy(&code, cmd, sizeof code);
    if (vornmgr_discovery_running && vornmgr_cli_changes_modes(code)) {
        if (!vornmgr_cli_defer(conn, cmd, len))
            LOG_ERR("cli request 0x%x not served: too many requests wait for module discovery\n",
                    static_cast<unsigned>(code));
        return;
    }
    vornmgr_process_cli(conn_fd, len, cmd);
}

void vornmgr_cli_attend(void)
{
    uint64_t count = 0;
    ssize_t got = read(cli_attention.get(), &count, sizeof count);
    (void)got;  // nonblocking: a second reader cannot exist
    const unsigned flags = cli_attention_flags.exchange(0);
    if (flags & attention_bring_up)
        vornmgr_check_bring_up();
    if (flags & attention_reconcile)
        vornmgr_reconcile_modules();
}

// Waits for a connection, a stop, or the end of a restart's reboot command.
void vornmgr_cli_thread(void * /*arg*/)
{
    while (vornmgr_cli_active) {
        pollfd waits[5] = {{cli_fd.get(), POLLIN, 0},
                           {cli_wake.get(), POLLIN, 0},
                           {vornmgr_cli_reboot_fd(), POLLIN, 0},
                           {cli_recover.get(), POLLIN, 0},
                           {cli_attention.get(), POLLIN, 0}};
        vornmgr_watchdog_idle(WATCHED_OPERATOR);
        const int ready = poll(waits, 5, vornmgr_cli_poll_timeout_ms());
        vornmgr_watchdog_busy(WATCHED_OPERATOR);
        if (ready < 0 && errno == EINTR)
            continue;
        if (!vornmgr_cli_active || (ready > 0 && (waits[1].revents & POLLIN)))
            break;
        if (ready > 0 && (waits[2].revents & POLLIN))
            vornmgr_cli_reboot_ended();
        vornmgr_cli_reboot_check_deadline();
        if (ready > 0 && (waits[3].revents & POLLIN)) {
            uint64_t count = 0;
            ssize_t got = read(cli_recover.get(), &count, sizeof count);
            (void)got;  // nonblocking: a second reader cannot exist
            vornmgr_recover_interrupted_sequence();
        }
        if (ready > 0 && (waits[4].revents & POLLIN))
            vornmgr_cli_attend();
        vornmgr_check_bring_up();
        vornmgr_cli_serve_deferred();
        // After a sequence the manager ran of its own accord (a recovery,
        // modules brought in step with the mode).
        vornmgr_release_free_memory();
        if (ready <= 0 || !(waits[0].revents & POLLIN))
            continue;
        unique_fd conn(accept4(cli_fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!conn) {
            LOG_ERR("error in accept cli socket %s\n", strerror(errno));
            std::this_thread::sleep_for(std::chrono::seconds(1));
            continue;
        }
        vornmgr_cli_serve(conn);
    }
    for (auto &request : deferred_requests)
        request.conn.reset();
}

} // namespace

vornmgr_cli_action_t vornmgr_plan_cli(int32_t cmd, Mode current, bool upgraded)
{
    const unsigned upgrade_bit = upgraded ? static_cast<unsigned>(SYS_UPGRADE) : 0u;
    switch (cmd) {
    case WARMBOOT:
        return {CLI_ACTION_RESTART, vornmgr_mode_with(REBOOT_WARM, upgrade_bit, 0),
                (current & REBOOT_WARM) ? vornmgr_reboot_fast_command : vornmgr_reboot_cold_command};
    case FASTBOOT:
        return {CLI_ACTION_RESTART, vornmgr_mode_with(REBOOT_FAST, upgrade_bit, 0), vornmgr_reboot_fast_command};
    case COLDBOOT:
        return {CLI_ACTION_RESTART, vornmgr_mode_with(REBOOT_COLD, upgrade_bit, 0), vornmgr_reboot_cold_command};
    case MAINTENANCE_MODE_ENABLE:
        if (current & MAINTENANCE)
            return {CLI_ACTION_NONE, current, nullptr};
        return {CLI_ACTION_MAINT_ENTER, vornmgr_mode_with(current, MAINTENANCE, 0), nullptr};
    case MAINTENANCE_MODE_DISABLE:
        if (!(current & MAINTENANCE) || vornmgr_mode_with(current, 0, MAINTENANCE) == 0)
            return {CLI_ACTION_NONE, current, nullptr};
        return {CLI_ACTION_MAINT_LEAVE, vornmgr_mode_with(current, 0, MAINTENANCE), nullptr};
    case UPGRADE_MODE:
        return {CLI_ACTION_UPGRADE, current, nullptr};
    case SHOW:
        return {CLI_ACTION_SHOW, current, nullptr};
    case SHOW_JSON:
        return {CLI_ACTION_SHOW_JSON, current, nullptr};
    default:
        return {CLI_ACTION_UNKNOWN, current, nullptr};
    }
}

bool vornmgr_send_resp_over(int conn_fd)
{
    const vorn_mgr_cli_resp_t over{{RESP_OVER}, VORNMGR_CLI_RESP_HDR_LEN};
    // MSG_NOSIGNAL: a tool that went away must not take the manager with it.
    if (send(conn_fd, &over, sizeof over, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof over)) {
        LOG_ERR("error in send %s\n", strerror(errno));
        return false;
    }
    return true;
}

bool vornmgr_process_upgrade(int /*conn_fd*/, vorn_mgr_cli_msg_t /*cli_msg*/, bool *upgraded)
{
    *upgraded = true;
    return true;
}

int vornmgr_process_cli(int conn_fd, int /*len*/, const void *cmd)
{
    vorn_mgr_cli_msg_t cli_msg;
    memcpy(&cli_msg, cmd, sizeof cli_msg);

    // The reboot command depends on the mode before the take-down changes it,
    // and a failed reboot brings the modules back up in that mode.
    const Mode mode_before = operative_mode.load();
    const vornmgr_cli_action_t action = vornmgr_plan_cli(cli_msg.cmd, mode_before, upgraded);
    // Who asked, and when, for the sequence's history record.
    const vornmgr_history_request_scope requester(vornmgr_history_peer(conn_fd));
    const int64_t started_ms = vornmgr_wall_ms();
    // Written before the first broadcast, so that a manager that crashes in
    // the middle of the sequence finds, once restarted, what it was doing.
    const bool takes_down = action.kind == CLI_ACTION_RESTART || action.kind == CLI_ACTION_MAINT_ENTER;
    vornmgr_sequence_record_t record{action.kind == CLI_ACTION_RESTART ? SEQUENCE_RESTART : SEQUENCE_MAINT_ENTER,
                                     STAGE_RUNNING, action.reason, mode_before, time(nullptr)};
    // A restart or maintenance asked for while the reboot of an earlier
    // restart is still awaited finds the modules down for that one, but the
    // switch has not restarted: should this sequence be cut short, or this
    // reboot fail too, the switch goes back to where it was before both, in
    // maintenance if it was, not to the earlier restart's mode with every
    // module up.
    if (takes_down)
        record.mode_before = vornmgr_cli_reboot_mode_before(mode_before);
    // A take-down replaces the record of a bring-up still being watched; a
    // sequence the operator asks for after a reboot command replaces the
    // wait for that reboot, whose failure would otherwise undo it. A command
    // that still runs is stopped before the record that named it is
    // replaced: a manager that dies during this sequence would not know of
    // it, and it could take the machine down at any time.
    if (takes_down)
        vornmgr_forget_bring_up();
    if (takes_down || action.kind == CLI_ACTION_MAINT_LEAVE)
        vornmgr_cli_forget_reboot(action.kind == CLI_ACTION_RESTART);
    switch (action.kind) {
    case CLI_ACTION_RESTART:
        vornmgr_write_sequence_record(record);
        vornmgr_admin_modules(action.reason, ALL_MODULES, false);
        break;
    case CLI_ACTION_MAINT_ENTER:
        maintenance_start_time = record.started;
        vornmgr_write_sequence_record(record);
        vornmgr_admin_modules(action.reason, ALL_MODULES, false);
        break;
    case CLI_ACTION_MAINT_LEAVE:
        vornmgr_bring_all_up(SEQUENCE_MAINT_LEAVE, action.reason, mode_before);
        break;
    case CLI_ACTION_UPGRADE:
        vornmgr_process_upgrade(conn_fd, cli_msg, &upgraded);
        break;
    case CLI_ACTION_SHOW:
        vornmgr_process_show(conn_fd, cli_msg, upgraded);
        break;
    case CLI_ACTION_SHOW_JSON:
        vornmgr_process_show_json(conn_fd, upgraded);
        break;
    case CLI_ACTION_UNKNOWN:
        LOG_ERR("Unknown command 0x%x\n", static_cast<unsigned>(cli_msg.cmd));
        break;
    case CLI_ACTION_NONE:
        // The restart asked during maintenance took the modules down and left
        // maintenance's mode; its reboot, still awaited, is not cancelled (the
        // operator asked for it and it ends maintenance too), but a failed
        // one must no longer return to the maintenance the operator has just
        // left while being told it was.
        if (cli_msg.cmd == MAINTENANCE_MODE_DISABLE && vornmgr_cli_reboot_leave_maintenance()) {
            char mode_text[VORNMGR_TEXT_BUF_LEN];
            mode_to_str(vornmgr_cli_reboot_mode_before(mode_before), mode_text);
            LOG_INFO("maintenance left while a restart's reboot is awaited: should it fail, every module comes "
                     "up in %s mode\n",
                     mode_text);
        }
        break;
    }
    // On disk before RESP_OVER: the tool reads it once answered.
    if (takes_down)
        vornmgr_history_record_take_down(record.kind, action.reason, mode_before, started_ms, action.reboot_command);

    // A manager that stops mid-sequence neither answers nor reboots: the
    // tool sees its connection end without RESP_OVER and reports a failure.
    // The record of an interrupted sequence stays for the next start.
    if (vornmgr_take_down_is_stopped()) {
        LOG_INFO("manager stopping: cli request 0x%x not completed\n", static_cast<unsigned>(cli_msg.cmd));
        return 1;
    }
    if (action.kind == CLI_ACTION_RESTART) {
        record.stage = STAGE_TAKEN_DOWN;
        vornmgr_write_sequence_record(record);
    } else if (action.kind == CLI_ACTION_MAINT_ENTER) {
        record.stage = STAGE_IN_MAINTENANCE;
        vornmgr_write_sequence_record(record);
    }
    vornmgr_send_resp_over(conn_fd);
    // The record, written before the answer, reaches the disk now: before
    // the reboot command, which must find it there after the reboot.
    vornmgr_history_sync();
    // What the operator does not wait for: systemd's status line and the
    // memory the sequence freed.
    if (action.kind != CLI_ACTION_RESTART)
        vornmgr_notify_activity_done();
    vornmgr_release_free_memory();
    // The tool waits for RESP_OVER before the machine goes away; a failed
    // answer does not cancel a restart whose take-down already happened.
    if (action.kind == CLI_ACTION_RESTART) {
        vornmgr_notify_activity("restart requested: reboot command run");
        vornmgr_cli_reboot(action.reboot_command, record);
    }
    return 1;
}

namespace {

void vornmgr_cli_request_attention(unsigned flag)
{
    // Without an operator thread nobody runs sequences: nothing to do.
    if (!vornmgr_cli_active || !cli_attention)
        return;
    cli_attention_flags.fetch_or(flag);
    const uint64_t one = 1;
    ssize_t written = write(cli_attention.get(), &one, sizeof one);
    (void)written;  // a full counter is still readable
}

} // namespace

void vornmgr_cli_request_reconcile(void)
{
    vornmgr_cli_request_attention(attention_reconcile);
}

void vornmgr_cli_request_bring_up_check(void)
{
    vornmgr_cli_request_attention(attention_bring_up);
}

void vornmgr_cli_request_recovery(void)
{
    if (!vornmgr_cli_active || !cli_recover) {
        vornmgr_recover_interrupted_sequence();
        return;
    }
    const uint64_t one = 1;
    ssize_t written = write(cli_recover.get(), &one, sizeof one);
    (void)written;  // a full counter is still readable
}

bool vornmgr_start_cli(void)
{
    // The socket is ready before the thread starts (and before the daemon
    // reports itself ready), so a stop can always wake the thread.
    unlink(vornmgr_cli_socket_path);
    cli_wake.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    cli_recover.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    cli_attention.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!cli_wake || !cli_recover || !cli_attention) {
        LOG_ERR("error in creating cli stop event %s\n", strerror(errno));
        return false;
    }
    if (!vornmgr_cli_open_connect(cli_fd))
        return false;
    vornmgr_cli_active = true;
    try {
        vornmgr_cli_thread_id = std::thread(vornmgr_cli_thread, nullptr);
    } catch (const std::system_error &error) {
        LOG_ERR("error in cli pthread creation %s\n", strerror(error.code().value()));
        vornmgr_cli_close_connect(cli_fd);
        return false;
    }
    return true;
}

void vornmgr_stop_cli(void)
{
    vornmgr_cli_active = false;
    // The event wakes the thread's wait for a connection and its read of a
    // request; a request being acted on finishes first (a take-down ends at
    // once when the manager stops).
    if (cli_wake) {
        const uint64_t one = 1;
        ssize_t written = write(cli_wake.get(), &one, sizeof one);
        (void)written;  // a full counter is still readable
    }
    if (vornmgr_cli_thread_id.joinable())
        vornmgr_cli_thread_id.join();
    vornmgr_cli_close_connect(cli_fd);
    cli_wake.reset();
    cli_recover.reset();
    cli_attention.reset();
}
