// SPDX-License-Identifier: Apache-2.0
// Log settings and the stderr and file backends: which backend a setting
// selects, which settings are refused, the gate, continuation on a file,
// rotation through log_reopen, and what a failed configuration leaves behind.
#include "log.h"
#include "log_test_util.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <string>
#include <unistd.h>

using log_test::origin_regex;
using log_test::read_file;
using log_test::ScratchDir;
using log_test::split_lines;
using log_test::StderrCapture;

namespace {

class LogBackends : public ::testing::Test {
protected:
    void TearDown() override { log_deinit(); }

    // log_setup with diagnostics captured; returns the result.
    bool setup(std::initializer_list<std::string> settings, std::string *diagnostics = nullptr)
    {
        std::vector<const char *> pointers;
        for (const auto &setting : settings)
            pointers.push_back(setting.c_str());
        StderrCapture capture(dir);
        bool ok = log_setup(pointers.data(), int(pointers.size()));
        std::string text = capture.text();
        if (diagnostics != nullptr)
            *diagnostics = text;
        return ok;
    }

    ScratchDir dir;
};

TEST_F(LogBackends, StderrNameAbbreviationsAndEmptyNameSelectStderr)
{
    for (const char *setting : {"stderr=INFO", "s=INFO", "std=INFO", "=INFO"}) {
        SCOPED_TRACE(setting);
        ASSERT_TRUE(setup({setting}));
        ASSERT_NE(log_backends, nullptr);
        EXPECT_EQ(log_backends[0].log, log_file);
        EXPECT_EQ(log_backends[0].reopen, nullptr);
        EXPECT_EQ(log_backends[0].level, LOG_LEVEL_INFO);
        EXPECT_EQ(_min_log_level.load(), LOG_LEVEL_INFO);

        StderrCapture capture(dir);
        int line = __LINE__ + 1;
        LOG_INFO("through stderr %d\n", 1);
        LOG_DEBUG("too verbose\n");
        std::string text = capture.text();
        EXPECT_TRUE(std::regex_match(text, std::regex(origin_regex("log_backends_test.cpp", line) +
                                                       "through stderr 1\n")))
            << text;
        log_deinit();
    }
}

TEST_F(LogBackends, OtherNamesSelectFileAndProgramOrAreUnknown)
{
    ASSERT_TRUE(setup({"f:" + dir.file("a.log") + "=INFO"}));
    EXPECT_EQ(log_backends[0].reopen, log_file_reopen);
    ASSERT_TRUE(setup({"prog:/bin/true=INFO"}));
    EXPECT_EQ(log_backends[0].log, log_program);

    std::string diagnostics;
    EXPECT_FALSE(setup({"stderrx=INFO"}, &diagnostics));
    EXPECT_EQ(diagnostics, "Unknown log backend 'stderrx'\n");
    EXPECT_FALSE(setup({"journal:x=INFO"}, &diagnostics));
    EXPECT_EQ(diagnostics, "Unknown log backend 'journal:x'\n");
}

TEST_F(LogBackends, InvalidSettingsAreRefusedWithOneLineAndKeepTheConfiguration)
{
    std::string kept = dir.file("kept.log");
    ASSERT_TRUE(setup({"file:" + kept + "=WARN"}));

    struct {
        std::string setting;
        std::string diagnostic;
    } cases[] = {
        {"file:/var/log/x=info", "Log backend 'file:/var/log/x=info' has invalid level 'info'.\n"},
        {"stderr", "Log backend 'stderr' must have a level and backend.\n"},
        {"stderr=", "Log backend 'stderr=' has invalid level ''.\n"},
        // Refused by log_init, after validation: the old configuration is gone.
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.setting);
        std::string diagnostics;
        EXPECT_FALSE(setup({"stderr=DEBUG", c.setting}, &diagnostics));
        EXPECT_EQ(diagnostics, c.diagnostic);
        ASSERT_NE(log_backends, nullptr);
        EXPECT_EQ(log_backends[0].params, kept);
        EXPECT_EQ(_min_log_level.load(), LOG_LEVEL_WARN);
    }
    EXPECT_FALSE(std::filesystem::exists("/var/log/x"));

    log_level_e level = LOG_LEVEL_CRIT;
    char setting[] = "syslog=DEBUG";
    EXPECT_TRUE(log_valid_setting(setting, &level));
    EXPECT_EQ(level, LOG_LEVEL_DEBUG);
    EXPECT_STREQ(setting, "syslog");  // cut at the '='
    char bad[] = "syslog=Debug";
    StderrCapture capture(dir);
    EXPECT_FALSE(log_valid_setting(bad, &level));
    capture.text();
    EXPECT_EQ(int(level), INT_MAX);
}

TEST_F(LogBackends, MisusedParametersAreRefusedWithoutAbort)
{
    std::string diagnostics;
    EXPECT_FALSE(setup({"stderr:/dev/null=INFO"}, &diagnostics));
    EXPECT_EQ(diagnostics, "Log backend 'stderr:/dev/null' takes no parameter.\n");
    EXPECT_FALSE(setup({"file=INFO"}, &diagnostics));
    EXPECT_EQ(diagnostics, "Log backend 'file' must have a file path.\n");
    EXPECT_FALSE(setup({"file:=INFO"}, &diagnostics));
    EXPECT_EQ(diagnostics, "Log backend 'file:' must have a file path.\n");
    EXPECT_FALSE(setup({"program=INFO"}, &diagnostics));
    EXPECT_EQ(diagnostics, "Program '' doesn't exist or is not executable\n");
    EXPECT_FALSE(setup({"program:" + dir.file("missing") + "=INFO"}, &diagnostics));
    EXPECT_EQ(diagnostics, "Program '" + dir.file("missing") + "' doesn't exist or is not executable\n");
}

TEST_F(LogBackends, TheLeastVerboseBackendSetsTheGate)
{
    std::string debug_log = dir.file("debug.log");
    std::string err_log = dir.file("err.log");
    ASSERT_TRUE(setup({"file:" + debug_log + "=DEBUG", "file:" + err_log + "=ERR"}));
    EXPECT_EQ(_min_log_level.load(), LOG_LEVEL_ERR);

    LOG_DEBUG("debug\n");
    LOG_INFO("info\n");
    LOG_WARN("warn\n");
    LOG_ERR("err\n");
    LOG_CRIT("crit\n");
    std::vector<std::string> debug_lines = split_lines(read_file(debug_log));
    std::vector<std::string> err_lines = split_lines(read_file(err_log));
    ASSERT_EQ(debug_lines.size(), 2u) << read_file(debug_log);
    EXPECT_NE(debug_lines[0].find(" ERR err"), std::string::npos);
    EXPECT_NE(debug_lines[1].find(" CRIT crit"), std::string::npos);
    EXPECT_EQ(err_lines, debug_lines);

    log_deinit();
    EXPECT_EQ(_min_log_level.load(), LOG_LEVEL_LAST);
    EXPECT_EQ(log_backends, nullptr);
}

TEST_F(LogBackends, FileContinuationDropsStampOriginAndLevelWord)
{
    std::string path = dir.file("cont.log");
    ASSERT_TRUE(setup({"file:" + path + "=DEBUG"}));
    int first = __LINE__ + 1;
    LOG_INFO("first %d, ", 1);
    LOG_ERR("second %s\n", "half");
    LOG_WARN("next line\n");
    std::string text = read_file(path);
    std::regex expected(origin_regex("log_backends_test.cpp", first) + "first 1, second half\n" +
                        origin_regex("log_backends_test.cpp", first + 2) + "WARN next line\n");
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST_F(LogBackends, ReopenFollowsRotation)
{
    std::string path = dir.file("rot.log");
    ASSERT_TRUE(setup({"file:" + path + "=INFO"}));
    LOG_INFO("before rotation\n");
    ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);
    LOG_INFO("still old file\n");
    EXPECT_TRUE(log_reopen());
    LOG_INFO("after reopen\n");

    std::string old_text = read_file(path + ".1");
    std::string new_text = read_file(path);
    EXPECT_NE(old_text.find("before rotation\n"), std::string::npos);
    EXPECT_NE(old_text.find("still old file\n"), std::string::npos);
    EXPECT_EQ(old_text.find("after reopen"), std::string::npos);
    EXPECT_EQ(split_lines(new_text).size(), 1u);
    EXPECT_NE(new_text.find(" after reopen\n"), std::string::npos);
}

TEST_F(LogBackends, RelativePathIsStoredAbsoluteAndReopenedThere)
{
    std::string name = std::filesystem::path(dir.file("rel.log")).filename().string();
    std::string relative = std::filesystem::relative(dir.file("rel.log")).string();
    ASSERT_TRUE(setup({"file:" + relative + "=INFO"}));
    EXPECT_EQ(std::string(log_backends[0].params), dir.file("rel.log"));

    std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    ASSERT_EQ(rename(name.c_str(), (name + ".1").c_str()), 0);
    bool reopened = log_reopen();
    std::filesystem::current_path(cwd);
    EXPECT_TRUE(reopened);
    LOG_INFO("landed\n");
    EXPECT_NE(read_file(dir.file("rel.log")).find(" landed\n"), std::string::npos);
}

TEST_F(LogBackends, UnopenableFileDropsMessagesUntilReopenSucceeds)
{
    std::string subdir = dir.file("later");
    std::string path = subdir + "/x.log";
    std::string diagnostics;
    ASSERT_TRUE(setup({"file:" + path + "=INFO"}, &diagnostics));
    EXPECT_EQ(diagnostics, "Couldn't open logfile '" + path + "'\n");
    LOG_INFO("dropped\n");

    {
        StderrCapture capture(dir);
        EXPECT_FALSE(log_reopen());
        EXPECT_EQ(capture.text(), "Couldn't open logfile '" + path + "'\n");
    }
    ASSERT_TRUE(std::filesystem::create_directory(subdir));
    EXPECT_TRUE(log_reopen());
    LOG_INFO("kept\n");
    std::string text = read_file(path);
    EXPECT_EQ(text.find("dropped"), std::string::npos);
    EXPECT_NE(text.find(" kept\n"), std::string::npos);
}

TEST_F(LogBackends, FailedReopenKeepsWritingToTheOpenFile)
{
    std::string subdir = dir.file("gone");
    ASSERT_TRUE(std::filesystem::create_directory(subdir));
    std::string path = subdir + "/x.log";
    ASSERT_TRUE(setup({"file:" + path + "=INFO"}));
    std::string moved = dir.file("moved.log");
    ASSERT_EQ(rename(path.c_str(), moved.c_str()), 0);
    ASSERT_TRUE(std::filesystem::remove(subdir));

    StderrCapture capture(dir);
    EXPECT_FALSE(log_reopen());
    LOG_INFO("not lost\n");
    capture.text();
    EXPECT_NE(read_file(moved).find(" not lost\n"), std::string::npos);
}

TEST_F(LogBackends, SetupFailingAfterValidationLeavesTheFallbackWithItsGate)
{
    ASSERT_TRUE(setup({"file:" + dir.file("a.log") + "=DEBUG"}));
    std::string diagnostics;
    // Valid levels, so the old configuration is dropped; the program is not
    // executable, so the new one fails.
    EXPECT_FALSE(setup({"file:" + dir.file("b.log") + "=ERR", "program:" + dir.file("none") + "=INFO"},
                       &diagnostics));
    EXPECT_NE(diagnostics.find("doesn't exist or is not executable"), std::string::npos);
    EXPECT_EQ(log_backends, nullptr);
    EXPECT_EQ(_min_log_level.load(), LOG_LEVEL_LAST);

    StderrCapture capture(dir);
    LOG_DEBUG("back on stderr\n");
    EXPECT_NE(capture.text().find(" back on stderr\n"), std::string::npos);
}

TEST_F(LogBackends, InitReplacesAnInstalledConfigurationAndEmptyKeepsFallback)
{
    std::string first = dir.file("first.log");
    std::string second = dir.file("second.log");
    const char *one[] = {nullptr};
    std::string setting_one = "file:" + first + "=INFO";
    one[0] = setting_one.c_str();
    ASSERT_TRUE(log_init(one, 1));
    std::string setting_two = "file:" + second + "=INFO";
    const char *two[] = {setting_two.c_str()};
    ASSERT_TRUE(log_init(two, 1));
    LOG_INFO("to second\n");
    EXPECT_EQ(read_file(first), "");
    EXPECT_NE(read_file(second).find(" to second\n"), std::string::npos);

    ASSERT_TRUE(log_init(nullptr, 0));
    EXPECT_NE(log_backends, nullptr);
    StderrCapture capture(dir);
    LOG_INFO("fallback\n");
    EXPECT_NE(capture.text().find(" fallback\n"), std::string::npos);
}

} // namespace
