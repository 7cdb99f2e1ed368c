// SPDX-License-Identifier: Apache-2.0
// The start-up mode decision at its real paths, inside the sandbox: first
// start within a boot, restart of the manager alone, the upgrade marker.

#include "vorn_mgr.h"

#include "../unit/log_test_util.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string slurp(const char *path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write(const char *path, const std::string &content)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// The startup file and any temporary copy of it left in /tmp.
int startup_copies()
{
    int found = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/tmp"))
        found += entry.path().filename().string().starts_with(".vornmgrd.startup.conf");
    return found;
}

struct StartupResult {
    Mode mode;
    bool restarted;
    std::string log;
};

StartupResult startup()
{
    // Captured output goes to the build tree, never to the /tmp under test.
    log_test::ScratchDir scratch;
    StartupResult r{UNKNOWN_MODE, false, {}};
    log_test::StderrCapture capture(scratch);
    r.mode = vornmgr_get_startup_mode(ALL_MODULES, &r.restarted);
    r.log = capture.text();
    return r;
}

class StartupMode : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(getenv("SANDBOX"), nullptr) << "runs only inside tools/sandbox";
        unlink(VORNMGR_STARTUP_FILE);
        unlink(VORNMGR_UPGRADE_MARKER);
        unlink(VORNMGR_CONF_FILE);
        l3_register_timeout = 180;
        l3_nl_info_timeout = 700;
    }
};

TEST_F(StartupMode, FirstStartCopiesTheConfigurationByteForByte)
{
    const std::string conf = "# hand written\nboot_mode=fast\n  # indented comment\n";
    write(VORNMGR_CONF_FILE, conf);

    auto r = startup();
    EXPECT_EQ(r.mode, REBOOT_FAST);
    EXPECT_FALSE(r.restarted);
    EXPECT_EQ(slurp(VORNMGR_STARTUP_FILE), conf);
    EXPECT_EQ(l3_register_timeout, 180);
    EXPECT_EQ(l3_nl_info_timeout, 700);
    EXPECT_NE(r.log.find("No config file /tmp/.vornmgrd.startup.conf (No such file or directory)\n"),
              std::string::npos)
        << r.log;
    EXPECT_NE(r.log.find("No or invalid active file\n"), std::string::npos);
    EXPECT_EQ(startup_copies(), 1) << "no temporary copy is left behind";
}

TEST_F(StartupMode, UpgradeMarkerIsConsumedAndNotCarriedIntoARestart)
{
    write(VORNMGR_CONF_FILE, "boot_mode=fast\nl3_up_max_time=30\n");
    write(VORNMGR_UPGRADE_MARKER, "");

    auto first = startup();
    EXPECT_EQ(first.mode, REBOOT_FAST | SYS_UPGRADE);
    EXPECT_FALSE(first.restarted);
    EXPECT_NE(access(VORNMGR_UPGRADE_MARKER, F_OK), 0);
    EXPECT_EQ(l3_register_timeout, 30);

    // The operator changes the file for the next boot; a manager restart
    // within this boot keeps the boot's mode, without the upgrade flag.
    write(VORNMGR_CONF_FILE, "boot_mode=warm\n");
    l3_register_timeout = 180;
    auto second = startup();
    EXPECT_EQ(second.mode, REBOOT_FAST);
    EXPECT_TRUE(second.restarted);
    EXPECT_EQ(l3_register_timeout, 30);
    EXPECT_NE(second.log.find("VornMgr restart, using startup config\n"), std::string::npos) << second.log;
}

TEST_F(StartupMode, NoFilesStartsColdWithoutAStartupFile)
{
    auto r = startup();
    EXPECT_EQ(r.mode, REBOOT_COLD);
    EXPECT_FALSE(r.restarted);
    EXPECT_NE(r.log.find("ERR Invalid configuration file\n"), std::string::npos) << r.log;
    EXPECT_NE(r.log.find("ERR Unknown mode. Starting default (cold) mode\n"), std::string::npos) << r.log;
    EXPECT_NE(access(VORNMGR_STARTUP_FILE, F_OK), 0);
}

TEST_F(StartupMode, BogusLaterBootModeFallsBackToCold)
{
    write(VORNMGR_CONF_FILE, "boot_mode=cold\nboot_mode=bogus\n");
    write(VORNMGR_UPGRADE_MARKER, "");
    auto r = startup();
    EXPECT_EQ(r.mode, REBOOT_COLD);
    EXPECT_NE(access(VORNMGR_STARTUP_FILE, F_OK), 0);
    // The marker waits for a start that actually reads a boot mode.
    EXPECT_EQ(access(VORNMGR_UPGRADE_MARKER, F_OK), 0);
}

TEST_F(StartupMode, FailedCopyLeavesNoTruncatedStartupFile)
{
    // Root ignores permission bits; a read-only /tmp is what stops the copy.
    write(VORNMGR_CONF_FILE, "boot_mode=warm\n");
    ASSERT_EQ(system("mount -o remount,ro /tmp"), 0);
    auto r = startup();
    ASSERT_EQ(system("mount -o remount,rw /tmp"), 0);
    EXPECT_EQ(r.mode, REBOOT_WARM);
    EXPECT_NE(r.log.find("ERR failed to copy /etc/norvane/vornmgrd.conf to /tmp/.vornmgrd.startup.conf"),
              std::string::npos)
        << r.log;
    EXPECT_EQ(startup_copies(), 0);
}

} // namespace
