// SPDX-License-Identifier: Apache-2.0
// The configuration reader: what the manager makes of the file the operator
// tool writes, and of files edited by hand.

#include "vorn_mgr.h"

#include "log_test_util.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {

struct ConfigResult {
    bool valid;
    Mode mode;
    bool override;
    int l3_up_max_time;
    int issu_complete_max_time;
    std::string log;
};

class ConfigReader : public ::testing::Test {
protected:
    std::filesystem::path dir = log_test::unique_dir("vorn_mgr_startup_mode_test");
    std::string path = (dir / "vornmgrd.conf").string();

    log_test::ScratchDir scratch;

    void SetUp() override { std::filesystem::create_directories(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }

    ConfigResult read(const std::string &content)
    {
        std::ofstream(path, std::ios::binary) << content;
        ConfigResult r{false, static_cast<Mode>(0x7777), true, 180, 700, {}};
        log_test::StderrCapture capture(scratch);
        r.valid = vornmgr_get_config_startup_mode(ALL_MODULES, path.c_str(), &r.mode, &r.override,
                                                  &r.l3_up_max_time, &r.issu_complete_max_time);
        r.log = capture.text();
        return r;
    }
};

TEST_F(ConfigReader, FileWrittenByTheToolIsReadSilently)
{
    auto r = read("# vornmgrctl managed configuration\n"
                  "vornmgrctl_override=true\n"
                  "boot_mode=fast\n"
                  "l3_up_max_time=30\n"
                  "issu_complete_max_time=400\n");
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.mode, REBOOT_FAST);
    EXPECT_TRUE(r.override);
    EXPECT_EQ(r.l3_up_max_time, 30);
    EXPECT_EQ(r.issu_complete_max_time, 400);
    EXPECT_EQ(r.log, "");
}

TEST_F(ConfigReader, LeadingBlanksAndTrailingCommentAreSkipped)
{
    auto r = read("  boot_mode=warm # chosen for the upgrade\n\t\n\n");
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.mode, REBOOT_WARM);
    EXPECT_EQ(r.log, "");
}

TEST_F(ConfigReader, BlanksAroundTheSeparatorMakeAnUnknownBootMode)
{
    auto r = read("boot_mode = warm\n");
    EXPECT_FALSE(r.valid);
    EXPECT_EQ(r.mode, UNKNOWN_MODE);
    EXPECT_NE(r.log.find("ERR unknown boot mode (boot_mode = warm)\n"), std::string::npos) << r.log;
}

TEST_F(ConfigReader, ValueIsComparedOverTheExpectedWordOnly)
{
    auto r = read("boot_mode:warmer\n");
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.mode, REBOOT_WARM);
}

TEST_F(ConfigReader, LaterBogusBootModeInvalidatesTheFile)
{
    auto r = read("boot_mode=cold\nboot_mode=tepid\n");
    EXPECT_FALSE(r.valid);
    EXPECT_EQ(r.mode, UNKNOWN_MODE);
    EXPECT_NE(r.log.find("ERR unknown boot mode (boot_mode=tepid)\n"), std::string::npos) << r.log;
}

TEST_F(ConfigReader, LaterLineOverrides)
{
    auto r = read("boot_mode=tepid\nboot_mode=cold\nvornmgrctl_override=true\nvornmgrctl_override=false\n");
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.mode, REBOOT_COLD);
    EXPECT_FALSE(r.override);
}

TEST_F(ConfigReader, LimitsThatAreNotPositiveAreRefused)
{
    auto r = read("l3_up_max_time=0\nissu_complete_max_time=abc\n");
    EXPECT_EQ(r.l3_up_max_time, 180);
    EXPECT_EQ(r.issu_complete_max_time, 700);
    EXPECT_NE(r.log.find("ERR invalid l3_up_max_time value l3_up_max_time=0\n"), std::string::npos) << r.log;
    EXPECT_NE(r.log.find("ERR invalid issu_complete_max_time value issu_complete_max_time=abc\n"),
              std::string::npos)
        << r.log;

    // A negative limit would make the monitor act at its first expiry.
    r = read("l3_up_max_time=-5\nissu_complete_max_time=-1\n");
    EXPECT_EQ(r.l3_up_max_time, 180);
    EXPECT_EQ(r.issu_complete_max_time, 700);
    EXPECT_NE(r.log.find("ERR invalid l3_up_max_time value l3_up_max_time=-5\n"), std::string::npos) << r.log;
    EXPECT_NE(r.log.find("ERR invalid issu_complete_max_time value issu_complete_max_time=-1\n"),
              std::string::npos)
        << r.log;

    r = read("l3_up_max_time=5\nissu_complete_max_time=  42s\n");
    EXPECT_EQ(r.l3_up_max_time, 5);
    EXPECT_EQ(r.issu_complete_max_time, 42);
    EXPECT_EQ(r.log, "");
}

TEST_F(ConfigReader, BadOverrideIsReportedAndFalse)
{
    auto r = read("vornmgrctl_override=maybe\n");
    EXPECT_FALSE(r.override);
    EXPECT_NE(r.log.find("ERR unknown override (vornmgrctl_override=maybe) - please validate the config\n"),
              std::string::npos)
        << r.log;
}

TEST_F(ConfigReader, UnknownLinesAreReportedOncePerLine)
{
    auto r = read("colour=blue\nboot_mode=fast\nspeed=11\n");
    EXPECT_TRUE(r.valid);
    const std::string prefix = "Unknown parameter in configuration file " + path + ": ";
    EXPECT_NE(r.log.find(prefix + "colour=blue\n"), std::string::npos) << r.log;
    EXPECT_NE(r.log.find(prefix + "speed=11\n"), std::string::npos) << r.log;
    EXPECT_EQ(r.log.find(prefix, r.log.find(prefix + "speed=11") + 1), std::string::npos) << r.log;
    EXPECT_EQ(r.log.find("\n\n"), std::string::npos) << "no message leaves an empty line:\n" << r.log;
}

TEST_F(ConfigReader, LongLineIsReadSafelyInPieces)
{
    // 300 characters: the first 255 are one piece, the rest another; neither
    // is an entry, and nothing is read past the buffer.
    auto r = read(std::string(300, 'x') + "\nboot_mode=warm\n");
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.mode, REBOOT_WARM);
    EXPECT_NE(r.log.find(std::string(255, 'x')), std::string::npos);
}

TEST_F(ConfigReader, KeyWithoutSeparatorAtEndOfFileHasAnEmptyValue)
{
    auto r = read("boot_mode");
    EXPECT_FALSE(r.valid);
    EXPECT_EQ(r.mode, UNKNOWN_MODE);
}

TEST_F(ConfigReader, MissingFileIsReported)
{
    Mode mode = REBOOT_WARM;
    bool override = true;
    int l3 = 1, issu = 2;
    const std::string missing = (dir / "absent.conf").string();
    log_test::StderrCapture capture(scratch);
    EXPECT_FALSE(vornmgr_get_config_startup_mode(ALL_MODULES, missing.c_str(), &mode, &override, &l3, &issu));
    const std::string log = capture.text();
    EXPECT_EQ(mode, UNKNOWN_MODE);
    EXPECT_FALSE(override);
    EXPECT_NE(log.find("No config file " + missing + " (No such file or directory)\n"), std::string::npos) << log;
}

} // namespace
