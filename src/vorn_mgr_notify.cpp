// SPDX-License-Identifier: Apache-2.0
// What the manager tells systemd while it runs: STATUS= on change, and the
// watchdog's WATCHDOG=1 while the comm receive thread and the operator thread
// are responsive. See vorn_mgr_notify.h.

#include "vorn_mgr_notify.h"

#include "log.h"
#include "unique_fd.h"
#include "vorn_mgr.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <system_error>
#include <thread>

std::atomic<uint32_t> vornmgr_thread_beat[WATCHED_THREADS];

namespace {

constexpr size_t status_text_len = 128;
const char *const watched_thread_names[WATCHED_THREADS] = {"comm receive", "operator"};

std::mutex status_lock;  // guards the values below, up to status_held_due
char status_activity[status_text_len];
bool status_activity_shown = false;
// The system mode and the number of modules up, packed, as last computed;
// -1 before the first time.
int64_t status_summary_key = -1;
// A copy of status_summary_key for the comm receive thread's check after each
// request, which must not take status_lock when nothing changed.
std::atomic<int64_t> status_summary_seen{-1};
time_t status_maintenance_since = 0;
uint64_t status_generation = 0;  // counts the texts decided on
// When the activity, held back (vornmgr_notify_activity_held), is due, in
// steady-clock nanoseconds; 0 when none is held. Any later text clears it, so
// a held activity is always status_activity, decided at status_generation.
// Written under status_lock, read without it by the comm receive thread
// before each wait.
std::atomic<int64_t> status_held_due{0};
// A take-down position shorter than this is never shown: nobody reads a
// status line that lived a few milliseconds, and each one wakes the service
// manager.
constexpr std::chrono::milliseconds status_hold{250};
// Orders the datagrams: a text decided later is never sent before an earlier
// one. It guards only the two values below and is never held with another lock.
std::mutex status_send_lock;
uint64_t status_sent_generation = 0;
char status_sent[status_text_len];

// The datagram socket every notification leaves through, opened at the
// first one and kept: a take-down sends one per position. Built before main
// (empty), so it is closed only after the exit notice that atexit sends.
std::mutex notify_socket_lock;  // guards the opening of notify_socket
unique_fd notify_socket;

// Set once at start, read by the operator thread.
std::atomic<bool> debug_hang_operator{false};
// Owned by the main thread, which starts and stops the watchdog thread.
unique_fd watchdog_stop;
std::thread watchdog_thread;

int64_t vornmgr_steady_ns(void)
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Under status_lock: the activity shown from now on, sent now or held.
uint64_t vornmgr_note_activity_locked(const char *text)
{
    snprintf(status_activity, sizeof status_activity, "%s", text);
    status_activity_shown = true;
    status_held_due.store(0, std::memory_order_relaxed);
    return ++status_generation;
}

int64_t vornmgr_status_summary_key(void)
{
    int up = 0;
    {
        std::lock_guard<std::mutex> guard(registry_lock);
        for (int row = 0; row < MAX_MODULES; row++) {
            if (vornmgr_row_is_registered(row) && registered_mods[row].mod_status.mode.state == UP)
                up++;
        }
    }
    return (int64_t(static_cast<uint32_t>(operative_mode.load())) << 8) | up;
}

// "cold; 8 modules up", "maintenance since 15:00:38; 0 modules up".
void vornmgr_format_summary(int64_t key, time_t maintenance_since, char *text, size_t size)
{
    const Mode mode = static_cast<Mode>(key >> 8);
    const int up = static_cast<int>(key & 0xff);
    if (mode & MAINTENANCE) {
        struct tm local {};
        char clock[16] = "?";
        if (localtime_r(&maintenance_since, &local) != nullptr)
            strftime(clock, sizeof clock, "%H:%M:%S", &local);
        snprintf(text, size, "maintenance since %s; %d module%s up", clock, up, up == 1 ? "" : "s");
        return;
    }
    char mode_text[VORNMGR_TEXT_BUF_LEN];
    snprintf(text, size, "%s; %d module%s up", mode_to_str(mode, mode_text), up, up == 1 ? "" : "s");
}

// Under status_lock: notes a new summary key (and when maintenance began).
bool vornmgr_note_summary_key_locked(int64_t key)
{
    if (key == status_summary_key)
        return false;
    const bool was_maintenance = status_summary_key >= 0 && (Mode(status_summary_key >> 8) & MAINTENANCE);
    if ((Mode(key >> 8) & MAINTENANCE) && !was_maintenance)
        status_maintenance_since = time(nullptr);
    status_summary_key = key;
    status_summary_seen.store(key, std::memory_order_relaxed);
    return true;
}

// The service manager's notification socket, or null when there is none to
// use. Read once: nothing changes the environment after start.
const char *vornmgr_notify_socket(void)
{
    static const char *const socket_path = getenv("NOTIFY_SOCKET");
    if (socket_path == nullptr || (socket_path[0] != '/' && socket_path[0] != '@'))
        return nullptr;
    return socket_path;
}

} // namespace

bool vornmgr_notify_without_waiting(const char *message)
{
    const char *const socket_path = vornmgr_notify_socket();
    if (socket_path == nullptr)
        return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t path_len = strlen(socket_path);
    if (path_len >= sizeof addr.sun_path)
        return false;
    memcpy(addr.sun_path, socket_path, path_len);
    if (addr.sun_path[0] == '@')
        addr.sun_path[0] = '\0';  // an abstract socket
    int sock;
    {
        std::lock_guard<std::mutex> guard(notify_socket_lock);
        if (!notify_socket)
            notify_socket.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sock = notify_socket.get();
    }
    if (sock < 0)
        return false;
    const socklen_t addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path_len);
    const size_t len = strlen(message);
    return sendto(sock, message, len, MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(&addr),
                  addr_len) == static_cast<ssize_t>(len);
}

namespace {

void vornmgr_send_status(uint64_t generation, const char *text)
{
    std::lock_guard<std::mutex> guard(status_send_lock);
    if (generation < status_sent_generation || strcmp(text, status_sent) == 0)
        return;
    status_sent_generation = generation;
    snprintf(status_sent, sizeof status_sent, "%s", text);
    char message[status_text_len + 8];
    snprintf(message, sizeof message, "STATUS=%s", text);
    vornmgr_notify_without_waiting(message);
}

void vornmgr_watchdog_loop(int tick_ms)
{
    vornmgr_watchdog_view_t view{};
    int stuck_reported = -1;
    for (;;) {
        pollfd stop = {watchdog_stop.get(), POLLIN, 0};
        const int ready = poll(&stop, 1, tick_ms);
        if (ready > 0)
            return;
        if (ready < 0 && errno != EINTR) {
            LOG_ERR("watchdog wait failed: %s\n", strerror(errno));
            return;
        }
        uint32_t beats[WATCHED_THREADS];
        for (int thread = 0; thread < WATCHED_THREADS; thread++)
            beats[thread] = vornmgr_thread_beat[thread].load(std::memory_order_relaxed);
        const int stuck = vornmgr_watchdog_stuck_thread(&view, beats, 2);
        if (stuck < 0) {
            if (stuck_reported >= 0)
                LOG_INFO("watchdog: the %s thread responds again\n", watched_thread_names[stuck_reported]);
            stuck_reported = -1;
            vornmgr_notify_without_waiting("WATCHDOG=1");
        } else if (stuck != stuck_reported) {
            LOG_ERR("watchdog: the %s thread has been busy in one step for %d ms or more: no WATCHDOG=1\n",
                    watched_thread_names[stuck], 2 * tick_ms);
            stuck_reported = stuck;
        }
    }
}

} // namespace

void vornmgr_notify_activity(const char *format, ...)
{
    char text[status_text_len];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    uint64_t generation;
    {
        std::lock_guard<std::mutex> guard(status_lock);
        generation = vornmgr_note_activity_locked(text);
    }
    vornmgr_send_status(generation, text);
}

void vornmgr_notify_activity_held(const char *format, ...)
{
    if (vornmgr_notify_socket() == nullptr)
        return;
    char text[status_text_len];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    std::lock_guard<std::mutex> guard(status_lock);
    vornmgr_note_activity_locked(text);
    const int64_t hold = std::chrono::duration_cast<std::chrono::nanoseconds>(status_hold).count();
    status_held_due.store(vornmgr_steady_ns() + hold, std::memory_order_relaxed);
}

int vornmgr_notify_held_timeout_ms(void)
{
    const int64_t due = status_held_due.load(std::memory_order_relaxed);
    if (due == 0)
        return -1;
    const int64_t left = due - vornmgr_steady_ns();
    return left <= 0 ? 0 : static_cast<int>((left + 999999) / 1000000);
}

void vornmgr_notify_send_held(void)
{
    char text[status_text_len];
    uint64_t generation;
    {
        std::lock_guard<std::mutex> guard(status_lock);
        const int64_t due = status_held_due.load(std::memory_order_relaxed);
        if (due == 0 || vornmgr_steady_ns() < due)
            return;
        status_held_due.store(0, std::memory_order_relaxed);
        snprintf(text, sizeof text, "%s", status_activity);
        generation = status_generation;
    }
    vornmgr_send_status(generation, text);
}

void vornmgr_notify_activity_done(void)
{
    const int64_t key = vornmgr_status_summary_key();
    char text[status_text_len];
    uint64_t generation;
    {
        std::lock_guard<std::mutex> guard(status_lock);
        vornmgr_note_summary_key_locked(key);
        status_activity_shown = false;
        status_held_due.store(0, std::memory_order_relaxed);
        vornmgr_format_summary(status_summary_key, status_maintenance_since, text, sizeof text);
        generation = ++status_generation;
    }
    vornmgr_send_status(generation, text);
}

void vornmgr_notify_summary(void)
{
    // Without a service manager to tell, the comm receive thread's check
    // after each request costs nothing.
    if (vornmgr_notify_socket() == nullptr)
        return;
    const int64_t key = vornmgr_status_summary_key();
    if (key == status_summary_seen.load(std::memory_order_relaxed))
        return;
    char text[status_text_len];
    uint64_t generation;
    {
        std::lock_guard<std::mutex> guard(status_lock);
        if (!vornmgr_note_summary_key_locked(key) || status_activity_shown)
            return;
        vornmgr_format_summary(status_summary_key, status_maintenance_since, text, sizeof text);
        generation = ++status_generation;
    }
    vornmgr_send_status(generation, text);
}

int vornmgr_watchdog_stuck_thread(vornmgr_watchdog_view_t *view, const uint32_t beats[WATCHED_THREADS],
                                  int ticks_needed)
{
    int stuck = -1;
    for (int thread = 0; thread < WATCHED_THREADS; thread++) {
        const bool same_step = (beats[thread] & 1u) && beats[thread] == view->last_beat[thread];
        view->ticks_in_step[thread] = same_step ? view->ticks_in_step[thread] + 1 : 0;
        view->last_beat[thread] = beats[thread];
        if (stuck < 0 && view->ticks_in_step[thread] >= ticks_needed)
            stuck = thread;
    }
    return stuck;
}

bool vornmgr_start_watchdog(void)
{
    const char *hang = getenv("VORNMGR_DEBUG_HANG");
    debug_hang_operator = hang != nullptr && strcmp(hang, "operator") == 0;
    if (debug_hang_operator)
        LOG_WARN("VORNMGR_DEBUG_HANG=operator: the operator thread will hang at its next request\n");

    uint64_t interval_usec = 0;
    const int enabled = sd_watchdog_enabled(0, &interval_usec);
    if (enabled < 0)
        LOG_ERR("ignoring the watchdog settings: %s\n", strerror(-enabled));
    if (enabled <= 0)
        return true;
    watchdog_stop.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!watchdog_stop) {
        LOG_ERR("error in creating watchdog stop event %s\n", strerror(errno));
        return false;
    }
    // Pings at half the interval, the rate systemd asks for.
    const int tick_ms = static_cast<int>(std::max<uint64_t>(1, interval_usec / 2000));
    try {
        watchdog_thread = std::thread(vornmgr_watchdog_loop, tick_ms);
    } catch (const std::system_error &error) {
        LOG_ERR("error in watchdog pthread creation %s\n", strerror(error.code().value()));
        watchdog_stop.reset();
        return false;
    }
    LOG_INFO("watchdog: WATCHDOG=1 every %d ms while the comm receive and operator threads respond\n", tick_ms);
    return true;
}

void vornmgr_stop_watchdog(void)
{
    if (!watchdog_thread.joinable())
        return;
    const uint64_t one = 1;
    ssize_t written = write(watchdog_stop.get(), &one, sizeof one);
    (void)written;  // a full counter is still readable
    watchdog_thread.join();
    watchdog_stop.reset();
}

void vornmgr_debug_hang_point(vornmgr_watched_thread_t thread, int wake_fd)
{
    if (thread != WATCHED_OPERATOR || !debug_hang_operator)
        return;
    LOG_WARN("VORNMGR_DEBUG_HANG: the %s thread hangs until the manager stops\n", watched_thread_names[thread]);
    // Busy, not idle: the watchdog must see this thread stuck.
    vornmgr_watchdog_busy(thread);
    pollfd wake = {wake_fd, POLLIN, 0};
    while (poll(&wake, 1, -1) < 0 && errno == EINTR) {
    }
}
