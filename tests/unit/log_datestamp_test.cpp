// SPDX-License-Identifier: Apache-2.0
// The log time stamp: each thread reuses the text of the last second it
// stamped, so the stamps are checked against the plain formatting of the same
// time, across changes of second, minute and day, and between threads.
#include "log.h"

#include <gtest/gtest.h>

#include <sys/time.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>

namespace {

// The stamp as printf and strftime write it: "%lu.%06lu" then " %F %T".
std::string reference_stamp(time_t seconds, suseconds_t micros)
{
    struct tm local;
    if (localtime_r(&seconds, &local) == nullptr)
        return "localtime_r failed";
    char text[128];
    int used = snprintf(text, sizeof text, "%lu.%06lu", (unsigned long)seconds, (unsigned long)micros);
    strftime(text + used, sizeof text - used, " %F %T", &local);
    return text;
}

std::string stamp_of(time_t seconds, suseconds_t micros)
{
    const struct timeval when = {seconds, micros};
    return log_format_datestamp(&when);
}

class LogDatestampFormat : public ::testing::Test {
protected:
    // A zone off UTC by a non-whole hour, so that a stamp written in UTC, or
    // with a stale hour, shows.
    void SetUp() override
    {
        const char *old = getenv("TZ");
        had_tz = old != nullptr;
        if (had_tz)
            saved_tz = old;
        setenv("TZ", "NPT-5:45", 1);
        tzset();
    }
    void TearDown() override
    {
        if (had_tz)
            setenv("TZ", saved_tz.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    bool had_tz = false;
    std::string saved_tz;
};

TEST_F(LogDatestampFormat, EveryStampEqualsThePlainFormattingOfItsTime)
{
    // 2026-12-09 23:59:58 in the zone above.
    const time_t before_midnight = 1796840098;
    const struct {
        time_t seconds;
        suseconds_t micros;
    } times[] = {
        {before_midnight, 0},          // first stamp of a second
        {before_midnight, 7},          // same second: the kept text, new digits
        {before_midnight, 999999},
        {before_midnight + 1, 10},     // next second
        {before_midnight + 2, 500000}, // next day
        {before_midnight, 123456},     // back to an earlier second (clock set back)
        {0, 1},                        // the epoch
        {9, 99},                       // a one-digit second count
        {2000000000, 42},              // ten digits
    };
    for (const auto &t : times)
        EXPECT_EQ(stamp_of(t.seconds, t.micros), reference_stamp(t.seconds, t.micros))
            << t.seconds << "." << t.micros;
}

TEST_F(LogDatestampFormat, StampsOfDifferentSecondsDifferInTheirSecondFields)
{
    // Written out in full: a wrong local conversion would pass a comparison
    // with the reference alone only if both were wrong the same way.
    EXPECT_EQ(stamp_of(1796840098, 250), "1796840098.000250 2026-12-09 23:59:58");
    EXPECT_EQ(stamp_of(1796840099, 250), "1796840099.000250 2026-12-09 23:59:59");
    EXPECT_EQ(stamp_of(1796840099, 999999), "1796840099.999999 2026-12-09 23:59:59");
    EXPECT_EQ(stamp_of(1796840100, 0), "1796840100.000000 2026-12-10 00:00:00");
    EXPECT_EQ(stamp_of(1796840159, 31), "1796840159.000031 2026-12-10 00:00:59");
}

TEST_F(LogDatestampFormat, EachThreadKeepsItsOwnSecond)
{
    const time_t mine = 1796840098;
    const time_t theirs = mine + 3600;
    EXPECT_EQ(stamp_of(mine, 1), reference_stamp(mine, 1));
    std::string other;
    std::thread([&other, theirs] { other = stamp_of(theirs, 2); }).join();
    EXPECT_EQ(other, reference_stamp(theirs, 2));
    // Another thread's second must not have replaced this thread's text.
    EXPECT_EQ(stamp_of(mine, 3), reference_stamp(mine, 3));
}

TEST(LogDatestampClock, ConsecutiveStampsOfTheClockAreFormattedAndNeverGoBack)
{
    struct timeval before;
    ASSERT_EQ(gettimeofday(&before, nullptr), 0);
    std::string previous = _log_datestamp();
    for (int i = 0; i < 2000; i++) {
        const std::string stamp = _log_datestamp();
        unsigned long seconds = 0;
        unsigned long micros = 0;
        ASSERT_EQ(sscanf(stamp.c_str(), "%lu.%lu", &seconds, &micros), 2) << stamp;
        EXPECT_EQ(stamp, reference_stamp(time_t(seconds), suseconds_t(micros)));
        EXPECT_GE(stamp.substr(0, stamp.find(' ')).size(), previous.substr(0, previous.find(' ')).size());
        EXPECT_GE(stamp, previous) << "the wall clock went back, or the stamp did";
        EXPECT_GE(seconds, (unsigned long)before.tv_sec);
        previous = stamp;
    }
}

} // namespace
