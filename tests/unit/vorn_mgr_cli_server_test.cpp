// SPDX-License-Identifier: Apache-2.0
// The operator server in-process, on a socket in the build tree: what each
// request is turned into, the socket's life, and peers that misbehave.

#include "vorn_mgr_cli_server.h"

#include "log_capture.h"
#include "log_test_util.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>

namespace {

// ---------------------------------------------------------------------------
// What a request asks for

struct PlanCase {
    int32_t cmd;
    Mode current;
    bool upgraded;
    vornmgr_cli_action_kind_t kind;
    Mode reason;
    const char *command;
};

TEST(RequestPlan, RestartsMaintenanceAndUnknownCodes)
{
    const auto M = [](unsigned bits) { return static_cast<Mode>(bits); };
    const PlanCase cases[] = {
        // Warm restart: "--fast" only when the running system already booted warm.
        {WARMBOOT, REBOOT_COLD, false, CLI_ACTION_RESTART, REBOOT_WARM, "sync; reboot"},
        {WARMBOOT, REBOOT_FAST, false, CLI_ACTION_RESTART, REBOOT_WARM, "sync; reboot"},
        {WARMBOOT, M(0x104), true, CLI_ACTION_RESTART, M(0x204), "sync; reboot --fast"},
        // Maintenance and other flags of the running mode are not carried over.
        {FASTBOOT, M(0x101), false, CLI_ACTION_RESTART, REBOOT_FAST, "sync; reboot --fast"},
        {COLDBOOT, REBOOT_WARM, true, CLI_ACTION_RESTART, M(0x201), "sync; reboot"},
        {MAINTENANCE_MODE_ENABLE, M(0x204), false, CLI_ACTION_MAINT_ENTER, M(0x304), nullptr},
        {MAINTENANCE_MODE_ENABLE, M(0x102), false, CLI_ACTION_NONE, M(0x102), nullptr},
        {MAINTENANCE_MODE_DISABLE, M(0x302), false, CLI_ACTION_MAINT_LEAVE, M(0x202), nullptr},
        {MAINTENANCE_MODE_DISABLE, M(0x100), false, CLI_ACTION_NONE, M(0x100), nullptr},
        {MAINTENANCE_MODE_DISABLE, REBOOT_WARM, false, CLI_ACTION_NONE, REBOOT_WARM, nullptr},
        {UPGRADE_MODE, REBOOT_COLD, false, CLI_ACTION_UPGRADE, REBOOT_COLD, nullptr},
        {SHOW, REBOOT_COLD, true, CLI_ACTION_SHOW, REBOOT_COLD, nullptr},
    };
    for (const PlanCase &c : cases) {
        const vornmgr_cli_action_t action = vornmgr_plan_cli(c.cmd, c.current, c.upgraded);
        SCOPED_TRACE(testing::Message() << "cmd " << c.cmd << " current 0x" << std::hex << c.current);
        EXPECT_EQ(action.kind, c.kind);
        EXPECT_EQ(action.reason, c.reason);
        EXPECT_STREQ(action.reboot_command, c.command);
    }
    for (int32_t code : {0, 6, 7, 9, 11, 12, 13, 14, -1})
        EXPECT_EQ(vornmgr_plan_cli(code, REBOOT_WARM, false).kind, CLI_ACTION_UNKNOWN) << code;
}

// A platform replaces either reboot command through the service's
// environment; an unset or empty variable keeps the default. The manager logs
// the lines it will use.
TEST(RequestPlan, RebootCommandsFromTheEnvironment)
{
    const auto read_commands = [](const char *cold, const char *fast) {
        for (auto [name, value] : {std::pair{"VORNMGR_REBOOT_COLD", cold}, std::pair{"VORNMGR_REBOOT_FAST", fast}}) {
            if (value)
                setenv(name, value, 1);
            else
                unsetenv(name);
        }
        vorn_test::LogCapture capture;
        vornmgr_read_reboot_commands();
        return capture.text();
    };

    EXPECT_NE(read_commands("systemctl reboot", "").find(
                  "reboot commands: cold \"systemctl reboot\", fast \"sync; reboot --fast\"\n"),
              std::string::npos);
    EXPECT_STREQ(vornmgr_plan_cli(COLDBOOT, REBOOT_WARM, false).reboot_command, "systemctl reboot");
    EXPECT_STREQ(vornmgr_plan_cli(WARMBOOT, REBOOT_COLD, false).reboot_command, "systemctl reboot");
    EXPECT_STREQ(vornmgr_plan_cli(FASTBOOT, REBOOT_COLD, false).reboot_command, "sync; reboot --fast");

    EXPECT_NE(read_commands(nullptr, "systemctl kexec").find(
                  "reboot commands: cold \"sync; reboot\", fast \"systemctl kexec\"\n"),
              std::string::npos);
    EXPECT_STREQ(vornmgr_plan_cli(WARMBOOT, REBOOT_WARM, false).reboot_command, "systemctl kexec");
    EXPECT_STREQ(vornmgr_plan_cli(COLDBOOT, REBOOT_WARM, false).reboot_command, "sync; reboot");

    read_commands(nullptr, nullptr);
    EXPECT_STREQ(vornmgr_plan_cli(FASTBOOT, REBOOT_COLD, false).reboot_command, "sync; reboot --fast");
}

// ---------------------------------------------------------------------------
// The server on a private path

class OperatorServer : public ::testing::Test {
protected:
    // One directory per process: ctest runs the cases in parallel processes.
    // Kept short, as a socket path must fit in 108 bytes.
    std::filesystem::path dir = log_test::unique_dir("cli_server_test");
    std::string path = (dir / "cli.sock").string();
    bool started = false;
    // Emplaced before start() by a case that reads the log: it must outlive
    // the server's thread, which TearDown stops.
    std::optional<vorn_test::LogCapture> capture;

    void SetUp() override
    {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        vornmgr_cli_socket_path = path.c_str();
        vornmgr_cli_read_timeout_sec = 2;
    }
    void TearDown() override
    {
        if (started)
            vornmgr_stop_cli();
        vornmgr_cli_socket_path = VORNMGR_CLI_SOCKET_PATH;
        vornmgr_cli_read_timeout_sec = VORNMGR_CLI_READ_TIMEOUT_SEC;
        std::filesystem::remove_all(dir);
    }

    void start()
    {
        ASSERT_TRUE(vornmgr_start_cli());
        started = true;
    }

    int connect_client()
    {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << strerror(errno);
        return fd;
    }

    // Everything until the server closes, bounded so a silent server fails the test.
    static std::string read_all(int fd, int timeout_ms = 20000)
    {
        std::string bytes;
        char buf[2048];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, timeout_ms) != 1) {
                ADD_FAILURE() << "no answer within " << timeout_ms << " ms";
                return bytes;
            }
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0)
                return bytes;
            bytes.append(buf, static_cast<size_t>(n));
        }
    }

    std::string exchange(const void *request, size_t len)
    {
        const int fd = connect_client();
        EXPECT_EQ(write(fd, request, len), static_cast<ssize_t>(len));
        std::string answer = read_all(fd);
        close(fd);
        return answer;
    }

    static std::string resp_over() { return std::string("\x0c\0\0\0\x08\0\0\0", 8); }
};

TEST_F(OperatorServer, SocketIsRootsAloneWhateverTheUmaskAndGoneAfterStop)
{
    std::ofstream(path) << "left over from an earlier run";
    const mode_t old_umask = umask(0);
    start();
    umask(old_umask);

    struct stat st{};
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // The accept loop is woken by the stop, not by a last connection.
    vornmgr_stop_cli();
    started = false;
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST_F(OperatorServer, UnusablePathLeavesTheManagerWithoutSocket)
{
    vornmgr_cli_socket_path = "/nonexistent-dir/cli.sock";
    capture.emplace();
    EXPECT_FALSE(vornmgr_start_cli());
    const std::string log = capture->take();
    EXPECT_NE(log.find("ERR error in bind cli socket No such file or directory\n"), std::string::npos) << log;

    const std::string too_long = (dir / std::string(100, 'x')).string();
    vornmgr_cli_socket_path = too_long.c_str();
    EXPECT_FALSE(vornmgr_start_cli());
    const std::string too_long_log = capture->take();
    EXPECT_NE(too_long_log.find("ERR error in bind cli socket File name too long\n"), std::string::npos)
        << too_long_log;
    for (const auto &entry : std::filesystem::directory_iterator(dir))  // not bound under a shortened name
        EXPECT_FALSE(entry.path().filename().string().starts_with("xxx")) << entry.path();
    vornmgr_stop_cli();  // harmless without a running server
}

TEST_F(OperatorServer, ShortRequestGetsABareAnswerAndNothingIsDone)
{
    capture.emplace();
    start();
    const int fd = connect_client();
    ASSERT_EQ(write(fd, "\x0a\0", 2), 2);  // half a SHOW
    shutdown(fd, SHUT_WR);
    EXPECT_EQ(read_all(fd), resp_over());
    close(fd);
    // The next connection is served normally.
    const int32_t show = SHOW;
    const std::string answer = exchange(&show, sizeof show);
    const std::string log = capture->text();
    EXPECT_NE(log.find("WARN short cli request (2 bytes) ignored\n"), std::string::npos) << log;
    ASSERT_GT(answer.size(), 16u);
    EXPECT_EQ(answer.substr(answer.size() - 8), resp_over());
}

TEST_F(OperatorServer, SilentPeerIsCutOffAndTheNextOneServed)
{
    capture.emplace();
    start();
    const int silent = connect_client();
    const int32_t show = SHOW;
    const std::string answer = exchange(&show, sizeof show);
    EXPECT_EQ(read_all(silent), "");  // closed without an answer
    close(silent);
    const std::string log = capture->text();
    EXPECT_NE(log.find("ERR error in read cli socket Resource temporarily unavailable\n"), std::string::npos) << log;
    ASSERT_GT(answer.size(), 8u);
    EXPECT_EQ(answer.substr(answer.size() - 8), resp_over());
}

} // namespace
