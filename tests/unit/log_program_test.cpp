// SPDX-License-Identifier: Apache-2.0
// The program backend: each message runs the program once with the message as
// its one argument; a failing program disables the backend for good.
#include "log.h"
#include "log_test_util.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

using log_test::origin_regex;
using log_test::read_file;
using log_test::ScratchDir;
using log_test::split_lines;
using log_test::StderrCapture;
using log_test::write_script;

namespace {

class LogProgram : public ::testing::Test {
protected:
    void TearDown() override { log_deinit(); }

    bool setup(const std::string &setting)
    {
        const char *settings[] = {setting.c_str()};
        return log_setup(settings, 1);
    }

    // A program that records its argument count and argument, one run per
    // line ("<count>|<argument>" with the argument's newline kept), and exits
    // with the given status.
    std::string recorder(int status)
    {
        std::string path = dir.file("recorder" + std::to_string(status) + ".sh");
        write_script(path, "printf '%s|%s' \"$#\" \"$1\" >> '" + calls() + "'\nexit " + std::to_string(status) +
                               "\n");
        return path;
    }
    std::string calls() const { return dir.file("calls"); }

    ScratchDir dir;
};

TEST_F(LogProgram, EachMessageRunsTheProgramWithTheTextAsItsOneArgument)
{
    ASSERT_TRUE(setup("program:" + recorder(0) + "=INFO"));
    int first = __LINE__ + 1;
    LOG_INFO("hello %d\n", 5);
    LOG_DEBUG("not for this backend\n");
    LOG_INFO("open ");
    LOG_ERR("closed\n");

    std::regex expected("1\\|" + origin_regex("log_program_test.cpp", first) + "hello 5\n" + "1\\|" +
                        origin_regex("log_program_test.cpp", first + 2) + "open " + "1\\|closed\n");
    std::string text = read_file(calls());
    EXPECT_TRUE(std::regex_match(text, expected)) << text;
}

TEST_F(LogProgram, AFailingProgramRunsOnceAndNeverAgain)
{
    std::string program = recorder(1);
    // The disabled state lasts for the process: keep it out of this one.
    EXPECT_EXIT(
        {
            setup("program:" + program + "=INFO");
            LOG_INFO("first\n");
            LOG_INFO("second\n");
            LOG_ERR("third\n");
            log_deinit();
            setup("program:" + program + "=INFO");
            LOG_INFO("after a new setup\n");
            exit(0);
        },
        ::testing::ExitedWithCode(0), "^Logging program '" + program + "' returned failure\n$");
    std::vector<std::string> runs = split_lines(read_file(calls()));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_NE(runs[0].find(" first"), std::string::npos);
}

TEST_F(LogProgram, AProgramThatCannotRunCountsAsAFailure)
{
    std::string program = dir.file("vanishing.sh");
    write_script(program, "exit 0\n");
    EXPECT_EXIT(
        {
            setup("program:" + program + "=INFO");
            std::filesystem::remove(program);
            LOG_INFO("lost\n");
            write_script(program, "exit 0\n");
            LOG_INFO("not run\n");
            exit(0);
        },
        ::testing::ExitedWithCode(0),
        "^Failed to exec logging program: No such file or directory\n"
        "Logging program '" +
            program + "' returned failure\n$");
}

TEST_F(LogProgram, ConcurrentLoggersEachRunTheProgram)
{
    constexpr int threads = 3;
    constexpr int per_thread = 5;
    ASSERT_TRUE(setup("program:" + recorder(0) + "=INFO"));
    std::vector<std::thread> loggers;
    for (int t = 0; t < threads; t++) {
        loggers.emplace_back([t] {
            for (int i = 0; i < per_thread; i++)
                LOG_INFO("thread %d run %d\n", t, i);
        });
    }
    for (auto &logger : loggers)
        logger.join();
    EXPECT_EQ(split_lines(read_file(calls())).size(), size_t(threads * per_thread));
}

} // namespace
