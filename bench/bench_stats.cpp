// SPDX-License-Identifier: Apache-2.0
// Summaries of measured durations.

#include "bench_stats.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace bench {

ns_t percentile_sorted(const std::vector<ns_t> &sorted, double percent)
{
    if (sorted.empty())
        return 0;
    // Rank 1 is the smallest sample; the rank is rounded up so that, for
    // instance, the median of two samples is the lower one, never a mean
    // that nobody measured.
    const double rank = std::ceil(percent / 100.0 * double(sorted.size()));
    const size_t index = size_t(std::clamp(rank, 1.0, double(sorted.size()))) - 1;
    return sorted[index];
}

Summary summarise(std::vector<ns_t> &samples)
{
    Summary summary;
    if (samples.empty())
        return summary;
    std::sort(samples.begin(), samples.end());
    summary.count = samples.size();
    summary.min = samples.front();
    summary.max = samples.back();
    summary.median = percentile_sorted(samples, 50);
    summary.p99 = percentile_sorted(samples, 99);
    summary.mean = double(std::accumulate(samples.begin(), samples.end(), ns_t{0})) / double(samples.size());
    return summary;
}

} // namespace bench
