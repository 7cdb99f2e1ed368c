// SPDX-License-Identifier: Apache-2.0
// vorn_mgr_notify.h - what the manager tells systemd besides READY=1 and
// STOPPING=1: a one-line STATUS= of what it is doing, sent on change only, and
// the watchdog's WATCHDOG=1 while its working threads are responsive.
//
// Without NOTIFY_SOCKET every call is cheap and sends nothing; without
// WATCHDOG_USEC there is no watchdog thread and no timer, so an idle manager
// still wakes no thread between two monitor timer expiries.
#ifndef VORN_MGR_NOTIFY_H
#define VORN_MGR_NOTIFY_H

#include <atomic>
#include <cstdint>

// ---------------------------------------------------------------------------
// STATUS=

// A sequence or wait under way ("taking down bgp (3 of 8)", "discovering
// modules (pass 2 of 5)"): shown until the next activity or until
// vornmgr_notify_activity_done. printf-style; at most 127 characters are kept.
void vornmgr_notify_activity(const char *format, ...) __attribute__((format(printf, 1, 2)));
// The same for a take-down position opened by an answer: shown only if it
// is still the activity a quarter of a second after it began, so that a
// take-down running through in milliseconds does not wake the service
// manager at every position. The thread that held it sends it when it is due
// (vornmgr_notify_held_timeout_ms, vornmgr_notify_send_held).
void vornmgr_notify_activity_held(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Milliseconds until the held activity is due, 0 when it is, -1 when none is
// held. One atomic load when none is.
int vornmgr_notify_held_timeout_ms(void);
// Sends the held activity once it is due; nothing before, nothing after.
void vornmgr_notify_send_held(void);
// Back to the summary of the system ("cold; 8 modules up", "maintenance since
// 15:00:38; 0 modules up").
void vornmgr_notify_activity_done(void);
// Sends the summary if the system mode or the number of modules up changed
// since it was last computed, and no activity is shown. Called by the comm
// receive thread after each request: when nothing changed it costs one pass
// over the registry under its lock, and no system call.
void vornmgr_notify_summary(void);

// Sends one notification to $NOTIFY_SOCKET without ever waiting: sd_notify
// blocks while the receiver's queue is full, and neither a status line nor
// the manager's exit may wait on systemd. False if nothing was sent (no
// socket, or its queue full).
bool vornmgr_notify_without_waiting(const char *message);

// ---------------------------------------------------------------------------
// Watchdog

// The threads whose responsiveness the watchdog vouches for.
typedef enum vornmgr_watched_thread_t {
    WATCHED_COMM,      // the comm receive thread
    WATCHED_OPERATOR,  // the operator socket thread
    WATCHED_THREADS,
} vornmgr_watched_thread_t;

// Each watched thread's beat: even while it is idle in its wait for work (or
// in a wait that is bounded by construction, like a take-down position's),
// odd while it works on one step. Only the thread itself writes it, one
// relaxed store on each side of its wait, so the comm thread's hot path pays
// no more than two stores a request.
extern std::atomic<uint32_t> vornmgr_thread_beat[WATCHED_THREADS];

inline void vornmgr_watchdog_idle(vornmgr_watched_thread_t thread)
{
    std::atomic<uint32_t> &beat = vornmgr_thread_beat[thread];
    const uint32_t value = beat.load(std::memory_order_relaxed);
    if (value & 1u)
        beat.store(value + 1, std::memory_order_relaxed);
}

inline void vornmgr_watchdog_busy(vornmgr_watched_thread_t thread)
{
    std::atomic<uint32_t> &beat = vornmgr_thread_beat[thread];
    const uint32_t value = beat.load(std::memory_order_relaxed);
    if (!(value & 1u))
        beat.store(value + 1, std::memory_order_relaxed);
}

// Marks a wait that is bounded by construction (a take-down position's, a
// request's arrival) as idle for its lifetime, so that however long the
// sequence around it runs, only a step between two such waits can count as
// stuck; the beat is busy again afterwards if it was before.
class vornmgr_watchdog_bounded_wait {
public:
    explicit vornmgr_watchdog_bounded_wait(vornmgr_watched_thread_t thread)
        : thread_(thread), was_busy_(vornmgr_thread_beat[thread].load(std::memory_order_relaxed) & 1u)
    {
        vornmgr_watchdog_idle(thread_);
    }
    ~vornmgr_watchdog_bounded_wait()
    {
        if (was_busy_)
            vornmgr_watchdog_busy(thread_);
    }
    vornmgr_watchdog_bounded_wait(const vornmgr_watchdog_bounded_wait &) = delete;
    vornmgr_watchdog_bounded_wait &operator=(const vornmgr_watchdog_bounded_wait &) = delete;

private:
    vornmgr_watched_thread_t thread_;
    bool was_busy_;
};

// The pinger's judgement, kept apart from its clock so that it can be tested.
typedef struct vornmgr_watchdog_view_t {
    uint32_t last_beat[WATCHED_THREADS];
    int ticks_in_step[WATCHED_THREADS];
} vornmgr_watchdog_view_t;
// Records one tick's beats. Returns the first thread that the pinger saw in
// the same step at `ticks_needed` consecutive ticks after the one that first
// saw it there, or -1 when every thread is responsive. With ticks at half the
// watchdog interval, a ticks_needed of 2 stops the pings once a thread spent
// a whole interval in one step, and never for a step shorter than a tick.
int vornmgr_watchdog_stuck_thread(vornmgr_watchdog_view_t *view, const uint32_t beats[WATCHED_THREADS],
                                  int ticks_needed);

// Starts the watchdog thread when systemd asked for one (WATCHDOG_USEC, for
// this process); true when none was asked for or it started.
bool vornmgr_start_watchdog(void);
// Stops and joins it; harmless when none runs.
void vornmgr_stop_watchdog(void);

// ---------------------------------------------------------------------------
// Debug hook: rehearsing the watchdog

// With VORNMGR_DEBUG_HANG=operator in the manager's environment (read once,
// by vornmgr_start_watchdog), the operator thread stops responding when it
// serves its next request: it waits on `wake_fd` (the server's stop event)
// without counting as idle, so the pings stop and systemd restarts the
// manager. Documented in vornmgrd(8); without the variable it returns at once.
void vornmgr_debug_hang_point(vornmgr_watched_thread_t thread, int wake_fd);

#endif // VORN_MGR_NOTIFY_H
