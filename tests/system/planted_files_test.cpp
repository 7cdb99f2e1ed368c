// SPDX-License-Identifier: Apache-2.0
// Files another local user plants where the manager and vornmgrctl keep their
// state (/tmp, /var/tmp), and a configuration file that is a symbolic link:
// what the real programs make of them in the sandbox.

#include "vorn_test_support.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <string>

using namespace vorn_test;

namespace {

const std::string CONFIG_FILE = "/etc/norvane/vornmgrd.conf";
const std::string STARTUP_FILE = "/tmp/.vornmgrd.startup.conf";
const std::string UPGRADE_MARKER = "/var/tmp/.upgrade";
const std::string PORTS_MARKER = "/tmp/.ports_in_maint";
const std::string PORTS_LINE = " Ports shutdown for Maintenance\n";

constexpr std::int32_t MODULE_REGISTER = 7, SYSTEM_SERVICES = 9, ACK = 107;

struct CtlRun {
    ExitStatus status;
    std::string out;
    std::string err;
};

CtlRun run_ctl(const std::string &option, std::optional<std::string> input = std::nullopt)
{
    Process process({bin_path("vornmgrctl"), option}, {.stdin_text = std::move(input)});
    const auto status = process.wait_exit(60s);
    return {status.value_or(ExitStatus{}), process.stdout_text(), process.stderr_text()};
}

// A file as another user would leave it: theirs, and theirs to change.
void plant(const std::string &path, const std::string &text)
{
    write_file(path, text);
    const passwd *nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(chown(path.c_str(), nobody->pw_uid, nobody->pw_gid), 0) << path;
}

// A file the rule accepts: a regular file owned by root, mode 0644.
void expect_root_file(const std::string &path, const std::string &content)
{
    struct stat st {};
    ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
    EXPECT_TRUE(S_ISREG(st.st_mode)) << path;
    EXPECT_EQ(st.st_uid, 0u) << path;
    EXPECT_EQ(st.st_mode & 07777, 0644u) << path;
    EXPECT_EQ(read_file(path), content) << path;
}

// The manager, started and ready; its log is its standard error.
class Manager {
public:
    Manager() : process_({bin_path("vornmgrd")}, {.env = {notify_.env()}})
    {
        if (!notify_.wait_for("READY=1"))
            ADD_FAILURE() << "vornmgrd not ready:\n" << process_.stderr_text();
    }
    std::string log() const { return process_.stderr_text(); }
    // Its standard error may arrive after READY=1: wait for the line.
    bool logged(std::string_view line) { return process_.wait_for_stderr(line); }

private:
    NotifySocket notify_;
    Process process_;
};

class PlantedFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(getenv("SANDBOX"), nullptr) << "runs only inside tools/sandbox";
        mkdir("/etc/norvane", 0755);
    }
};

} // namespace

TEST_F(PlantedFiles, StartupFileOfAnotherUserMeansAFirstStart)
{
    const std::string conf = "vornmgrctl_override=true\nboot_mode=cold\n";
    write_file(CONFIG_FILE, conf);
    plant(STARTUP_FILE, "boot_mode=warm\n");

    Manager manager;
    EXPECT_TRUE(manager.logged("ERR untrusted file /tmp/.vornmgrd.startup.conf ignored (not owned by root)\n"))
        << manager.log();
    EXPECT_TRUE(manager.logged("Vorn manager starting in cold mode\n")) << manager.log();
    EXPECT_EQ(manager.log().find("VornMgr restart"), std::string::npos) << manager.log();
    expect_root_file(STARTUP_FILE, conf);
}

TEST_F(PlantedFiles, LinksAreReplacedNotFollowed)
{
    const std::string conf = "boot_mode=fast\n";
    write_file(CONFIG_FILE, conf);
    write_file("/var/tmp/precious", "keep me\n");
    ASSERT_EQ(symlink("/var/tmp/precious", STARTUP_FILE.c_str()), 0);

    // The tool before the manager ran: the link counts as no startup file.
    const CtlRun tool = run_ctl("-c", "n\n");
    EXPECT_NE(tool.err.find("untrusted file /tmp/.vornmgrd.startup.conf ignored (a symbolic link)\n"),
              std::string::npos)
        << tool.err;
    EXPECT_NE(tool.err.find(" Assuming start up mode is cold\n"), std::string::npos) << tool.err;

    Manager manager;
    EXPECT_TRUE(manager.logged("ERR untrusted file /tmp/.vornmgrd.startup.conf ignored (a symbolic link)\n"))
        << manager.log();
    EXPECT_TRUE(manager.logged("Vorn manager starting in fast mode\n")) << manager.log();
    EXPECT_EQ(read_file("/var/tmp/precious"), "keep me\n");
    expect_root_file(STARTUP_FILE, conf);

    ASSERT_EQ(symlink("/etc/norvane/hijacked", PORTS_MARKER.c_str()), 0);
    const CtlRun down = run_ctl("-p0");
    EXPECT_EQ(down.status, exited_with(0));
    EXPECT_EQ(down.err, "untrusted file /tmp/.ports_in_maint replaced (a symbolic link)\n");
    EXPECT_FALSE(file_exists("/etc/norvane/hijacked"));
    expect_root_file(PORTS_MARKER, "");
}

TEST_F(PlantedFiles, MarkersOfAnotherUserAreIgnored)
{
    write_file(CONFIG_FILE, "vornmgrctl_override=true\nboot_mode=fast\n");
    plant(UPGRADE_MARKER, "");
    plant(PORTS_MARKER, "");

    Manager manager;
    EXPECT_TRUE(manager.logged("ERR untrusted file /var/tmp/.upgrade ignored (not owned by root)\n"))
        << manager.log();
    EXPECT_TRUE(manager.logged("Vorn manager starting in fast mode\n")) << "no upgrade flag:\n" << manager.log();
    EXPECT_TRUE(file_exists(UPGRADE_MARKER)) << "an ignored marker is not consumed";

    FakeModule module;
    const auto registered = module.request_retrying(pkg(msg(MODULE_REGISTER, {SYSTEM_SERVICES})));
    ASSERT_TRUE(registered && fields_of(*registered) == std::vector<std::int32_t>{ACK});
    const CtlRun show = run_ctl("-s");
    EXPECT_EQ(show.status, exited_with(0));
    EXPECT_NE(show.out.find(" System Services"), std::string::npos) << show.out;
    EXPECT_EQ(show.out.find(PORTS_LINE), std::string::npos) << show.out;
    EXPECT_TRUE(manager.logged("ERR untrusted file /tmp/.ports_in_maint ignored (not owned by root)\n"))
        << manager.log();

    const CtlRun prompt = run_ctl("-c", "n\n");
    EXPECT_EQ(prompt.out.find("(upgraded)"), std::string::npos) << prompt.out;
    EXPECT_NE(prompt.err.find("untrusted file /var/tmp/.upgrade ignored (not owned by root)\n"), std::string::npos)
        << prompt.err;

    // The tool's own marker replaces the planted one and is believed.
    const CtlRun down = run_ctl("-p0");
    EXPECT_EQ(down.status, exited_with(0));
    EXPECT_EQ(down.err, "untrusted file /tmp/.ports_in_maint replaced (not owned by root)\n");
    expect_root_file(PORTS_MARKER, "");
    EXPECT_NE(run_ctl("-s").out.find(PORTS_LINE), std::string::npos);
}

TEST_F(PlantedFiles, SymlinkedConfigurationKeepsItsLink)
{
    mkdir("/etc/norvane/managed", 0755);
    const std::string target = "/etc/norvane/managed/vornmgrd.conf";
    write_file(target, "vornmgrctl_override=true\nboot_mode=cold\n");
    ASSERT_EQ(symlink("managed/vornmgrd.conf", CONFIG_FILE.c_str()), 0);

    // No manager runs: the new mode is written before the tool connects.
    const CtlRun run = run_ctl("-w", "y\n");
    EXPECT_EQ(run.status, exited_with(255));
    EXPECT_NE(run.out.find(" Updating system boot mode to warm\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.err.find("failed to save"), std::string::npos) << run.err;

    char link_text[PATH_MAX] = {};
    ASSERT_GT(readlink(CONFIG_FILE.c_str(), link_text, sizeof link_text - 1), 0) << "still a link";
    EXPECT_STREQ(link_text, "managed/vornmgrd.conf");
    EXPECT_EQ(read_file(target), "# vornmgrctl managed configuration\nvornmgrctl_override=true\nboot_mode=warm\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator("/etc/norvane/managed"), {}), 1)
        << "no temporary file left beside the target";
}
