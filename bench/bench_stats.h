// SPDX-License-Identifier: Apache-2.0
// bench_stats.h - summaries of measured durations: nearest-rank percentiles,
// so that every figure reported is one that was actually measured.
#ifndef VORN_BENCH_STATS_H
#define VORN_BENCH_STATS_H

#include "bench.h"

#include <vector>

namespace bench {

struct Summary {
    size_t count = 0;
    ns_t min = 0;
    ns_t median = 0;
    ns_t p99 = 0;
    ns_t max = 0;
    double mean = 0;
};

// Nearest-rank percentile (0 < percent <= 100) of sorted samples: the
// smallest sample with at least percent % of the samples at or below it.
ns_t percentile_sorted(const std::vector<ns_t> &sorted, double percent);

// Sorts `samples` in place and summarises them; all zero when empty.
Summary summarise(std::vector<ns_t> &samples);

// Microseconds and milliseconds as doubles, for printing.
inline double to_us(ns_t value) { return double(value) / double(NS_PER_US); }
inline double to_ms(ns_t value) { return double(value) / double(NS_PER_MS); }

} // namespace bench

#endif // VORN_BENCH_STATS_H
