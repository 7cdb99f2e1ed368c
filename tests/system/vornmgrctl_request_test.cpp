// vornmgrctl asking the manager, in the sandbox: the restart confirmation, the
// configuration rewrite before the request, the preparation scripts, and the
// exchange on the operator socket, against a fake operator server that records
// the request and answers with scripted records.

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

const std::string SOCKET_PATH = "/run/vornmgr_cli.sock";
const std::string CONFIG_FILE = "/etc/norvane/vornmgrd.conf";
const std::string STARTUP_FILE = "/tmp/.vornmgrd.startup.conf";
const std::string UPGRADE_MARKER = "/var/tmp/.upgrade";
const std::string NEIGH_BATCH = "/var/tmp/.ip_neigh.batch";
const std::string FDB_BATCH = "/var/tmp/.bridge_fdb_issu.batch";

constexpr std::int32_t WARMBOOT = 1, FASTBOOT = 2, COLDBOOT = 3, MAINT_ENABLE = 4, MAINT_DISABLE = 5,
                       UPGRADE_MODE = 8, SHOW = 10, SHOW_IN_PROGRESS = 11, RESP_OVER = 12;

Bytes record(std::int32_t status, const std::string &text = "")
{
    Bytes bytes = ints({status, static_cast<std::int32_t>(8 + text.size())});
    bytes.insert(bytes.end(), text.begin(), text.end());
    return bytes;
}

const Bytes RESP_OVER_RECORD = record(RESP_OVER);

// The manager's end of the operator socket for one connection: reads the
// request the way the manager does (one read), notes what the tool had done
// by then, writes the scripted pieces in order and closes.
class FakeOperatorServer {
public:
    // With `one_piece_at_a_time`, each piece is written only after the tool
    // has read all of the previous one, so that the tool sees every piece in
    // a read of its own.
    explicit FakeOperatorServer(std::vector<Bytes> pieces, bool one_piece_at_a_time = false)
        : pieces_(std::move(pieces)), one_piece_at_a_time_(one_piece_at_a_time)
    {
        listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, SOCKET_PATH.c_str(), sizeof address.sun_path - 1);
        unlink(SOCKET_PATH.c_str());
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
        unlink(SOCKET_PATH.c_str());
    }
    FakeOperatorServer(const FakeOperatorServer &) = delete;
    FakeOperatorServer &operator=(const FakeOperatorServer &) = delete;

    // The bytes of the request, once it arrived.
    std::optional<Bytes> request(Timeout timeout = DEFAULT_TIMEOUT)
    {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_for(lock, timeout, [&] { return request_.has_value(); }))
            return std::nullopt;
        return request_;
    }
    // The stub calls made, and the configuration file, when the request arrived.
    std::vector<std::string> stub_calls_before_request()
    {
        std::lock_guard lock(mutex_);
        return stub_calls_;
    }
    std::optional<std::string> config_before_request()
    {
        std::lock_guard lock(mutex_);
        return config_;
    }
    std::vector<std::string> batch_files_before_request()
    {
        std::lock_guard lock(mutex_);
        return batch_files_;
    }

private:
    void serve()
    {
        while (!stop_) {
            pollfd pending{listen_fd_, POLLIN, 0};
            if (poll(&pending, 1, 50) <= 0)
                continue;
            const int connection = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0)
                continue;
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
                if (::send(connection, piece.data(), piece.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(piece.size()))
                    break;
                if (one_piece_at_a_time_)
                    wait_until_read(connection);
            }
            close(connection);
            return;
        }
    }
    // Bytes written on a local stream socket stay counted in the send queue
    // until the peer has read them.
    static void wait_until_read(int connection)
    {
        wait_until([&] {
            int unread = 0;
            return ioctl(connection, SIOCOUTQ, &unread) == 0 && unread == 0;
        });
    }

    std::vector<Bytes> pieces_;
    bool one_piece_at_a_time_;
    int listen_fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_; // guards everything below
    std::condition_variable arrived_;
    std::optional<Bytes> request_;
    std::vector<std::string> stub_calls_;
    std::optional<std::string> config_;
    std::vector<std::string> batch_files_;
};

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

void write_config(const std::string &text)
{
    mkdir("/etc/norvane", 0755);
    write_file(CONFIG_FILE, text);
}

// The system runs in `running` (the manager's copy) and is configured as `config`.
void set_files(const std::string &running, const std::string &config)
{
    write_file(STARTUP_FILE, "boot_mode=" + running + "\n");
    write_config(config);
}

std::string managed_file(const std::string &mode, const std::string &extra = "")
{
    return "# vornmgrctl managed configuration\nvornmgrctl_override=true\nboot_mode=" + mode + "\n" + extra;
}

const std::string PROMPT = "\n Do you wish to continue? [Y/n]: ";

} // namespace

// ---------------------------------------------------------------------------
// Choosing the boot mode and rewriting the configuration file
// ---------------------------------------------------------------------------

TEST(BootMode, WithoutConfigurationOverrideIsAllowedAndConfiguredRestartIsCold)
{
    {
        FakeOperatorServer server({RESP_OVER_RECORD});
        const CtlRun run = run_ctl({"-rf"});
        EXPECT_EQ(run.status, exited_with(0));
        EXPECT_EQ(server.request(), ints({COLDBOOT}));
        EXPECT_NE(run.err.find(" Unknown configured mode\n Setting mode to cold (allow override).\n"),
                  std::string::npos);
        EXPECT_FALSE(file_exists(CONFIG_FILE)) << "-r never writes the configuration";
    }
    // The directory is there, the file is not.
    mkdir("/etc/norvane", 0755);
    FakeOperatorServer server({RESP_OVER_RECORD});
    const CtlRun run = run_ctl({"-ff"});
    EXPECT_EQ(run.status, exited_with(0));
    EXPECT_EQ(server.request(), ints({FASTBOOT}));
    EXPECT_EQ(read_file(CONFIG_FILE), managed_file("fast"));
}

TEST(BootMode, ConfiguredRestartFollowsTheFileWithoutOverride)
{
    const std::vector<std::pair<std::string, std::int32_t>> cases = {
        {"warm", WARMBOOT}, {"fast", FASTBOOT}, {"cold", COLDBOOT}};
    for (const auto &[mode, command] : cases) {
        SCOPED_TRACE(mode);
        const std::string config = "# mine\nboot_mode=" + mode + "\n";
        set_files(mode, config);
        FakeOperatorServer server({RESP_OVER_RECORD});
        const CtlRun run = run_ctl({"-r"}, "\n");
        EXPECT_EQ(run.status, exited_with(0));
        EXPECT_EQ(server.request(), ints({command}));
        EXPECT_EQ(run.out, " System will restart" + PROMPT);
        EXPECT_EQ(read_file(CONFIG_FILE), config);
    }
}

TEST(BootMode, NewModeIsWrittenBeforeTheManagerIsAsked)
{
    // Default limits: no limit lines; other lines of the old file are dropped.
    set_files("cold", "vornmgrctl_override=true\nboot_mode=cold\nsome_key=1\n");
    {
        FakeOperatorServer server({RESP_OVER_RECORD});
        const CtlRun run = run_ctl({"-wf"});
        EXPECT_EQ(run.status, exited_with(0));
        EXPECT_EQ(run.out, " Updating system boot mode to warm\n");
        EXPECT_EQ(server.request(), ints({WARMBOOT}));
        EXPECT_EQ(server.config_before_request(), managed_file("warm"));
    }

    // Limits other than the defaults are carried over.
    set_files("cold", "vornmgrctl_override=true\nboot_mode=warm\nl3_up_max_time=30\nissu_complete_max_time=400\n");
    FakeOperatorServer server({RESP_OVER_RECORD});
    const CtlRun run = run_ctl({"-c"}, "y\n");
    EXPECT_EQ(run.status, exited_with(0));
    EXPECT_EQ(server.request(), ints({COLDBOOT}));
    EXPECT_EQ(server.config_before_request(),
              managed_file("cold", "l3_up_max_time=30\nissu_complete_max_time=400\n"));
}

TEST(BootMode, NewModeIsWrittenEvenWhenTheManagerIsAbsent)
{
    set_files("fast", "vornmgrctl_override=true\nboot_mode=fast\nl3_up_max_time=0\n");
    const CtlRun run = run_ctl({"-c"}, "\n");
    EXPECT_EQ(run.status, exited_with(255));
    EXPECT_EQ(run.err.rfind("error connecting to vornmgrd: ", 0), 0u) << run.err;
    EXPECT_EQ(read_file(CONFIG_FILE), managed_file("cold")) << "an l3_up_max_time of 0 keeps 180";
    EXPECT_EQ(stub_log(), std::vector<std::string>{}) << "no preparation without a manager";
}

TEST(BootMode, SameModeLeavesTheFileAlone)
{
    const std::string config = "vornmgrctl_override=true\n  boot_mode=warm  # chosen by hand\n";
    set_files("warm", config);
    FakeOperatorServer server({RESP_OVER_RECORD});
    const CtlRun run = run_ctl({"-wf"});
    EXPECT_EQ(run.status, exited_with(0));
    EXPECT_EQ(run.out, "") << "no prompt, no update";
    EXPECT_EQ(server.request(), ints({WARMBOOT}));
    EXPECT_EQ(read_file(CONFIG_FILE), config);
}

TEST(BootMode, FailedRewriteKeepsTheOldFile)
{
    // A one-page file system that the old file fills: writing the new content
    // beside it fails, as on a full disk.
    mkdir("/etc/norvane", 0755);
    ASSERT_EQ(mount("tmpfs", "/etc/norvane", "tmpfs", 0, "size=4k,mode=755"), 0) << strerror(errno);
    const std::string old = "vornmgrctl_override=true\nboot_mode=cold\nl3_up_max_time=60\n";
    write_file(CONFIG_FILE, old);
    write_file(STARTUP_FILE, "boot_mode=cold\n");

    const CtlRun run = run_ctl({"-wf"});
    EXPECT_EQ(run.status, exited_with(255));
    EXPECT_EQ(run.out, " Updating system boot mode to warm\n");
    const std::string message = " failed to save configuration file\n: No space left on device\n";
    EXPECT_EQ(run.err, message + message);
    EXPECT_EQ(read_file(CONFIG_FILE), old);
    EXPECT_EQ(stub_log(), std::vector<std::string>{}) << "no restart is prepared";
    umount("/etc/norvane");
}

// ---------------------------------------------------------------------------
// Confirmation
// ---------------------------------------------------------------------------

TEST(Confirmation, EnterOrYesGoesAhead)
{
    for (const std::string answer : {"\n", "y\n", "Y\n", "Y"}) {
        SCOPED_TRACE("answer [" + answer + "]");
        set_files("cold", managed_file("cold"));
        FakeOperatorServer server({RESP_OVER_RECORD});
        const CtlRun run = run_ctl({"-c"}, answer);
        EXPECT_EQ(run.status, exited_with(0));
        EXPECT_EQ(run.out, " System will restart" + PROMPT);
        EXPECT_EQ(server.request(), ints({COLDBOOT}));
    }
}

TEST(Confirmation, OtherAnswersAreAskedAgain)
{
    set_files("cold", managed_file("cold"));
    FakeOperatorServer server({RESP_OVER_RECORD});
    const CtlRun run = run_ctl({"-c"}, "yes\nx\ny\n");
    EXPECT_EQ(run.status, exited_with(0));
    EXPECT_EQ(run.out, " System will restart" + PROMPT + " Please enter [Y/n]); " + " Please enter [Y/n]); ");
    EXPECT_EQ(server.request(), ints({COLDBOOT}));
}

TEST(Confirmation, NoOrClosedInputRefusesWithoutContact)
{
    for (const std::optional<std::string> &answer : {std::optional<std::string>("N\n"), std::optional<std::string>(),
                                                     std::optional<std::string>("yes\n")}) {
        SCOPED_TRACE("answer [" + answer.value_or("<closed>") + "]");
        set_files("cold", managed_file("cold"));
        const CtlRun run = run_ctl({"-w"}, answer);
        EXPECT_EQ(run.status, exited_with(255));
        EXPECT_EQ(run.err.find("error connecting"), std::string::npos) << "the manager is not contacted";
        EXPECT_EQ(read_file(CONFIG_FILE), managed_file("cold")) << "nothing is rewritten";
        if (answer == "N\n")
            EXPECT_TRUE(run.out.ends_with(PROMPT + "\n Aborting restart\n")) << run.out;
        else
            EXPECT_FALSE(run.out.ends_with(" Aborting restart\n")) << run.out;
    }
    EXPECT_EQ(stub_log(), std::vector<std::string>{});
}

TEST(Confirmation, WarningsAboutWarmRestart)
{
    struct Case {
        std::string running, option, prompt;
    };
    const std::vector<Case> cases = {
        {"cold", "-w",
         " System will restart\n Transition to warm boot will halve capacity (current mode is cold)\n"
         " System will start from a cold reset. Subsequent warm boots will be hitless"},
        {"warm", "-c", " System will restart\n Transition from warm mode will disable hitless restart (current mode is warm)"},
        {"warm", "-f", " System will restart\n Transition from warm mode will disable hitless restart (current mode is warm)"},
        {"fast", "-f", " System will restart"},
        {"warm", "-w", " System will restart"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.option + " while running " + c.running);
        set_files(c.running, "vornmgrctl_override=true\nboot_mode=" + c.running + "\n");
        const CtlRun run = run_ctl({c.option}, "n\n");
        EXPECT_EQ(run.out, c.prompt + PROMPT + "\n Aborting restart\n");
        EXPECT_EQ(run.status, exited_with(255));
    }

    write_file(UPGRADE_MARKER, "");
    set_files("fast", managed_file("fast"));
    EXPECT_EQ(run_ctl({"-f"}, "n\n").out, " System will restart (upgraded)" + PROMPT + "\n Aborting restart\n");
}

// ---------------------------------------------------------------------------
// Preparation of a restart
// ---------------------------------------------------------------------------

TEST(Preparation, WarmRestartFromWarmKeepsTheSavedState)
{
    set_files("warm", managed_file("warm"));
    write_file(NEIGH_BATCH, "neigh\n");
    write_file(FDB_BATCH, "fdb\n");
    FakeOperatorServer server({RESP_OVER_RECORD});
    const CtlRun run = run_ctl({"-wf"});
    EXPECT_EQ(run.status, exited_with(0));
    ASSERT_EQ(server.request(), ints({WARMBOOT}));
    EXPECT_EQ(server.stub_calls_before_request(), (std::vector<std::string>{"pelmar.py", "dranvik.py"}));
    EXPECT_EQ(server.batch_files_before_request(), (std::vector<std::string>{NEIGH_BATCH, FDB_BATCH}));
}

TEST(Preparation, WarmRestartFromColdDropsTheSavedState)
{
    set_files("cold", managed_file("cold"));
    write_file(NEIGH_BATCH, "neigh\n");
    write_file(FDB_BATCH, "fdb\n");
    FakeOperatorServer server({RESP_OVER_RECORD});
    const CtlRun run = run_ctl({"-wf"});
    EXPECT_EQ(run.status, exited_with(0));
    ASSERT_EQ(server.request(), ints({WARMBOOT}));
    EXPECT_EQ(server.stub_calls_before_request(), std::vector<std::string>{"pelmar.py"});
    EXPECT_EQ(server.batch_files_before_request(), std::vector<std::string>{});
}

TEST(Preparation, FastAndColdRestarts)
{
    set_files("warm", managed_file("fast"));
    write_file(NEIGH_BATCH, "neigh\n");
    {
        FakeOperatorServer server({RESP_OVER_RECORD});
        EXPECT_EQ(run_ctl({"-ff"}).status, exited_with(0));
        ASSERT_EQ(server.request(), ints({FASTBOOT}));
        EXPECT_EQ(server.stub_calls_before_request(), std::vector<std::string>{"pelmar.py"});
        EXPECT_EQ(server.batch_files_before_request(), std::vector<std::string>{NEIGH_BATCH});
    }
    FakeOperatorServer server({RESP_OVER_RECORD});
    EXPECT_EQ(run_ctl({"-cf"}).status, exited_with(0));
    ASSERT_EQ(server.request(), ints({COLDBOOT}));
    EXPECT_EQ(stub_log(), std::vector<std::string>{"pelmar.py"}) << "a cold restart prepares nothing";
}

// ---------------------------------------------------------------------------
// Requests and answers
// ---------------------------------------------------------------------------

TEST(Exchange, MaintenanceModeRequests)
{
    for (const auto &[option, command] : {std::pair{"-m1", MAINT_ENABLE}, std::pair{"-m0", MAINT_DISABLE}}) {
        SCOPED_TRACE(option);
        FakeOperatorServer server({RESP_OVER_RECORD});
        const CtlRun run = run_ctl({option});
        EXPECT_EQ(run.status, exited_with(0));
        EXPECT_EQ(server.request(), ints({command})) << "the request is the 4-byte command";
        EXPECT_EQ(run.out, "");
    }
}

TEST(Exchange, ShowPrintsEveryRecordUnchanged)
{
    const std::string first = " System Mode: warm\n Maintenance: off\n";
    const std::string second = std::string(1015, 'r');
    const std::string third = " Module: System Services  State: UP\n";
    Bytes second_record = record(SHOW_IN_PROGRESS, second);
    Bytes third_record = record(SHOW_IN_PROGRESS, third);
    // Pieces that arrive apart: a header in two parts, a text in two parts,
    // a record without text.
    FakeOperatorServer server({record(SHOW_IN_PROGRESS, first),
                               Bytes(second_record.begin(), second_record.begin() + 3),
                               Bytes(second_record.begin() + 3, second_record.begin() + 500),
                               Bytes(second_record.begin() + 500, second_record.end()), record(SHOW_IN_PROGRESS),
                               Bytes(third_record.begin(), third_record.begin() + 8),
                               Bytes(third_record.begin() + 8, third_record.end()), RESP_OVER_RECORD},
                              true);
    const CtlRun run = run_ctl({"-s"});
    EXPECT_EQ(run.status, exited_with(0));
    EXPECT_EQ(server.request(), ints({SHOW}));
    EXPECT_EQ(run.out, first + second + third);
    EXPECT_EQ(run.err, "No config file /tmp/.vornmgrd.startup.conf (No such file or directory)\n"
                       " Unknown start up mode\n"
                       " Assuming start up mode is cold\n"
                       "No config file /etc/norvane/vornmgrd.conf (No such file or directory)\n"
                       " Unknown configured mode\n"
                       " Setting mode to cold (allow override).\n");
}

TEST(Exchange, UnexpectedStatusEndsTheExchange)
{
    {
        FakeOperatorServer server({record(SHOW_IN_PROGRESS, "not for a maintenance request\n"), RESP_OVER_RECORD});
        const CtlRun run = run_ctl({"-m1"});
        EXPECT_EQ(run.status, exited_with(0));
        EXPECT_EQ(run.out, "");
        EXPECT_TRUE(run.err.ends_with("unxpected response 0xb to request 0x4: Protocol error\n")) << run.err;
    }
    FakeOperatorServer server({record(SHOW_IN_PROGRESS, "first\n"), record(42, "odd\n"), RESP_OVER_RECORD});
    const CtlRun run = run_ctl({"-s"});
    EXPECT_EQ(run.status, exited_with(0));
    EXPECT_EQ(run.out, "first\n");
    EXPECT_TRUE(run.err.ends_with("unxpected response 0x2a to request 0xa: Protocol error\n")) << run.err;
}

TEST(Exchange, ManagerClosingEarlyIsAFailure)
{
    {
        FakeOperatorServer server({});
        const CtlRun run = run_ctl({"-m0"});
        EXPECT_EQ(run.status, exited_with(255));
        EXPECT_EQ(server.request(), ints({MAINT_DISABLE}));
        EXPECT_TRUE(run.err.ends_with("server socket closed\n: Connection reset by peer\n")) << run.err;
    }
    // Closed in the middle of a record: the part that came is not printed.
    Bytes cut = record(SHOW_IN_PROGRESS, "a line that never ends\n");
    cut.resize(14);
    FakeOperatorServer server({record(SHOW_IN_PROGRESS, "whole\n"), cut});
    const CtlRun run = run_ctl({"-s"});
    EXPECT_EQ(run.status, exited_with(255));
    EXPECT_EQ(run.out, "whole\n");
    EXPECT_TRUE(run.err.ends_with("server socket closed\n: Connection reset by peer\n")) << run.err;
}

TEST(Exchange, RecordLongerThanTheBufferIsRejected)
{
    Bytes huge = record(SHOW_IN_PROGRESS, std::string(2000, 'h'));
    FakeOperatorServer server({huge, RESP_OVER_RECORD});
    const CtlRun run = run_ctl({"-s"});
    EXPECT_EQ(run.status, exited_with(255));
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("invalid response length 2008: Protocol error\n"), std::string::npos) << run.err;
}

TEST(Exchange, UpgradeWithChangesTellsTheManager)
{
    write_file("/var/log/apt/history.log", "Start-Date: 2024-01-01\n");
    write_file("/run/reboot-required", "*** System restart required ***\n");
    // The package manager records what it installed in its history.
    configure_stub("apt-get", StubBehaviour{.script = "[[ \" $* \" == *' upgrade '* ]] && "
                                                      "echo 'Upgrade: libfoo (1.0, 1.1)' >>/var/log/apt/history.log\n"
                                                      "exit 0\n"});
    FakeOperatorServer server({RESP_OVER_RECORD});
    const CtlRun run = run_ctl({"-u"});
    EXPECT_EQ(run.status, exited_with(0));
    EXPECT_EQ(run.out, "*** System restart required ***\n");
    EXPECT_EQ(server.request(), ints({UPGRADE_MODE}));
    EXPECT_TRUE(file_exists(UPGRADE_MARKER));
    const std::vector<std::string> calls = server.stub_calls_before_request();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), "qorfwupgrade.vek --fwpathfrompkg");
    EXPECT_EQ(calls.size(), 5u) << "update, upgrade (each through sudo), then the firmware";
}
