// vornmgrctl on its own, in the sandbox: the command line, the override rule,
// and the actions the tool does without the manager (ports, upgrade without
// changes, dry run). No manager listens here, so a tool that tried to contact
// one would say "error connecting to vornmgrd".

#include "vorn_test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

using namespace vorn_test;

namespace {

const std::string CONFIG_FILE = "/etc/norvane/vornmgrd.conf";
const std::string PORTS_MARKER = "/tmp/.ports_in_maint";
const std::string UPGRADE_MARKER = "/var/tmp/.upgrade";
const std::string HISTORY_FILE = "/var/log/apt/history.log";

struct CtlRun {
    ExitStatus status;
    std::string out;
    std::string err;
};

CtlRun run_ctl(const std::vector<std::string> &args, std::optional<std::string> input = std::nullopt)
{
    std::vector<std::string> argv{bin_path("vornmgrctl")};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessOptions options;
    options.stdin_text = std::move(input);
    Process process(argv, options);
    auto status = process.wait_exit(30s);
    return {status.value_or(ExitStatus{}), process.stdout_text(), process.stderr_text()};
}

std::string usage_text()
{
    return "Usage: " + bin_path("vornmgrctl") + " -{action}[option]\n"
           "  -w{f}      Warmboot\n"
           "  -f{f}      Fastboot\n"
           "  -c{f}      Coldboot\n"
           "  -r{f}      Configured Boot mode (only)\n"
           "  -m<0|1>    Maintenance mode disable or enable\n"
           "  -p<0|1>    disable or enable all configured ports\n"
           "  -u         upgrade\n"
           "  -d         upgrade dry-run\n"
           "  -s         Show status\n"
           "  -h         Show usage\n";
}

void write_config(const std::string &text)
{
    mkdir("/etc/norvane", 0755);
    write_file(CONFIG_FILE, text);
}

const std::vector<std::string> UPGRADE_CALLS = {
    "sudo apt-get update",
    "apt-get update",
    "sudo DEBIAN_FRONTEND=noninteractive apt-get -y -o Dpkg::Options::=--force-confdef "
    "-o Dpkg::Options::=--force-confold upgrade",
    "apt-get -y -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold upgrade",
};

} // namespace

// ---------------------------------------------------------------------------
// Command line
// ---------------------------------------------------------------------------

TEST(CommandLine, WrongArgumentsPrintTheUsageAndFail)
{
    // No configuration file: the operator may choose, so only the form of
    // the argument is at fault.
    const std::vector<std::vector<std::string>> cases = {
        {}, {"-m", "1"}, {"-s", "-s"}, {"-h"}, {"-m2"}, {"-m10"}, {"-p"}, {"-wx"}, {"-wff"}, {"-rx"}, {"-x"}, {"show"},
    };
    for (const auto &args : cases) {
        std::string name;
        for (const auto &arg : args)
            name += "[" + arg + "]";
        SCOPED_TRACE("arguments " + name);
        const CtlRun run = run_ctl(args);
        EXPECT_EQ(run.status, exited_with(255));
        EXPECT_EQ(run.out, usage_text());
        EXPECT_EQ(run.err.find("error connecting"), std::string::npos);
    }
    EXPECT_EQ(stub_log(), std::vector<std::string>{}) << "nothing was run";
    EXPECT_FALSE(file_exists(CONFIG_FILE));
}

TEST(CommandLine, OptionParserReportsBadOptionsItself)
{
    const CtlRun unknown = run_ctl({"-x"});
    EXPECT_NE(unknown.err.find("invalid option -- 'x'\n"), std::string::npos) << unknown.err;
    const CtlRun missing = run_ctl({"-m"});
    EXPECT_NE(missing.err.find("option requires an argument -- 'm'\n"), std::string::npos) << missing.err;
    EXPECT_EQ(missing.out, usage_text());
    EXPECT_EQ(missing.status, exited_with(255));
}

TEST(CommandLine, MissingFilesAreReportedAndOverrideAllowed)
{
    const CtlRun run = run_ctl({"-wx"});
    EXPECT_EQ(run.err, "No config file /tmp/.vornmgrd.startup.conf (No such file or directory)\n"
                       " Unknown start up mode\n"
                       " Assuming start up mode is cold\n"
                       "No config file /etc/norvane/vornmgrd.conf (No such file or directory)\n"
                       " Unknown configured mode\n"
                       " Setting mode to cold (allow override).\n");
    // Allowed, so the refusal lines are absent; only the modifier is wrong.
    EXPECT_EQ(run.out, usage_text());
}

TEST(CommandLine, ConfigurationWithoutOverrideRefusesChoosingTheMode)
{
    const std::string config = "boot_mode=warm\n";
    write_config(config);
    write_file("/tmp/.vornmgrd.startup.conf", config);
    for (const std::string option : {"-w", "-ff", "-c"}) {
        SCOPED_TRACE(option);
        const CtlRun run = run_ctl({option}, "y\n");
        EXPECT_EQ(run.status, exited_with(255));
        EXPECT_EQ(run.out, " override from vornmgrctl disallowed in configuration\n"
                           " Only the [-r] option is available\n" +
                               usage_text());
        EXPECT_EQ(run.err, "");
    }
    EXPECT_EQ(read_file(CONFIG_FILE), config);
    EXPECT_EQ(stub_log(), std::vector<std::string>{});

    // An explicit "false", or a bogus value, refuses as well.
    write_config("vornmgrctl_override=maybe\nboot_mode=cold\n");
    const CtlRun bogus = run_ctl({"-c"});
    EXPECT_EQ(bogus.status, exited_with(255));
    EXPECT_NE(bogus.err.find("unknown override (vornmgrctl_override=maybe) - please validate the config\n"),
              std::string::npos);
    EXPECT_EQ(bogus.out.rfind(" override from vornmgrctl disallowed in configuration\n", 0), 0u);
}

// ---------------------------------------------------------------------------
// Ports
// ---------------------------------------------------------------------------

TEST(Ports, DownAndRestoreWithoutTheManager)
{
    const CtlRun down = run_ctl({"-p0"});
    EXPECT_EQ(down.status, exited_with(0));
    EXPECT_EQ(stub_log(), std::vector<std::string>{"ifdown -a -X eth0"});
    EXPECT_TRUE(file_exists(PORTS_MARKER));
    EXPECT_EQ(down.err.find("error connecting"), std::string::npos);

    const CtlRun up = run_ctl({"-p1"});
    EXPECT_EQ(up.status, exited_with(0));
    EXPECT_EQ(stub_log(), (std::vector<std::string>{"ifdown -a -X eth0", "ifreload -a"}));
    EXPECT_FALSE(file_exists(PORTS_MARKER));
    EXPECT_EQ(up.err.find("error connecting"), std::string::npos);
}

TEST(Ports, FailingCommandsAreNotExamined)
{
    configure_stub("ifdown", StubBehaviour{.exit_code = 1, .stderr_text = "ifdown: no such interface\n"});
    const CtlRun down = run_ctl({"-p0"});
    EXPECT_EQ(down.status, exited_with(0));
    EXPECT_TRUE(file_exists(PORTS_MARKER));
    EXPECT_NE(down.err.find("ifdown: no such interface\n"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Upgrade without changes, dry run
// ---------------------------------------------------------------------------

TEST(Upgrade, WithoutHistoryNothingWasUpgraded)
{
    const CtlRun run = run_ctl({"-u"});
    EXPECT_EQ(run.status, exited_with(0));
    EXPECT_EQ(run.out, " No components were upgraded\n");
    EXPECT_EQ(stub_log(), UPGRADE_CALLS);
    EXPECT_FALSE(file_exists(UPGRADE_MARKER));
    EXPECT_EQ(run.err.find("error connecting"), std::string::npos) << "the manager is not told";
}

TEST(Upgrade, UnchangedHistoryNothingWasUpgraded)
{
    write_file(HISTORY_FILE, "Start-Date: 2024-01-01\nUpgrade: libfoo (1.0, 1.1)\n");
    write_file("/run/reboot-required", "*** System restart required ***\n");
    // The package tools print their own progress; it is passed through.
    configure_stub("apt-get", StubBehaviour{.stdout_text = "Reading package lists...\n"});
    const CtlRun run = run_ctl({"-u"});
    EXPECT_EQ(run.status, exited_with(0));
    EXPECT_EQ(run.out, "Reading package lists...\n"
                       "Reading package lists...\n"
                       " No components were upgraded\n"
                       "*** System restart required ***\n");
    EXPECT_EQ(stub_log(), UPGRADE_CALLS);
    EXPECT_FALSE(file_exists(UPGRADE_MARKER));
}

TEST(Upgrade, ChecksumThatCannotBeTakenIsAFailure)
{
    // A history that cannot be summed: md5sum prints nothing on its output.
    mkdir(HISTORY_FILE.c_str(), 0755);
    const CtlRun run = run_ctl({"-u"});
    EXPECT_EQ(run.status, exited_with(255));
    EXPECT_EQ(run.out, "error in finding pre checksum No data available\n");
    EXPECT_EQ(stub_log(), (std::vector<std::string>{"sudo apt-get update", "apt-get update"}))
        << "no upgrade is run";
    EXPECT_EQ(run.err.find("error connecting"), std::string::npos);
}

TEST(Upgrade, DryRunUpgradesNothing)
{
    write_file("/run/reboot-required", "restart needed\n");
    const CtlRun run = run_ctl({"-d"});
    EXPECT_EQ(run.status, exited_with(0));
    EXPECT_EQ(run.out, "restart needed\n");
    EXPECT_EQ(stub_log(), (std::vector<std::string>{"sudo apt-get update", "apt-get update",
                                                    "sudo apt-get upgrade --dry-run", "apt-get upgrade --dry-run"}));
    EXPECT_FALSE(file_exists(UPGRADE_MARKER));
    EXPECT_EQ(run.err.find("error connecting"), std::string::npos);
}
