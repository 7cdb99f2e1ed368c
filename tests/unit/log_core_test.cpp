// SPDX-License-Identifier: Apache-2.0
// The logging core: line format on the standard-error fallback, the gate,
// per-thread continuation, the time stamp, assertions and the checked calloc.
#undef NDEBUG  // the assertion reporter is under test
#include "log.h"
#include "log_test_util.h"

#include <gtest/gtest.h>

#include <cassert>
#include <climits>
#include <cstdint>
#include <ctime>
#include <regex>
#include <set>
#include <thread>

using log_test::origin_regex;
using log_test::ScratchDir;
using log_test::split_lines;
using log_test::StderrCapture;

namespace {

class LogCore : public ::testing::Test {
protected:
    void TearDown() override
    {
        log_deinit();
        _min_log_level.store(LOG_LEVEL_LAST);
    }
    ScratchDir dir;
};

TEST_F(LogCore, FallbackWritesEveryLevelInFullWithLevelWordsForCritErrWarn)
{
    StderrCapture capture(dir);
    int first = __LINE__ + 1;
    LOG_ERR("failed comm bind %s\n", "Address in use");
    LOG_CRIT("crit %d\n", 0);
    LOG_WARN("warn\n");
    LOG_INFO("no registered modules\n");
    LOG_DEBUG("debug %u\n", 4u);
    LOG_ALWAYS("always\n");
    std::vector<std::string> lines = split_lines(capture.text());

    ASSERT_EQ(lines.size(), 6u);
    const char *texts[] = {"ERR failed comm bind Address in use", "CRIT crit 0", "WARN warn",
                           "no registered modules", "debug 4", "always"};
    for (int i = 0; i < 6; i++) {
        std::regex expected(origin_regex("log_core_test.cpp", first + i) + texts[i]);
        EXPECT_TRUE(std::regex_match(lines[i], expected)) << lines[i];
    }
}

TEST_F(LogCore, GateIsTestedBeforeArgumentsAreEvaluated)
{
    int evaluated = 0;
    auto count = [&evaluated] { return ++evaluated; };
    _min_log_level.store(LOG_LEVEL_ERR);
    StderrCapture capture(dir);
    LOG_WARN("suppressed %d\n", count());
    LOG_DEBUG("suppressed %d\n", count());
    LOG_ERR("passed %d\n", count());
    LOG_ALWAYS("always %d\n", count());
    std::string text = capture.text();

    EXPECT_EQ(evaluated, 2);
    EXPECT_EQ(text.find("suppressed"), std::string::npos);
    EXPECT_NE(text.find("ERR passed 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("always 2\n"), std::string::npos) << text;
}

TEST_F(LogCore, FallbackKeepsFullPrefixOfAContinuation)
{
    StderrCapture capture(dir);
    int first = __LINE__ + 1;
    LOG_INFO("open ");
    LOG_WARN("closed\n");
    std::string text = capture.text();

    std::regex expected(origin_regex("log_core_test.cpp", first) + "open " +
                        origin_regex("log_core_test.cpp", first + 1) + "WARN closed\n");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST_F(LogCore, ContinuationIsPerThreadOnBackends)
{
    const char *settings[] = {"stderr=DEBUG"};
    ASSERT_TRUE(log_setup(settings, 1));
    StderrCapture capture(dir);
    int first = __LINE__ + 1;
    LOG_INFO("open ");
    std::thread([] { LOG_INFO("other thread\n"); }).join();
    LOG_WARN("closed\n");
    LOG_ERR("next line\n");
    std::string text = capture.text();

    // The other thread's message starts fresh; the opener's next message
    // continues its line without stamp, origin or level word.
    std::regex expected(origin_regex("log_core_test.cpp", first) + "open " +
                        origin_regex("log_core_test.cpp", first + 1) + "other thread\nclosed\n" +
                        origin_regex("log_core_test.cpp", first + 3) + "ERR next line\n");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST_F(LogCore, AlwaysIsDispatchedAsInfo)
{
    // Two stderr backends: one takes INFO, one only WARN and worse. An ALWAYS
    // line must reach the first only; a WARN line both.
    const char *settings[] = {"stderr=INFO", "stderr=WARN"};
    ASSERT_TRUE(log_setup(settings, 2));
    StderrCapture capture(dir);
    LOG_ALWAYS("always line\n");
    LOG_WARN("warn line\n");
    std::vector<std::string> lines = split_lines(capture.text());

    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find(" always line"), std::string::npos);
    EXPECT_NE(lines[1].find(" WARN warn line"), std::string::npos);
    EXPECT_EQ(lines[1], lines[2]);
}

TEST_F(LogCore, ConcurrentLinesStayWhole)
{
    constexpr int threads = 4;
    constexpr int per_thread = 200;
    StderrCapture capture(dir);
    std::vector<std::thread> loggers;
    for (int t = 0; t < threads; t++) {
        loggers.emplace_back([t] {
            for (int i = 0; i < per_thread; i++)
                LOG_INFO("thread %d message %d\n", t, i);
        });
    }
    for (auto &logger : loggers)
        logger.join();
    std::vector<std::string> lines = split_lines(capture.text());

    ASSERT_EQ(lines.size(), size_t(threads * per_thread));
    std::regex shape(origin_regex("log_core_test.cpp", 0).replace(
                         origin_regex("log_core_test.cpp", 0).find(":0 "), 3, ":[0-9]+ ") +
                     "thread [0-9] message [0-9]+");
    std::set<std::string> texts;
    for (const auto &line : lines) {
        EXPECT_TRUE(std::regex_match(line, shape)) << line;
        texts.insert(line.substr(line.find("thread ")));
    }
    EXPECT_EQ(texts.size(), size_t(threads * per_thread));
}

TEST(LogDatestamp, StampIsEpochThenMatchingLocalTimeInPerThreadStorage)
{
    const char *stamp = _log_datestamp();
    std::cmatch parts;
    ASSERT_TRUE(std::regex_match(stamp, parts, std::regex("([0-9]+)\\.([0-9]{6}) (.{19})"))) << stamp;
    time_t seconds = time_t(std::stoll(parts[1].str()));
    struct tm local;
    ASSERT_NE(localtime_r(&seconds, &local), nullptr);
    char expected[32];
    strftime(expected, sizeof expected, "%F %T", &local);
    EXPECT_EQ(parts[3].str(), expected);

    // Another thread's stamp lives in that thread's buffer: ours is intact.
    std::string kept = stamp;
    const char *other = nullptr;
    std::thread([&other] { other = _log_datestamp(); }).join();
    EXPECT_NE(other, stamp);
    EXPECT_EQ(kept, stamp);
}

TEST(LogLevels, StringToLevelIsExactAndCaseSensitive)
{
    EXPECT_EQ(log_string_to_level("CRIT"), LOG_LEVEL_CRIT);
    EXPECT_EQ(log_string_to_level("ERR"), LOG_LEVEL_ERR);
    EXPECT_EQ(log_string_to_level("WARN"), LOG_LEVEL_WARN);
    EXPECT_EQ(log_string_to_level("INFO"), LOG_LEVEL_INFO);
    EXPECT_EQ(log_string_to_level("DEBUG"), 4);
    EXPECT_EQ(int(log_string_to_level("debug")), INT_MAX);
    EXPECT_EQ(int(log_string_to_level("WARNING")), INT_MAX);
    EXPECT_EQ(int(log_string_to_level("")), INT_MAX);
}

TEST(LogLevels, LevelToStringGivesWordsAndRejectsOutOfRange)
{
    EXPECT_STREQ(log_level_to_string(LOG_LEVEL_CRIT), "CRIT");
    EXPECT_STREQ(log_level_to_string(LOG_LEVEL_DEBUG), "DEBUG");
    EXPECT_STREQ(log_level_to_string(LOG_LEVEL_ALWAYS), "INFO");
    EXPECT_DEATH(log_level_to_string(LOG_LEVEL_LAST), "CRIT .*Assertion `FALSE' failed\\.");
}

int volatile_three()
{
    static volatile int three = 3;
    return three;
}

TEST(LogAssert, FailedAssertLogsCritLineAndStackThenAborts)
{
    EXPECT_DEATH(assert(volatile_three() == 2),
                 "log\\.cpp:[0-9]+ CRIT [^ ]*log_core_test\\.cpp:[0-9]+: .*FailedAssertLogs.*: "
                 "Assertion `volatile_three\\(\\) == 2' failed\\.\n"
                 ".* log\\.cpp:[0-9]+ STACK [0-9]+: 0x[0-9a-f]+\n");
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(LogCalloc, FailureLogsCallerAndAborts)
{
    // An impossible size: calloc refuses it and returns NULL. Volatile, so the
    // compiler cannot refuse it first.
    static volatile size_t huge = SIZE_MAX / 2;
    EXPECT_DEATH(_norvane_calloc(huge, 16, "caller.cpp", 42),
                 "log\\.h:[0-9]+ CRIT calloc returned NULL at caller\\.cpp:42\n");
}
#endif

} // namespace
