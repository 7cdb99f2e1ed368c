// SPDX-License-Identifier: Apache-2.0
// Moving the system between modes: taking modules down one at a time in
// layering order, each acknowledged by every registered module, and bringing
// them up with one broadcast.

#include "log.h"
#include "vorn_mgr.h"
#include "vorn_mgr_notify.h"
#include "vorn_mgr_history.h"

#include <malloc.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

// The take-down's shared state: the comm receive thread counts GO_DOWN
// answers (vornmgr_count_go_down_answer) while the operator thread waits.
std::mutex lock;
std::condition_variable cond;
int mod_id_in_process = -1;
int num_go_down_response_required = 0;
int num_go_down_response_recv = 0;

// Position k of the take-down order waits at most module_response_timeout[k].
const std::array<Module, 8> mod_layering_order{SYSTEM_SERVICES, FRR, BGP, OSPF, TRELL, STP, SWIVEND, SDK};
const std::array<int, 8> module_response_timeout{10, 10, 5, 5, 5, 5, 10, 5};

namespace {

// A value that late answers, counting up from it, can never bring to the
// number required.
constexpr int go_down_timed_out = -11;

bool vornmgr_publish_mode_change(State type, Module mod, Mode reason)
{
    const module_mode_t payload{mod, reason, type};
    char package[VORNMGR_PKG_HDR_LEN + VORNMGR_MSG_HDR_LEN + sizeof payload];
    vornmgr_pkg_init(package, sizeof package);
    const int len = vornmgr_pkg_add(package, sizeof package, type, &payload, sizeof payload);
    return len > 0 && vornmgr_pub_msg(len, package);
}

// Set when the manager stops: the take-down in progress ends at its current
// position and no further one starts. Guarded by lock.
bool take_down_stopped = false;
bool take_down_running = false;
// The modules whose answer about the module in process is awaited, and those
// of them that answered, one bit per module. Guarded by lock.
unsigned go_down_awaited = 0;
unsigned go_down_answered = 0;
// What each position of the take-down saw, for its history record: filled
// as answers arrive, in fixed arrays (nothing is allocated per answer).
// Guarded by lock.
vornmgr_take_down_trace_t take_down_trace{};

// The course of the take-down in process. The thread that sees a position
// end closes it and opens the next: the comm receive thread when the last
// awaited answer arrives, so that the next GO_DOWN leaves with no hand-over
// between threads; the operator thread when the position's time runs out,
// when a module that left completes it, and at the start. The operator
// thread waits until the last position has closed. Guarded by lock.
struct vornmgr_take_down_course_t {
    Mode reason = UNKNOWN_MODE;
    Module target = ALL_MODULES;
    size_t position = 0;  // index in mod_layering_order of the open position
    std::chrono::steady_clock::time_point deadline{};
    // What the operator thread sleeps until, so that a position opened with
    // an earlier deadline wakes it; the latest time point while it does not.
    std::chrono::steady_clock::time_point watched = std::chrono::steady_clock::time_point::max();
    bool advancing = false;  // a thread is closing the open position and opening the next
    bool awaited = false;    // the operator thread sleeps until that thread is done
    bool finished = false;   // no position left to open
};
vornmgr_take_down_course_t course;

// Starts counting answers about `mod`: each module of `awaited` counts once.
// Callers hold lock.
void vornmgr_await_go_down_answers_locked(Module mod, unsigned awaited)
{
    mod_id_in_process = mod;
    go_down_awaited = awaited;
    go_down_answered = 0;
    num_go_down_response_required = std::popcount(awaited);
    num_go_down_response_recv = 0;
}

int64_t vornmgr_elapsed_us(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - since).count();
}

// Opens the trace of the next position. Callers hold lock.
void vornmgr_open_position_locked(Module mod, int timeout)
{
    vornmgr_position_trace_t &position = take_down_trace.position[take_down_trace.positions++];
    position = vornmgr_position_trace_t{};
    position.mod = mod;
    position.timeout = timeout;
    position.go_down_ms = vornmgr_wall_ms();
    position.go_down_sent = std::chrono::steady_clock::now();
    position.required = num_go_down_response_required;
    position.expected = take_down_trace.expected;
    position.open = true;
}

// Ends the trace of the position in process: answers from now on are late.
// Callers hold lock.
void vornmgr_close_position_locked(int received, bool timed_out)
{
    if (take_down_trace.positions == 0)
        return;
    vornmgr_position_trace_t &position = take_down_trace.position[take_down_trace.positions - 1];
    position.open = false;
    position.received = received;
    position.timed_out = timed_out;
    position.required = num_go_down_response_required;
    position.waited_us = vornmgr_elapsed_us(position.go_down_sent);
}

// Two deadlines taken within the same wall-clock second differ by no more
// than this: the time between reading the two clocks.
constexpr std::chrono::milliseconds deadline_jitter{1};

// The deadline of a position: whole seconds, as the modules' own time-outs
// are, so the wait lasts between the time-out less one second and the
// time-out. It is measured on the monotonic clock, so that a clock step (time
// synchronisation at boot) neither stretches nor cuts a wait.
std::chrono::steady_clock::time_point vornmgr_position_deadline(int timeout)
{
    const auto wall = std::chrono::system_clock::now();
    const auto into_second = wall - std::chrono::floor<std::chrono::seconds>(wall);
    return std::chrono::steady_clock::now() + std::chrono::seconds(timeout) -
           std::chrono::duration_cast<std::chrono::steady_clock::duration>(into_second);
}

void vornmgr_end_take_down(void)
{
    std::lock_guard<std::mutex> guard(lock);
    take_down_running = false;
}

// The position in process has ended when every awaited module answered.
// Callers hold lock.
bool vornmgr_position_complete_locked(void)
{
    return num_go_down_response_recv >= num_go_down_response_required;
}

// Sentinel of vornmgr_open_position_from: no position was opened.
constexpr size_t no_position = mod_layering_order.size();

// Opens the first position from `from` on that takes part in the take-down
// (a registered module; the target alone when there is one) and returns it,
// for the caller to broadcast its GO_DOWN. Marks the take-down finished and
// returns no_position when none is left, or when the manager stops: no
// GO_DOWN follows a stop. Called without lock by the thread that holds the
// course (course.advancing).
size_t vornmgr_open_position_from(size_t from, Mode reason, Module target)
{
    for (size_t position = from; position < mod_layering_order.size(); position++) {
        const Module mod = mod_layering_order[position];
        if (target != ALL_MODULES && target != mod)
            continue;
        if (!vornmgr_is_mod_registered(mod))
            continue;
        if (vornmgr_take_down_is_stopped())
            break;
        LOG_INFO("Send going down module %s\n", mod_id_to_str(mod));
        vornmgr_set_mod_state(mod, reason, GO_DOWN);
        bool wake_operator;
        {
            std::lock_guard<std::mutex> guard(lock);
            // Modules that left since the take-down began are no longer awaited.
            vornmgr_await_go_down_answers_locked(mod, take_down_trace.expected);
            vornmgr_open_position_locked(mod, module_response_timeout[position]);
            course.position = position;
            course.deadline = vornmgr_position_deadline(module_response_timeout[position]);
            // Deadlines fall on whole seconds of the wall clock: two taken in
            // the same second differ only by the jitter of reading two clocks,
            // which must not wake the operator thread at every position.
            wake_operator = course.deadline + deadline_jitter < course.watched;
        }
        if (wake_operator)
            cond.notify_all();
        return position;
    }
    std::lock_guard<std::mutex> guard(lock);
    course.finished = true;
    return no_position;
}

// When a position's status line is shown: the first and one after a
// time-out at once; one opened because the last answer came in only if it
// lasts (vornmgr_notify_activity_held), since the answers open positions in
// quick succession. Which thread opens it does not matter: the operator
// thread closes an answered position too when the answer came in while it
// was still opening the one before.
enum class vornmgr_opener_t { at_once, if_it_lasts };

// Broadcasts the GO_DOWN of the position just opened, then tells systemd:
// the status line is for the operator and need not delay the modules.
void vornmgr_announce_position(size_t position, Mode reason, vornmgr_opener_t opener)
{
    const Module mod = mod_layering_order[position];
    vornmgr_publish_mode_change(GO_DOWN, mod, reason);
    const char *const format = "taking down %s (%zu of %zu)";
    if (opener == vornmgr_opener_t::if_it_lasts)
        vornmgr_notify_activity_held(format, mod_id_to_str(mod), position + 1, mod_layering_order.size());
    else
        vornmgr_notify_activity(format, mod_id_to_str(mod), position + 1, mod_layering_order.size());
}

// What the thread that closes a position needs to know of it.
struct vornmgr_claim_t {
    bool timed_out;
    int required;
    int received;
};

// Takes the open position's course for the calling thread and closes its
// trace; a position whose time ran out counts no late answer any more.
// Callers hold lock.
vornmgr_claim_t vornmgr_claim_position_locked(bool timed_out)
{
    const vornmgr_claim_t claim{timed_out, num_go_down_response_required, num_go_down_response_recv};
    course.advancing = true;
    vornmgr_close_position_locked(claim.received, timed_out);
    if (timed_out)
        num_go_down_response_recv = go_down_timed_out;
    return claim;
}

// Closes the position the caller claimed (vornmgr_claim_position_locked):
// its module is down, or ran out of time. Then opens the next position.
// Called without lock.
void vornmgr_advance_take_down(const vornmgr_claim_t &claim, vornmgr_opener_t opener)
{
    Module mod;
    Mode reason;
    Module target;
    size_t position;
    bool awaited;
    {
        std::lock_guard<std::mutex> guard(lock);
        mod = mod_layering_order[course.position];
        reason = course.reason;
        target = course.target;
        position = course.position;
        awaited = take_down_trace.expected & (1u << mod);
    }
    if (claim.timed_out) {
        vornmgr_set_mod_state(mod, reason, DOWN);
        LOG_ERR("%s: cond timeout error (%d) Expected %d responses, received %d (%s)\n", mod_id_to_str(mod),
                ETIMEDOUT, claim.required, claim.received, strerror(ETIMEDOUT));
    } else if (!awaited) {
        // A module that registered after the take-down began was told to be
        // down, and nobody waited for its answer: one that has not given it
        // is not left "going down".
        vornmgr_set_mod_state_from(mod, GO_DOWN, reason, DOWN);
    }
    LOG_INFO("Send down for module %s\n", mod_id_to_str(mod));
    {
        std::lock_guard<std::mutex> guard(lock);
        take_down_trace.position[take_down_trace.positions - 1].down_ms = vornmgr_wall_ms();
    }
    size_t next = no_position;
    if (target == ALL_MODULES) {
        next = vornmgr_open_position_from(position + 1, reason, target);
    } else {
        std::lock_guard<std::mutex> guard(lock);
        course.finished = true;
    }
    // The two broadcasts leave together, as the modules take them: one wake
    // of the publishing thread, the same order as ever.
    vornmgr_publish_mode_change(DOWN, mod, reason);
    if (next != no_position)
        vornmgr_announce_position(next, reason, opener);
    bool wake_operator;
    {
        std::lock_guard<std::mutex> guard(lock);
        course.advancing = false;
        // The operator thread sleeps through a course that goes on by itself.
        wake_operator =
            course.awaited || course.finished || take_down_stopped || vornmgr_position_complete_locked();
    }
    if (wake_operator)
        cond.notify_all();
}

// The operator thread's part of a take-down: it opens the first position,
// then waits, closing a position itself when its time runs out or when no
// answer will close it, until the last position has closed. False only on a
// stop.
bool vornmgr_run_take_down(Mode reason, Module target)
{
    const size_t first = vornmgr_open_position_from(0, reason, target);
    if (first != no_position)
        vornmgr_announce_position(first, reason, vornmgr_opener_t::at_once);
    {
        std::lock_guard<std::mutex> guard(lock);
        course.advancing = false;
    }
    std::unique_lock<std::mutex> held(lock);
    for (;;) {
        if (course.advancing) {
            course.awaited = true;
            {
                const vornmgr_watchdog_bounded_wait bounded(WATCHED_OPERATOR);
                cond.wait(held);
            }
            course.awaited = false;
            continue;
        }
        if (take_down_stopped) {
            const bool opened = take_down_trace.positions > 0;
            const Module mod = mod_layering_order[course.position];
            held.unlock();
            vornmgr_end_take_down();
            if (opened)
                LOG_INFO("take-down stopped at module %s: the manager is stopping\n", mod_id_to_str(mod));
            return false;
        }
        if (course.finished)
            return true;
        const bool complete = vornmgr_position_complete_locked();
        if (complete || std::chrono::steady_clock::now() >= course.deadline) {
            const vornmgr_claim_t claim = vornmgr_claim_position_locked(!complete);
            held.unlock();
            vornmgr_advance_take_down(claim, claim.timed_out ? vornmgr_opener_t::at_once
                                                             : vornmgr_opener_t::if_it_lasts);
            held.lock();
            continue;
        }
        // A status line this thread held is due before the deadline, maybe:
        // the comm receive thread, waiting for a request, would not send it.
        auto wake = course.deadline;
        const int status_due_ms = vornmgr_notify_held_timeout_ms();
        if (status_due_ms >= 0)
            wake = std::min(wake, std::chrono::steady_clock::now() + std::chrono::milliseconds(status_due_ms));
        course.watched = course.deadline;
        {
            const vornmgr_watchdog_bounded_wait bounded(WATCHED_OPERATOR);
            cond.wait_until(held, wake);
        }
        course.watched = std::chrono::steady_clock::time_point::max();
        if (status_due_ms >= 0) {
            held.unlock();
            vornmgr_notify_send_held();
            held.lock();
        }
    }
}


// Module connections come and go around a mode change, and the memory ZeroMQ
// freed with them stays in the C library's heaps; a mode change is rare, so
// that memory goes back to the system after each, once the operator has been
// answered (vornmgr_release_free_memory).
std::atomic<bool> free_memory_due{false};

} // namespace

void vornmgr_release_free_memory(void)
{
    if (free_memory_due.exchange(false))
        malloc_trim(0);
}

bool vornmgr_admin_modules(Mode reason, Module target_mod, bool up)
{
    // One reading of the registry: the number required and the set awaited
    // must name the same modules, or a position could end without one of them.
    const unsigned registered_set = vornmgr_registered_set();
    const int registered = std::popcount(registered_set);
    {
        std::lock_guard<std::mutex> guard(lock);
        num_go_down_response_required = registered;
        if (!up) {
            take_down_trace.positions = 0;
            take_down_trace.registered = registered;
            take_down_trace.expected = 0;
        }
    }
    operative_mode = reason;
    // Modules that register later are told this state: maintenance entered
    // before any module registered keeps them down all the same.
    required_state = up ? UP : DOWN;
    if (registered == 0) {
        LOG_INFO("no registered modules\n");
        return true;
    }

    if (up) {
        vornmgr_set_mod_state(target_mod, reason, COME_UP);
        vornmgr_publish_mode_change(COME_UP, target_mod, reason);
        const bool announced = vornmgr_publish_dummy_nl_status();
        free_memory_due = true;
        return announced;
    }

    // Said, never waited for: the operator asked now.
    if (const unsigned missing = vornmgr_unaccounted_modules.load()) {
        char names[VORNMGR_TEXT_BUF_LEN];
        LOG_WARN("take-down starts while %s, registered before the manager restarted, has not answered\n",
                 vornmgr_module_names(missing, names, sizeof names));
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        if (take_down_stopped)
            return false;
        num_go_down_response_recv = 0;
        take_down_trace.expected = registered_set;
        // From here on a module that leaves is no longer awaited, even before
        // the first position opens.
        go_down_awaited = registered_set;
        take_down_running = true;
        course = vornmgr_take_down_course_t{};
        course.reason = reason;
        course.target = target_mod;
        course.advancing = true;  // the operator thread opens the first position
    }
    if (!vornmgr_run_take_down(reason, target_mod))
        return false;
    vornmgr_end_take_down();
    free_memory_due = true;
    return true;
}

vornmgr_take_down_trace_t vornmgr_copy_take_down_trace(void)
{
    std::lock_guard<std::mutex> guard(lock);
    vornmgr_take_down_trace_t copy = take_down_trace;
    copy.stopped = take_down_stopped;
    return copy;
}

void vornmgr_stop_take_down(void)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        take_down_stopped = true;
    }
    cond.notify_all();
}

bool vornmgr_take_down_is_stopped(void)
{
    std::lock_guard<std::mutex> guard(lock);
    return take_down_stopped;
}

bool vornmgr_count_go_down_answer(Module for_mod, Module from_mod, Failure_Reason failure_reason)
{
    std::optional<vornmgr_claim_t> claim;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (for_mod != mod_id_in_process)
            return false;
        // One answer per awaited module: a sender that answers again, or one
        // the position does not wait for, must never stand in for a module
        // that has not answered.
        if (!vornmgr_is_valid_module(from_mod))
            return true;
        const unsigned bit = 1u << from_mod;
        if (!(go_down_awaited & bit) || (go_down_answered & bit))
            return true;
        go_down_answered |= bit;
        vornmgr_position_trace_t &position = take_down_trace.position[std::max(take_down_trace.positions - 1, 0)];
        if (take_down_running && position.open) {
            position.answered |= bit;
            position.delay_us[from_mod] = vornmgr_elapsed_us(position.go_down_sent);
            position.failure[from_mod] = failure_reason;
        }
        if (++num_go_down_response_recv < num_go_down_response_required)
            return true;
        // The last awaited answer: this thread closes the position and
        // broadcasts the next GO_DOWN itself, unless another thread holds the
        // course or the take-down stops.
        if (take_down_running && position.open && !course.advancing && !take_down_stopped)
            claim = vornmgr_claim_position_locked(false);
    }
    if (claim)
        vornmgr_advance_take_down(*claim, vornmgr_opener_t::if_it_lasts);
    else
        cond.notify_all();
    return true;
}

void vornmgr_await_go_down_answers(Module mod, unsigned awaited)
{
    std::lock_guard<std::mutex> guard(lock);
    vornmgr_await_go_down_answers_locked(mod, awaited);
}

void vornmgr_forget_go_down_answers_of(Module mod)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        // A take-down in progress no longer expects answers from a module that
        // left; an answer it already gave stops counting too, so the position
        // still waits for every module that remains. A module that was never
        // awaited changes nothing.
        const unsigned bit = 1u << mod;
        if (!take_down_running || !(go_down_awaited & bit))
            return;
        go_down_awaited &= ~bit;
        num_go_down_response_required--;
        take_down_trace.expected &= ~bit;
        if (take_down_trace.positions > 0)
            take_down_trace.position[take_down_trace.positions - 1].expected &= ~bit;
        if (go_down_answered & bit) {
            go_down_answered &= ~bit;
            num_go_down_response_recv--;
        }
        if (num_go_down_response_recv < num_go_down_response_required)
            return;
    }
    cond.notify_all();
}
