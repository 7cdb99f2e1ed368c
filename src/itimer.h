// SPDX-License-Identifier: Apache-2.0
// itimer.h - profiling interval timers that write to the log. Switched on by
// the environment variable ITIMER (examined by itimer_init, which log_init
// calls); dormant otherwise. Times are wall-clock microseconds.
#ifndef VORN_ITIMER_H
#define VORN_ITIMER_H

#include <array>
#include <atomic>
#include <cstdint>
#include <sys/time.h>

typedef uint64_t itimer_t;

constexpr int PROFTIMER_SLOTS = 20;

// Whether profiling is on.
extern std::atomic<bool> itimer;
// Accumulated time per profiling slot, and the start of a slot's running
// measurement. Plain arrays: a slot belongs to the one thread that times it.
extern std::array<itimer_t, PROFTIMER_SLOTS> proftimer_usec;
extern std::array<itimer_t, PROFTIMER_SLOTS> proftimer_tmp;

inline itimer_t itimer_get_us(void)
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    return itimer_t(now.tv_sec) * 1000000u + itimer_t(now.tv_usec);
}

// Sets itimer when ITIMER is defined in the environment (any value).
void itimer_init(void);
// Logs (ALWAYS) the time since *start under label and stores now in *start,
// so that consecutive calls measure consecutive intervals. Ignores itimer.
void itimer_log_interval(itimer_t *start, const char *label);
// With itimer on: clears every slot.
void proftimer_init(void);
// With itimer on: logs every slot that holds time.
void proftimer_log(void);

// Time a stretch of code into a slot: PROFTIMER_START(3); ...; PROFTIMER_STOP(3);
#define PROFTIMER_START(slot)                                                                     \
    do {                                                                                          \
        if (itimer.load(std::memory_order_relaxed))                                               \
            proftimer_tmp[(slot)] = itimer_get_us();                                              \
    } while (0)
#define PROFTIMER_STOP(slot)                                                                      \
    do {                                                                                          \
        if (itimer.load(std::memory_order_relaxed))                                               \
            proftimer_usec[(slot)] += itimer_get_us() - proftimer_tmp[(slot)];                    \
    } while (0)

#endif // VORN_ITIMER_H
