// SPDX-License-Identifier: Apache-2.0
// vornmgrctl in the sandbox: the command line and override rule, the
// configuration rewrite, the confirmation, the restart preparation, the ports,
// the upgrade, and the exchange on the operator socket against a fake server
// that records the request and answers with scripted records. Where no server
// listens, a tool that tried to reach the manager would say so on stderr.

#include "vorn_test_support.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <linux/sockios.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace vorn_test;

namespace {

const std::string CONFIG_FILE = "/etc/norvane/vornmgrd.conf";
const std::string STARTUP_FILE = "/tmp/.vornmgrd.startup.conf";
const std::string UPGRADE_MARKER = "/var/tmp/.upgrade";
const std::string NEIGH_BATCH = "/var/tmp/.ip_neigh.batch";
const std::string FDB_BATCH = "/var/tmp/.bridge_fdb_issu.batch";
const std::string NO_MANAGER = "error connecting to vornmgrd";

constexpr std::int32_t WARMBOOT = 1, FASTBOOT = 2, COLDBOOT = 3, MAINT_ENABLE = 4, MAINT_DISABLE = 5,
                       UPGRADE_MODE = 8, SHOW = 10, SHOW_IN_PROGRESS = 11, RESP_OVER = 12;

Bytes record(std::int32_t status, const std::string &text = "")
{
    Bytes bytes = ints({status, static_cast<std::int32_t>(8 + text.size())});
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}
const Bytes OVER = record(RESP_OVER);

// The manager's end of the operator socket for one connection: one read for
// the request, as the manager does; a note of what the tool had done by then;
// the scripted pieces written in order; then the connection is closed.
class FakeOperatorServer {
public:
    // With `piecewise`, a piece is written only once the tool has read all of
    // the previous one, so each piece reaches it in a read of its own.
    explicit FakeOperatorServer(std::vector<Bytes> pieces, bool piecewise = false)
        : pieces_(std::move(pieces)), piecewise_(piecewise)
    {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, "/run/vornmgr_cli.sock", sizeof address.sun_path - 1);
        listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listen_fd_ < 0 || bind(listen_fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            listen(listen_fd_, 5) != 0)
            throw std::runtime_error("fake operator server: " + std::string(strerror(errno)));
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeOperatorServer()
    {
        stop_ = true;
        thread_.join();
        close(listen_fd_);
        unlink("/run/vornmgr_cli.sock");
    }

    std::optional<Bytes> request()
    {
        std::unique_lock lock(mutex_);
        arrived_.wait_for(lock, DEFAULT_TIMEOUT, [&] { return request_.has_value(); });
        return request_;
    }
    // What the stub log, the configuration file and the batch files were when
    // the request arrived.
    std::vector<std::string> stub_calls() { return noted(stub_calls_); }
    std::optional<std::string> config() { return noted(config_); }
    std::vector<std::string> batch_files() { return noted(batch_files_); }

private:
    template <typename T> T noted(const T &note)
    {
        request();
        std::lock_guard lock(mutex_);
        return note;
    }
    void serve()
    {
        pollfd pending{listen_fd_, POLLIN, 0};
        while (!stop_ && poll(&pending, 1, 50) <= 0) {
        }
        const int connection = stop_ ? -1 : accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0)
            return;
        std::uint8_t buffer[1024];
        const ssize_t got = read(connection, buffer, sizeof buffer);
        {
            std::lock_guard lock(mutex_);
            stub_calls_ = stub_log();
            config_ = read_file(CONFIG_FILE);
            for (const auto &path : {NEIGH_BATCH, FDB_BATCH})
                if (file_exists(path))
                    batch_files_.push_back(path);
            request_ = Bytes(buffer, buffer + std::max<ssize_t>(got, 0));
        }
        arrived_.notify_all();
        for (const Bytes &piece : pieces_) {
            if (send(connection, piece.data(), piece.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(piece.size()))
                break;
            // Bytes on a local stream socket count as queued until the peer read them.
            int unread = 0;
            if (piecewise_)
                wait_until([&] { return ioctl(connection, SIOCOUTQ, &unread) == 0 && unread == 0; });
        }
        close(connection);
    }

    std::vector<Bytes> pieces_;
    bool piecewise_;
    int listen_fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_; // guards the request and the notes taken with it
    std::condition_variable arrived_;
    std::optional<Bytes> request_;
    std::vector<std::string> stub_calls_;
    std::optional<std::string> config_;
    std::vector<std::string> batch_files_;
    std::thread thread_;
};

struct CtlRun {
    ExitStatus status;
    std::string out;
    std::string err;
};

CtlRun run_ctl(std::vector<std::string> args, std::optional<std::string> input = std::nullopt)
{
    args.insert(args.begin(), bin_path("vornmgrctl"));
    Process process(args, {.stdin_text = std::move(input)});
    auto status = process.wait_exit(30s);
    return {status.value_or(ExitStatus{}), process.stdout_text(), process.stderr_text()};
}

// The system runs in `running` (the manager's copy of the file) and the
// configuration file holds `config`.
void set_files(const std::string &running, const std::string &config)
{
    write_file(STARTUP_FILE, "boot_mode=" + running + "\n");
    mkdir("/etc/norvane", 0755);
    write_file(CONFIG_FILE, config);
}

std::string managed(const std::string &mode, const std::string &limits = "")
{
    return "# vornmgrctl managed configuration\nvornmgrctl_override=true\nboot_mode=" + mode + "\n" + limits;
}

std::string usage()
{
    return "Usage: " + bin_path("vornmgrctl") +
           " -{action}[option]\n"
           "  -w{f}      Warmboot\n  -f{f}      Fastboot\n  -c{f}      Coldboot\n"
           "  -r{f}      Configured Boot mode (only)\n  -m<0|1>    Maintenance mode disable or enable\n"
           "  -p<0|1>    disable or enable all configured ports\n  -u         upgrade\n"
           "  -d         upgrade dry-run\n  -s         Show status\n  -h         Show usage\n"
           "  --json                  Show status as JSON\n"
           "  -m<0|1>, -{w|f|c|r}{f} --json  Outcome as JSON (exit 3: modules held it up)\n"
           "  --history[=N] [--json]  Show the last N (5) take-downs and bring-ups\n"
           "  --metrics[=FILE]        Show status as metrics, or write them to FILE\n"
           "  --version               Show version\n  --help                  Show usage\n";
}

const std::string PROMPT = "\n Do you wish to continue? [Y/n]: ";
const std::string NO_FILES = "No config file /tmp/.vornmgrd.startup.conf (No such file or directory)\n"
                             " Unknown start up mode\n Assuming start up mode is cold\n"
                             "No config file /etc/norvane/vornmgrd.conf (No such file or directory)\n"
                             " Unknown configured mode\n Setting mode to cold (allow override).\n";

// Writes history lines when the stubbed package manager upgrades.
const StubBehaviour INSTALLING_APT_GET{
    .script = "[[ \" $* \" == *' upgrade '* ]] && echo 'Upgrade: libfoo (1.0, 1.1)' >>/var/log/apt/history.log\n"
              "exit 0\n"};
const std::vector<std::string> UPGRADE_CALLS = {
    "sudo apt-get update", "apt-get update",
    "sudo DEBIAN_FRONTEND=noninteractive apt-get -y -o Dpkg::Options::=--force-confdef "
    "-o Dpkg::Options::=--force-confold upgrade",
    "apt-get -y -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold upgrade"};

} // namespace

// ---------------------------------------------------------------------------
// Command line and override rule
// ---------------------------------------------------------------------------

TEST(CommandLine, WrongArgumentsPrintTheUsage)
{
    // No files: the operator may choose, so only the argument is at fault.
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, ""}, {{"-m", "1"}, ""}, {{"-h"}, ""}, {{"-m2"}, ""}, {{"-p10"}, ""}, {{"-wx"}, ""}, {{"-wff"}, ""},
        {{"-x"}, "invalid option -- 'x'\n"}, {{"-m"}, "option requires an argument -- 'm'\n"},
        {{"--jsn"}, "unrecognized option '--jsn'\n"}, {{"--json", "-s"}, ""}};
    for (const auto &[args, diagnostic] : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        const CtlRun run = run_ctl(args);
        EXPECT_EQ(run.status, exited_with(255));
        EXPECT_EQ(run.out, usage());
        EXPECT_TRUE(run.err.starts_with(NO_FILES)) << run.err;
        EXPECT_TRUE(run.err.ends_with(diagnostic)) << run.err;
    }
    EXPECT_EQ(stub_log(), std::vector<std::string>{});
}

TEST(CommandLine, HelpIsAnAnswerNotAnError)
{
    // Asked for, the usage is all there is: no file is read, nothing else runs.
    const CtlRun run = run_ctl({"--help"});
    EXPECT_EQ(run.status, exited_with(0));
    EXPECT_EQ(run.out, usage());
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(stub_log(), std::vector<std::string>{});
}

TEST(CommandLine, WithoutFilesOverrideIsAllowedAndTheConfiguredModeIsCold)
{
    mkdir("/etc/norvane", 0755);
    {
        FakeOperatorServer server({OVER});
        const CtlRun run = run_ctl({"-rf"});
        EXPECT_EQ(run.status, exited_with(0));
        EXPECT_EQ(run.err, NO_FILES);
        EXPECT_EQ(server.request(), ints({COLDBOOT}));
        EXPECT_FALSE(file_exists(CONFIG_FILE)) << "-r never writes the configuration";
    }
    FakeOperatorServer server({OVER});
    EXPECT_EQ(run_ctl({"-ff"}).status, exited_with(0));
    EXPECT_EQ(server.request(), ints({FASTBOOT}));
    EXPECT_EQ(read_file(CONFIG_FILE), managed("fast"));
}

TEST(CommandLine, WithoutOverrideKeyOnlyTheConfiguredModeIsAvailable)
{
    const std::string config = "# by hand\nboot_mode=fast\n";
    set_files("fast", config);
    const CtlRun refused = run_ctl({"-w"}, "y\n");
    EXPECT_EQ(refused.status, exited_with(255));
    EXPECT_EQ(refused.out, " override from vornmgrctl disallowed in configuration\n"
                           " Only the [-r] option is available\n" + usage());
    EXPECT_EQ(refused.err, "");
    // With --json standard output is the outcome's alone: a refusal has none.
    const CtlRun refused_json = run_ctl({"-wf", "--json"});
    EXPECT_EQ(refused_json.status, exited_with(255));
    EXPECT_EQ(refused_json.out, "");
    EXPECT_TRUE(refused_json.err.ends_with(refused.out)) << refused_json.err;

    FakeOperatorServer server({OVER});
    const CtlRun configured = run_ctl({"-r"}, "\n");
    EXPECT_EQ(configured.status, exited_with(0));
    EXPECT_EQ(configured.out, " System will restart" + PROMPT);
    EXPECT_EQ(server.request(), ints({FASTBOOT}));
    EXPECT_EQ(read_file(CONFIG_FILE), config);
}

// ---------------------------------------------------------------------------
// Configuration rewrite
// ---------------------------------------------------------------------------

TEST(Rewrite, NewModeIsOnDiskBeforeTheManagerIsAsked)
{
    // Other lines are dropped; limits other than the defaults are kept.
    set_files("cold", "vornmgrctl_override=true\nboot_mode=cold\nl3_up_max_time=30\nissu_complete_max_time=400\nx=1\n");
    {
        FakeOperatorServer server({OVER});
        const CtlRun run = run_ctl({"-wf"});
        EXPECT_EQ(run.status, exited_with(0));
        EXPECT_EQ(run.out, " Updating system boot mode to warm\n");
        EXPECT_EQ(server.request(), ints({WARMBOOT}));
        EXPECT_EQ(server.config(), managed("warm", "l3_up_max_time=30\nissu_complete_max_time=400\n"));
    }
    // No manager: the file is rewritten all the same; nothing is prepared.
    set_files("cold", "vornmgrctl_override=true\nboot_mode=warm\nl3_up_max_time=0\n");
    const CtlRun run = run_ctl({"-c"}, "y\n");
    EXPECT_EQ(run.status, exited_with(255));
    EXPECT_TRUE(run.err.starts_with(NO_MANAGER + ": ")) << run.err;
    EXPECT_EQ(read_file(CONFIG_FILE), managed("cold")) << "an l3_up_max_time of 0 keeps 180";
    EXPECT_EQ(stub_log(), std::vector<std::string>{"pelmar.py"}) << "only the first run's preparation";
}

TEST(Rewrite, SameModeLeavesTheFileAlone)
{
    const std::string config = "vornmgrctl_override=true\n  boot_mode=warm  # by hand\n";
    set_files("warm", config);
    FakeOperatorServer server({OVER});
    const CtlRun run = run_ctl({"-wf"});
    EXPECT_EQ(run.status, exited_with(0));
    EXPECT_EQ(run.out, "") << "no prompt, no update";
    EXPECT_EQ(server.request(), ints({WARMBOOT}));
    EXPECT_EQ(read_file(CONFIG_FILE), config);
}

TEST(Rewrite, FailureKeepsTheOldFile)
{
    // A one-page file system that the old file fills, as a full disk would.
    mkdir("/etc/norvane", 0755);
    ASSERT_EQ(mount("tmpfs", "/etc/norvane", "tmpfs", 0, "size=4k,mode=755"), 0) << strerror(errno);
    const std::string old = "vornmgrctl_override=true\nboot_mode=cold\nl3_up_max_time=60\n";
    set_files("cold", old);

    const CtlRun run = run_ctl({"-wf"});
    EXPECT_EQ(run.status, exited_with(255));
    EXPECT_EQ(run.out, " Updating system boot mode to warm\n");
    const std::string message = " failed to save configuration file: No space left on device\n";
    EXPECT_EQ(run.err, message + message);
    EXPECT_EQ(read_file(CONFIG_FILE), old);
    EXPECT_EQ(stub_log(), std::vector<std::string>{}) << "no restart is prepared";
}

// ---------------------------------------------------------------------------
// Confirmation and preparation
// ---------------------------------------------------------------------------

TEST(Confirmation, Answers)
{
    struct Case {
        std::optional<std::string> input;
        bool proceeds;
        std::string after_prompt;
    };
    const std::vector<Case> cases = {
        {"\n", true, ""},
        {"yes\nY\n", true, " Please enter [Y/n]); "},
        {"y", true, ""},
        {"N\n", false, "\n Aborting restart\n"},
        {std::nullopt, false, ""},
        {"x\n", false, " Please enter [Y/n]); "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.input));
        set_files("cold", managed("cold"));
        FakeOperatorServer server({OVER});
        const CtlRun run = run_ctl({"-c"}, c.input);
        EXPECT_EQ(run.status, exited_with(c.proceeds ? 0 : 255));
        EXPECT_EQ(run.out, " System will restart" + PROMPT + c.after_prompt);
        if (c.proceeds) {
            EXPECT_EQ(server.request(), ints({COLDBOOT}));
        }
    }
    // A refusal neither rewrites nor contacts the manager.
    set_files("cold", managed("cold"));
    const CtlRun refused = run_ctl({"-w"}, "n\n");
    EXPECT_EQ(refused.status, exited_with(255));
    EXPECT_EQ(refused.err.find(NO_MANAGER), std::string::npos);
    EXPECT_EQ(read_file(CONFIG_FILE), managed("cold"));
}

TEST(Confirmation, WarningsAboutWarmRestart)
{
    const std::string entering = "\n Transition to warm boot will halve capacity (current mode is cold)"
                                 "\n System will start from a cold reset. Subsequent warm boots will be hitless";
    const std::string leaving = "\n Transition from warm mode will disable hitless restart (current mode is warm)";
    const std::vector<std::vector<std::string>> cases = {
        {"cold", "-w", entering}, {"warm", "-c", leaving}, {"warm", "-f", leaving}, {"fast", "-f", ""},
        {"warm", "-w", ""}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c[1] + " while running " + c[0]);
        set_files(c[0], managed(c[0]));
        EXPECT_EQ(run_ctl({c[1]}, "n\n").out, " System will restart" + c[2] + PROMPT + "\n Aborting restart\n");
    }
    write_file(UPGRADE_MARKER, "");
    set_files("fast", managed("fast"));
    EXPECT_EQ(run_ctl({"-f"}, "n\n").out, " System will restart (upgraded)" + PROMPT + "\n Aborting restart\n");
}

TEST(Preparation, ScriptsAndSavedStateBeforeTheRequest)
{
    struct Case {
        std::string running, option;
        std::int32_t command;
        std::vector<std::string> calls, batch_files;
    };
    const std::vector<Case> cases = {
        {"warm", "-wf", WARMBOOT, {"pelmar.py", "dranvik.py"}, {NEIGH_BATCH, FDB_BATCH}},
        {"cold", "-wf", WARMBOOT, {"pelmar.py"}, {}},
        {"warm", "-ff", FASTBOOT, {"pelmar.py"}, {NEIGH_BATCH, FDB_BATCH}},
        {"warm", "-cf", COLDBOOT, {}, {NEIGH_BATCH, FDB_BATCH}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.option + " while running " + c.running);
        set_files(c.running, managed(c.running));
        write_file(NEIGH_BATCH, "neigh\n");
        write_file(FDB_BATCH, "fdb\n");
        const size_t earlier = stub_log().size();
        FakeOperatorServer server({OVER});
        EXPECT_EQ(run_ctl({c.option}).status, exited_with(0));
        EXPECT_EQ(server.request(), ints({c.command}));
        const auto calls = server.stub_calls();
        EXPECT_EQ(std::vector<std::string>(calls.begin() + static_cast<long>(earlier), calls.end()), c.calls);
        EXPECT_EQ(server.batch_files(), c.batch_files);
    }
}

// ---------------------------------------------------------------------------
// Local actions: ports, upgrade, dry run
// ---------------------------------------------------------------------------

TEST(LocalAction, PortsDownAndRestore)
{
    const CtlRun down = run_ctl({"-p0"});
    EXPECT_EQ(down.status, exited_with(0));
    EXPECT_TRUE(file_exists("/tmp/.ports_in_maint"));
    const CtlRun up = run_ctl({"-p1"});
    EXPECT_EQ(up.status, exited_with(0));
    EXPECT_FALSE(file_exists("/tmp/.ports_in_maint"));
    EXPECT_EQ(stub_log(), (std::vector<std::string>{"ifdown -a -X eth0", "ifreload -a"}));
    EXPECT_EQ((down.err + up.err).find(NO_MANAGER), std::string::npos);
}

TEST(LocalAction, UpgradeWithoutChangesOrDryRunLeavesTheManagerAlone)
{
    write_file("/run/reboot-required", "*** System restart required ***\n");
    const CtlRun upgrade = run_ctl({"-u"});
    EXPECT_EQ(upgrade.status, exited_with(0));
    EXPECT_EQ(upgrade.out, " No components were upgraded\n*** System restart required ***\n");
    EXPECT_EQ(stub_log(), UPGRADE_CALLS) << "no history before or after: both sums empty";

    const CtlRun dry_run = run_ctl({"-d"});
    EXPECT_EQ(dry_run.status, exited_with(0));
    EXPECT_EQ(dry_run.out, "*** System restart required ***\n");
    const auto calls = stub_log();
    EXPECT_EQ(std::vector<std::string>(calls.begin() + 4, calls.end()),
              (std::vector<std::string>{"sudo apt-get update", "apt-get update", "sudo apt-get upgrade --dry-run",
                                        "apt-get upgrade --dry-run"}));
    EXPECT_FALSE(file_exists(UPGRADE_MARKER));
    EXPECT_EQ((upgrade.err + dry_run.err).find(NO_MANAGER), std::string::npos);
}

TEST(LocalAction, UpgradeWithChangesTellsTheManager)
{
    write_file("/var/log/apt/history.log", "Start-Date: 2024-01-01\n");
    configure_stub("apt-get", INSTALLING_APT_GET);
    FakeOperatorServer server({OVER});
    const CtlRun run = run_ctl({"-u"});
    EXPECT_EQ(run.status, exited_with(0));
    EXPECT_EQ(server.request(), ints({UPGRADE_MODE}));
    EXPECT_TRUE(file_exists(UPGRADE_MARKER));
    auto expected = UPGRADE_CALLS;
    expected.push_back("qorfwupgrade.vek --fwpathfrompkg");
    EXPECT_EQ(server.stub_calls(), expected);
}

TEST(LocalAction, UpgradeWhosePackageManagerFailsIsAFailureUnlessItUpgradedSomething)
{
    // Nothing upgraded: a failure, not "nothing to do", and no marker.
    configure_stub("apt-get", {.exit_code = 100});
    const CtlRun failed = run_ctl({"-u"});
    EXPECT_EQ(failed.status, exited_with(255));
    EXPECT_EQ(failed.out, "");
    EXPECT_TRUE(failed.err.ends_with("vornmgrctl: the upgrade command failed (exit status 100)\n")) << failed.err;
    EXPECT_FALSE(file_exists(UPGRADE_MARKER));

    // Some packages upgraded before it failed: the manager still hears of it.
    write_file("/var/log/apt/history.log", "Start-Date: 2024-01-01\n");
    StubBehaviour failing_part_way = INSTALLING_APT_GET;
    failing_part_way.script += "exit 100\n";
    failing_part_way.script.replace(failing_part_way.script.find("exit 0\n"), 7, "");
    configure_stub("apt-get", failing_part_way);
    FakeOperatorServer server({OVER});
    const CtlRun partial = run_ctl({"-u"});
    EXPECT_EQ(partial.status, exited_with(0));
    EXPECT_EQ(server.request(), ints({UPGRADE_MODE}));
    EXPECT_TRUE(file_exists(UPGRADE_MARKER));
    EXPECT_NE(partial.err.find("the upgrade command failed (exit status 100) after upgrading packages\n"),
              std::string::npos)
        << partial.err;
}

TEST(LocalAction, UpgradeWithoutChecksumIsAFailure)
{
    // md5sum prints no sum for a directory.
    mkdir("/var/log/apt/history.log", 0755);
    const CtlRun run = run_ctl({"-u"});
    EXPECT_EQ(run.status, exited_with(255));
    EXPECT_EQ(run.out, "error in finding pre checksum No data available\n");
    EXPECT_EQ(stub_log(), (std::vector<std::string>{"sudo apt-get update", "apt-get update"})) << "no upgrade";
}

// ---------------------------------------------------------------------------
// Answers of the manager
// ---------------------------------------------------------------------------

TEST(Answer, ShowPrintsEveryRecordUnchanged)
{
    const std::string first = " Current System Mode: warm  \n";
    const std::string second(1015, 'r');
    const std::string third = " System Services : warm, up\n";
    const Bytes two = record(SHOW_IN_PROGRESS, second);
    const Bytes three = record(SHOW_IN_PROGRESS, third);
    // A header in two parts, a text in two parts, a record without text.
    FakeOperatorServer server({record(SHOW_IN_PROGRESS, first), Bytes(two.begin(), two.begin() + 3),
                               Bytes(two.begin() + 3, two.begin() + 500), Bytes(two.begin() + 500, two.end()),
                               record(SHOW_IN_PROGRESS), Bytes(three.begin(), three.begin() + 8),
                               Bytes(three.begin() + 8, three.end()), OVER},
                              true);
    const CtlRun run = run_ctl({"-s"});
    EXPECT_EQ(run.status, exited_with(0));
    EXPECT_EQ(server.request(), ints({SHOW}));
    EXPECT_EQ(run.out, first + second + third);
}

TEST(Answer, MaintenanceRequests)
{
    for (const auto &[option, command] : {std::pair{"-m1", MAINT_ENABLE}, std::pair{"-m0", MAINT_DISABLE}}) {
        FakeOperatorServer server({OVER});
        const CtlRun run = run_ctl({option});
        EXPECT_EQ(run.status, exited_with(0));
        EXPECT_EQ(server.request(), ints({command})) << option;
        EXPECT_EQ(run.out, "");
    }
}

TEST(Answer, UnexpectedStatusIsAFailure)
{
    {
        FakeOperatorServer server({record(SHOW_IN_PROGRESS, "not for this request\n"), OVER});
        const CtlRun run = run_ctl({"-m1"});
        EXPECT_EQ(run.status, exited_with(255));
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(run.err.ends_with("unxpected response 0xb to request 0x4: Protocol error\n")) << run.err;
    }
    FakeOperatorServer server({record(SHOW_IN_PROGRESS, "first\n"), record(42, "odd\n"), OVER});
    const CtlRun run = run_ctl({"-s"});
    EXPECT_EQ(run.status, exited_with(255));
    EXPECT_EQ(run.out, "first\n");
    EXPECT_TRUE(run.err.ends_with("unxpected response 0x2a to request 0xa: Protocol error\n")) << run.err;
}

TEST(Answer, ManagerClosingEarlyOrSendingTooMuchIsAFailure)
{
    const std::string closed = "server socket closed: Connection reset by peer\n";
    {
        FakeOperatorServer server({});
        const CtlRun run = run_ctl({"-m0"});
        EXPECT_EQ(run.status, exited_with(255));
        EXPECT_TRUE(run.err.ends_with(closed)) << run.err;
    }
    {
        // Closed in the middle of a record: the part that came is not printed.
        Bytes cut = record(SHOW_IN_PROGRESS, "a line that never ends\n");
        cut.resize(14);
        FakeOperatorServer server({record(SHOW_IN_PROGRESS, "whole\n"), cut});
        const CtlRun run = run_ctl({"-s"});
        EXPECT_EQ(run.status, exited_with(255));
        EXPECT_EQ(run.out, "whole\n");
        EXPECT_TRUE(run.err.ends_with(closed)) << run.err;
    }
    // More text than the receive buffer holds.
    FakeOperatorServer server({record(SHOW_IN_PROGRESS, std::string(2000, 'h')), OVER});
    const CtlRun run = run_ctl({"-s"});
    EXPECT_EQ(run.status, exited_with(255));
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(run.err.ends_with("invalid response length 2008: Protocol error\n")) << run.err;
}

// ---------------------------------------------------------------------------
// Bash completion, as shipped
// ---------------------------------------------------------------------------

namespace {

// What the completion offers for the words after "vornmgrctl", the last one
// being completed, joined by blanks.
std::string completion_of(std::vector<std::string> words)
{
    const std::string script = ". \"$1\"; shift; COMP_WORDS=(vornmgrctl \"$@\"); COMP_CWORD=$#; _vornmgrctl;"
                               " echo ${COMPREPLY[*]}";
    words.insert(words.begin(),
                 {"bash", "-c", script, "completion", source_dir() + "/packaging/vornmgrctl.bash-completion"});
    Process bash(words);
    EXPECT_EQ(bash.wait_exit(), exited_with(0)) << bash.stderr_text();
    return bash.stdout_text();
}

} // namespace

TEST(Completion, LongOptionsAndWhatFollowsThem)
{
    EXPECT_EQ(completion_of({"--"}), "--json --history --metrics --metrics= --version --help\n");
    EXPECT_EQ(completion_of({"-m"}), "-m0 -m1\n");
    // --history and --json go together, each once; the count is the operator's.
    EXPECT_EQ(completion_of({"--history", ""}), "--json\n");
    EXPECT_EQ(completion_of({"--json", "--h"}), "--history\n");
    EXPECT_EQ(completion_of({"--history", "3", "--json", ""}), "\n");
    for (const std::string alone : {"-s", "--version", "--help", "--metrics"})
        EXPECT_EQ(completion_of({alone, ""}), "\n") << alone;
    // The file of --metrics=, split at "=" by bash or not.
    const std::string prefix = source_dir() + "/packaging/vornmgrctl.bash-";
    EXPECT_EQ(completion_of({"--metrics", "=", prefix}), prefix + "completion\n");
    EXPECT_EQ(completion_of({"--metrics=" + prefix}), "--metrics=" + prefix + "completion\n");
}
