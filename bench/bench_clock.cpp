// SPDX-License-Identifier: Apache-2.0
// The benchmark's one clock.

#include "bench.h"

#include <cerrno>
#include <ctime>

namespace bench {

ns_t now_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return ns_t(now.tv_sec) * NS_PER_S + now.tv_nsec;
}

void sleep_ns(ns_t duration)
{
    timespec left{time_t(duration / NS_PER_S), long(duration % NS_PER_S)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // namespace bench
