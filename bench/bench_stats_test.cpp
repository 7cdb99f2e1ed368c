// SPDX-License-Identifier: Apache-2.0
// The summaries every figure of a run is read through: a wrong rank would
// misreport every median and 99th percentile.

#include "bench_stats.h"

#include <gtest/gtest.h>

namespace bench {
namespace {

TEST(Percentile, IsASampleThatWasMeasured)
{
    const std::vector<ns_t> two{10, 30};
    // The median of two samples is the lower one, not their mean.
    EXPECT_EQ(percentile_sorted(two, 50), 10);
    EXPECT_EQ(percentile_sorted(two, 99), 30);
}

TEST(Percentile, NearestRankOfAHundredSamples)
{
    std::vector<ns_t> samples;
    for (ns_t value = 1; value <= 100; value++)
        samples.push_back(value);
    EXPECT_EQ(percentile_sorted(samples, 50), 50);
    EXPECT_EQ(percentile_sorted(samples, 99), 99);
    EXPECT_EQ(percentile_sorted(samples, 100), 100);
    EXPECT_EQ(percentile_sorted(samples, 0.5), 1);
}

TEST(Percentile, OneSlowSampleInFewReachesTheTop)
{
    // With fewer than a hundred samples the 99th percentile is the maximum:
    // a single stall must show.
    std::vector<ns_t> samples(20, 5);
    samples.back() = 900;
    EXPECT_EQ(percentile_sorted(samples, 99), 900);
    EXPECT_EQ(percentile_sorted(samples, 50), 5);
}

TEST(Summarise, SortsAndSummarisesUnorderedSamples)
{
    std::vector<ns_t> samples{40, 10, 30, 20, 50};
    const Summary summary = summarise(samples);
    EXPECT_EQ(summary.count, 5u);
    EXPECT_EQ(summary.min, 10);
    EXPECT_EQ(summary.median, 30);
    EXPECT_EQ(summary.p99, 50);
    EXPECT_EQ(summary.max, 50);
    EXPECT_DOUBLE_EQ(summary.mean, 30.0);
}

TEST(Summarise, NoSamplesGiveZeroes)
{
    std::vector<ns_t> none;
    const Summary summary = summarise(none);
    EXPECT_EQ(summary.count, 0u);
    EXPECT_EQ(summary.median, 0);
    EXPECT_EQ(percentile_sorted(none, 50), 0);
}

} // namespace
} // namespace bench
