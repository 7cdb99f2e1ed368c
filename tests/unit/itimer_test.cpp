// SPDX-License-Identifier: Apache-2.0
// Profiling interval timers, read from the standard-error fallback.
#include "itimer.h"
#include "log.h"
#include "log_test_util.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>

using log_test::origin_regex;
using log_test::ScratchDir;
using log_test::split_lines;
using log_test::StderrCapture;

namespace {

class Itimer : public ::testing::Test {
protected:
    void TearDown() override
    {
        unsetenv("ITIMER");
        log_deinit();
        itimer_init();
        proftimer_usec.fill(0);
    }

    // log_init examines ITIMER; an empty configuration keeps the fallback.
    void configure(bool profiling)
    {
        if (profiling)
            setenv("ITIMER", "", 1);
        else
            unsetenv("ITIMER");
        ASSERT_TRUE(log_init(nullptr, 0));
        ASSERT_EQ(itimer.load(), profiling);
    }

    ScratchDir dir;
};

// The microseconds of an "ITIMER: <label> took N usecs" line.
itimer_t logged_usecs(const std::string &line, const std::string &label)
{
    std::smatch match;
    std::regex shape(origin_regex("itimer\\.cpp", 0).replace(origin_regex("itimer\\.cpp", 0).find(":0 "), 3,
                                                              ":[0-9]+ ") +
                     "ITIMER: " + label + " took ([0-9]+) usecs");
    if (!std::regex_match(line, match, shape)) {
        ADD_FAILURE() << "unexpected line: " << line;
        return 0;
    }
    return std::stoull(match[1].str());
}

TEST_F(Itimer, ProftimerIsDormantWithoutItimerButIntervalsStillLog)
{
    configure(false);
    proftimer_usec[3] = 1500;
    proftimer_init();  // does not clear: profiling is off
    EXPECT_EQ(proftimer_usec[3], 1500u);

    StderrCapture capture(dir);
    proftimer_log();
    itimer_t start = itimer_get_us();
    itimer_log_interval(&start, "dormant");
    std::vector<std::string> lines = split_lines(capture.text());
    ASSERT_EQ(lines.size(), 1u);
    logged_usecs(lines[0], "dormant");
}

TEST_F(Itimer, ProftimerLogsExactlyTheSlotsHoldingTime)
{
    proftimer_usec[2] = 99;
    configure(true);
    proftimer_init();
    EXPECT_EQ(proftimer_usec[2], 0u);
    proftimer_usec[7] = 1500;

    StderrCapture capture(dir);
    proftimer_log();
    std::vector<std::string> lines = split_lines(capture.text());
    ASSERT_EQ(lines.size(), 1u);
    std::string expected = origin_regex("itimer\\.cpp", 0);
    expected.replace(expected.find(":0 "), 3, ":[0-9]+ ");
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(expected + "proftimer : 7 : 1500"))) << lines[0];
}

TEST_F(Itimer, ConsecutiveIntervalsShareTheirBoundary)
{
    configure(false);
    itimer_t start = itimer_get_us() - 1000000;

    StderrCapture capture(dir);
    itimer_log_interval(&start, "first second");
    itimer_t boundary = start;
    itimer_log_interval(&start, "next");
    std::vector<std::string> lines = split_lines(capture.text());

    ASSERT_EQ(lines.size(), 2u);
    EXPECT_GE(logged_usecs(lines[0], "first second"), 1000000u);
    EXPECT_GE(start, boundary);
    EXPECT_EQ(logged_usecs(lines[1], "next"), start - boundary);
}

TEST_F(Itimer, IntervalsReachOnlyBackendsTakingInfo)
{
    std::string info_log = dir.file("info.log");
    std::string warn_log = dir.file("warn.log");
    std::string info_setting = "file:" + info_log + "=INFO";
    std::string warn_setting = "file:" + warn_log + "=WARN";
    const char *settings[] = {info_setting.c_str(), warn_setting.c_str()};
    ASSERT_TRUE(log_setup(settings, 2));
    itimer_t start = itimer_get_us();
    itimer_log_interval(&start, "gated");
    EXPECT_NE(log_test::read_file(info_log).find("ITIMER: gated took "), std::string::npos);
    EXPECT_EQ(log_test::read_file(warn_log), "");
}

TEST_F(Itimer, ProftimerMacrosAccumulateIntoTheSlot)
{
    configure(true);
    proftimer_init();
    PROFTIMER_START(4);
    proftimer_tmp[4] -= 250;  // as if the timed stretch had begun 250 us earlier
    PROFTIMER_STOP(4);
    EXPECT_GE(proftimer_usec[4], 250u);
}

} // namespace
