// SPDX-License-Identifier: Apache-2.0
// itimer.cpp - profiling interval timers, written to the log at ALWAYS level.
#include "itimer.h"
#include "log.h"

#include <cstdlib>

std::atomic<bool> itimer{false};
std::array<itimer_t, PROFTIMER_SLOTS> proftimer_usec{};
std::array<itimer_t, PROFTIMER_SLOTS> proftimer_tmp{};

void itimer_init(void)
{
    itimer.store(getenv("ITIMER") != nullptr);
}

void itimer_log_interval(itimer_t *start, const char *label)
{
    itimer_t now = itimer_get_us();
    LOG_ALWAYS("ITIMER: %s took %lu usecs\n", label, (unsigned long)(now - *start));
    *start = now;
}

void proftimer_init(void)
{
    if (!itimer.load())
        return;
    proftimer_usec.fill(0);
}

void proftimer_log(void)
{
    if (!itimer.load())
        return;
    for (int slot = 0; slot < PROFTIMER_SLOTS; slot++) {
        if (proftimer_usec[slot] != 0)
            LOG_ALWAYS("proftimer : %d : %lu\n", slot, (unsigned long)proftimer_usec[slot]);
    }
}
