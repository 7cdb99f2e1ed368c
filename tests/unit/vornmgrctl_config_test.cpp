// SPDX-License-Identifier: Apache-2.0
// The operator tool's view of the boot-mode files: what it makes of a file
// edited by hand, and the file it writes in place of the old one.

#include "vorn_mgr_cli_client.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;

// Files live in the build tree, never in the machine's /tmp or /etc; one
// directory per case, since ctest runs cases in parallel.
class ConfigFile : public ::testing::Test {
protected:
    fs::path dir = fs::current_path() /
                   ("vornmgrctl_config_test." + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::string path = (dir / "vornmgrd.conf").string();

    void SetUp() override
    {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    void write(const std::string &text) { std::ofstream(path, std::ios::binary) << text; }
    std::string content() const
    {
        std::ostringstream text;
        text << std::ifstream(path, std::ios::binary).rdbuf();
        return text.str();
    }
    int entries() const { return static_cast<int>(std::distance(fs::directory_iterator(dir), {})); }
};

struct Read {
    bool valid;
    Mode mode;
    bool override;
    int l3;
    int issu;
    std::string messages;
};

class ConfigReader : public ConfigFile {
protected:
    // Starts from values the reader must reset (mode, override) or keep
    // (the time limits, which are in/out). The messages are the tool's words
    // for what the reader reported, collected instead of printed.
    Read read(const std::string &text)
    {
        write(text);
        Read r{false, static_cast<Mode>(0x7777), true, 180, 700, {}};
        const vorn_config_reporter_t collect = {
            [](void *messages, vorn_config_diagnostic_t what, const char *file, const char *quoted) {
                static_cast<std::string *>(messages)->append(vornmgr_config_message(what, file, quoted));
            },
            &r.messages};
        r.valid = vorn_config_read_file(path.c_str(), {&r.mode, &r.override, &r.l3, &r.issu}, collect);
        return r;
    }
};

using Diagnostic = std::tuple<vorn_config_diagnostic_t, std::string, std::string>;

void record_diagnostic(void *heard, vorn_config_diagnostic_t what, const char *file, const char *quoted)
{
    static_cast<std::vector<Diagnostic> *>(heard)->emplace_back(what, file, quoted);
}

// Each program words these itself (the manager logs all of them, the tool
// prints some): what each is given must be the same whoever listens.
TEST_F(ConfigReader, ReporterHearsEachDiagnosticInFileOrder)
{
    write("vornmgrctl_override=maybe # ask\n"
          "  boot_mode=tepid\n"
          "\tl3_up_max_time=0 # off\n"
          "issu_complete_max_time=-1\n"
          " colour=blue\n"
          "reboot_grace_time=0\n"
          "bring_up_max_time=45\n"
          "boot_mode=warm\n");
    std::vector<Diagnostic> heard;
    Mode mode = UNKNOWN_MODE;
    bool override = true;
    int l3 = 180;
    int issu = 700;
    int grace = 300;
    int bring_up = 120;
    EXPECT_TRUE(vorn_config_read_file(path.c_str(), {&mode, &override, &l3, &issu, &grace, &bring_up},
                                      {record_diagnostic, &heard}));
    EXPECT_EQ(mode, REBOOT_WARM);
    EXPECT_FALSE(override);
    EXPECT_EQ(grace, 300);
    EXPECT_EQ(bring_up, 45);
    EXPECT_EQ(heard, (std::vector<Diagnostic>{
                         {CONFIG_UNKNOWN_OVERRIDE, path, "vornmgrctl_override=maybe "},
                         {CONFIG_UNKNOWN_BOOT_MODE, path, "boot_mode=tepid"},
                         {CONFIG_INVALID_L3_UP_MAX_TIME, path, "\tl3_up_max_time=0 "},
                         {CONFIG_INVALID_ISSU_COMPLETE_MAX_TIME, path, "issu_complete_max_time=-1"},
                         {CONFIG_UNKNOWN_PARAMETER, path, " colour=blue"},
                         {CONFIG_INVALID_REBOOT_GRACE_TIME, path, "reboot_grace_time=0"},
                     }));

    heard.clear();
    fs::remove(path);
    EXPECT_FALSE(vorn_config_read_file(path.c_str(), {&mode, &override, &l3, &issu}, {record_diagnostic, &heard}));
    EXPECT_EQ(heard, (std::vector<Diagnostic>{{CONFIG_NO_FILE, path, "No such file or directory"}}));
    EXPECT_EQ(vornmgr_config_message(CONFIG_NO_FILE, path.c_str(), "No such file or directory"),
              "No config file " + path + " (No such file or directory)\n");
}

TEST_F(ConfigReader, HandEditedLayout)
{
    auto r = read("\n   \t\n  # a comment\n \t boot_mode=warmer # trailing comment\nsome_other_key=1\n");
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.mode, REBOOT_WARM);
    EXPECT_FALSE(r.override) << "an absent override key means no override";
    EXPECT_EQ(r.messages, "");

    r = read("boot_mode=cold\nboot_mode = warm\n");
    EXPECT_FALSE(r.valid) << "the last boot_mode line decides";
    EXPECT_EQ(r.mode, UNKNOWN_MODE);
    EXPECT_EQ(r.messages, "unknown boot mode (boot_mode = warm)\n");

    r = read("boot_mode=lukewarm\nboot_mode=fast\n");
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.mode, REBOOT_FAST);
}

TEST_F(ConfigReader, OverrideAndTimeLimits)
{
    EXPECT_TRUE(read("vornmgrctl_override=true\n").override);
    EXPECT_FALSE(read("vornmgrctl_override=true\nvornmgrctl_override=false\n").override);
    auto r = read("vornmgrctl_override=true\nvornmgrctl_override=yes # maybe\n");
    EXPECT_FALSE(r.override);
    EXPECT_EQ(r.messages, "unknown override (vornmgrctl_override=yes ) - please validate the config\n");

    r = read("l3_up_max_time=0\nissu_complete_max_time=abc\n");
    EXPECT_EQ(r.l3, 180) << "0 keeps the value from before";
    EXPECT_EQ(r.issu, 700);
    EXPECT_EQ(r.messages, "");
    r = read("l3_up_max_time=-5\nissu_complete_max_time=25s\n");
    EXPECT_EQ(r.l3, 180) << "a negative limit keeps the value from before, as the manager does";
    EXPECT_EQ(r.issu, 25);
    // A number no int can hold is not silently cut down to another one.
    EXPECT_EQ(read("l3_up_max_time=99999999999\n").l3, 180);
}

TEST_F(ConfigReader, LongLinesAreReadInPiecesOf255)
{
    auto r = read(std::string(255, 'x') + "boot_mode=cold\n#" + std::string(2000, 'y') + "\n");
    EXPECT_TRUE(r.valid);
    EXPECT_EQ(r.mode, REBOOT_COLD);

    r = read("boot_mode=" + std::string(600, 'z') + "\nboot_mode=warm\n");
    EXPECT_EQ(r.mode, REBOOT_WARM);
    EXPECT_EQ(r.messages, "unknown boot mode (boot_mode=" + std::string(245, 'z') + ")\n");
}

TEST_F(ConfigReader, KeyAtTheEndOfTheLineHasAnEmptyValue)
{
    // The longer line before leaves digits in the line buffer just past where
    // the bare key ends; they must not be taken as its value.
    EXPECT_EQ(read("#3_up_max_time=4242\nl3_up_max_time").l3, 180);
    auto r = read("boot_mode");
    EXPECT_FALSE(r.valid);
    EXPECT_EQ(r.messages, "unknown boot mode (boot_mode)\n");
}

// Who may command the modules: a value is taken whole or not at all, so a
// typing error neither opens the port nor locks a module out by a guess.
TEST_F(ConfigReader, ModuleUsersAreTakenOnlyWhenEveryEntryIsAName)
{
    const auto users = [&](const std::string &text, std::vector<Diagnostic> *heard = nullptr) {
        write(text);
        Mode mode = UNKNOWN_MODE;
        bool override = false;
        int l3 = 180;
        int issu = 700;
        char value[VORN_CONFIG_MODULE_USERS_LEN] = "before";
        std::vector<Diagnostic> ignored;
        vorn_config_read_file(path.c_str(), {&mode, &override, &l3, &issu, nullptr, nullptr, value},
                              {record_diagnostic, heard != nullptr ? heard : &ignored});
        return std::string(value);
    };
    EXPECT_EQ(users("module_users= frr, @routing ,svc$ \t# the routing suite\n"), "frr, @routing ,svc$");
    EXPECT_EQ(users("module_users=any\n"), "any");
    EXPECT_EQ(users("module_users=\n"), "") << "an empty list: root and the group alone";
    EXPECT_EQ(users("module_users=frr\nmodule_users=frr,,bgp\n"), "frr") << "a bad line keeps the value before";
    for (const std::string &bad : {std::string("frr,"), std::string("@"), std::string("fr r"), std::string("-x"),
                                   std::string("any,"), std::string(33, 'u')})
        EXPECT_EQ(users("module_users=" + bad + "\n"), "before") << bad;

    std::vector<Diagnostic> heard;
    users("module_users=@wheel;frr # typo\n", &heard);
    EXPECT_EQ(heard, (std::vector<Diagnostic>{{CONFIG_INVALID_MODULE_USERS, path, "module_users=@wheel;frr "}}));

    const char *at = "frr, @routing";
    char name[VORN_CONFIG_USER_NAME_LEN];
    bool group = true;
    EXPECT_EQ(vorn_config_next_module_user(&at, name, &group), CONFIG_USER_ENTRY);
    EXPECT_EQ(std::string(name) + (group ? " group" : " user"), "frr user");
    EXPECT_EQ(vorn_config_next_module_user(&at, name, &group), CONFIG_USER_ENTRY);
    EXPECT_EQ(std::string(name) + (group ? " group" : " user"), "routing group");
    EXPECT_EQ(vorn_config_next_module_user(&at, name, &group), CONFIG_USER_END);
}

using ConfigWriter = ConfigFile;

TEST_F(ConfigWriter, WritesOnlyTheManagedEntriesAndReadsBack)
{
    write("boot_mode=cold\nsome_other_key=1\n");
    ASSERT_TRUE(vornmgr_write_config_file(path.c_str(), REBOOT_FAST, 180, 300));
    EXPECT_EQ(content(), "# vornmgrctl managed configuration\nvornmgrctl_override=true\nboot_mode=fast\n"
                         "issu_complete_max_time=300\n");
    // The manager's own limits, read from the file, are kept.
    cfg_reboot_grace_time = 30;
    ASSERT_TRUE(vornmgr_write_config_file(path.c_str(), REBOOT_FAST, 180, 300));
    cfg_reboot_grace_time = VORNMGR_DEFAULT_REBOOT_GRACE_TIME;
    EXPECT_EQ(content(), "# vornmgrctl managed configuration\nvornmgrctl_override=true\nboot_mode=fast\n"
                         "issu_complete_max_time=300\nreboot_grace_time=30\n");
    EXPECT_EQ(entries(), 1) << "no temporary file is left behind";

    Mode mode = UNKNOWN_MODE;
    bool override = false;
    int l3 = 1;
    int issu = 2;
    EXPECT_TRUE(vornmgr_get_config_startup_mode(ALL_MODULES, path.c_str(), &mode, &override, &l3, &issu));
    EXPECT_EQ(mode, REBOOT_FAST);
    EXPECT_TRUE(override);
    EXPECT_EQ(l3, 1);
    EXPECT_EQ(issu, 300);
}

TEST_F(ConfigWriter, KeepsWhoMayCommandTheModules)
{
    write("boot_mode=cold\nmodule_users= frr, @routing # the routing suite\n");
    Mode mode = UNKNOWN_MODE;
    bool override = false;
    int l3 = 180;
    int issu = 700;
    ASSERT_TRUE(vornmgr_get_config_startup_mode(ALL_MODULES, path.c_str(), &mode, &override, &l3, &issu));
    const bool written = vornmgr_write_config_file(path.c_str(), REBOOT_WARM, l3, issu);
    cfg_module_users[0] = '\0';
    ASSERT_TRUE(written);
    EXPECT_EQ(content(), "# vornmgrctl managed configuration\nvornmgrctl_override=true\nboot_mode=warm\n"
                         "module_users=frr, @routing\n");
}

TEST_F(ConfigWriter, KeepsThePermissionsOfTheOldFile)
{
    write("boot_mode=cold\n");
    fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_TRUE(vornmgr_write_config_file(path.c_str(), REBOOT_WARM, 180, 700));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    // A new file gets the usual permissions, not a temporary file's private ones.
    fs::remove(path);
    const mode_t old_mask = umask(022);
    const bool written = vornmgr_write_config_file(path.c_str(), REBOOT_WARM, 180, 700);
    umask(old_mask);
    ASSERT_TRUE(written);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(ConfigWriter, FailedWriteLeavesTheOldFileIntact)
{
    const std::string old = "# hand-written\nvornmgrctl_override=true\nboot_mode=cold\nl3_up_max_time=60\n";
    write(old);

    // A file-size limit makes the write fail part-way, as a full disk would.
    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    struct rlimit small = saved;
    small.rlim_cur = 16;
    const auto old_handler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    errno = 0;
    const bool written = vornmgr_write_config_file(path.c_str(), REBOOT_WARM, 180, 700);
    const int error = errno;
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);

    EXPECT_FALSE(written);
    EXPECT_EQ(error, EFBIG);
    EXPECT_EQ(content(), old);
    EXPECT_EQ(entries(), 1) << "the temporary file is removed";
}

} // namespace
