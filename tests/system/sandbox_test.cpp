// SPDX-License-Identifier: Apache-2.0
// Runs inside tools/sandbox (one sandbox per case): checks the isolation every
// other system test relies on, and the support library itself.
#include "vorn_test_support.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <linux/magic.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <thread>
#include <unistd.h>

using namespace vorn_test;
namespace fs = std::filesystem;

namespace {

long file_system_type(const std::string &path)
{
    struct statfs info {};
    if (statfs(path.c_str(), &info) != 0)
        return -1;
    return long(info.f_type);
}

// True if `entry` (a name directly in `dir`) is on the way to a directory the
// sandbox keeps visible: the working directory or the source tree.
bool leads_to_kept_directory(const std::string &dir, const std::string &entry)
{
    std::string prefix = dir + "/" + entry;
    for (const std::string &kept : {fs::current_path().string(), source_dir()})
        if (kept == prefix || kept.starts_with(prefix + "/"))
            return true;
    return false;
}

std::vector<std::string> unexpected_entries(const std::string &dir, std::initializer_list<std::string> allowed)
{
    std::vector<std::string> found;
    for (const auto &entry : fs::directory_iterator(dir)) {
        std::string name = entry.path().filename();
        bool is_allowed = std::find(allowed.begin(), allowed.end(), name) != allowed.end();
        if (!is_allowed && !leads_to_kept_directory(dir, name))
            found.push_back(name);
    }
    return found;
}

ExitStatus run(std::vector<std::string> argv, ProcessOptions options = {})
{
    Process process(std::move(argv), std::move(options));
    auto status = process.wait_exit();
    return status.value_or(ExitStatus{});
}

} // namespace

// ---------------------------------------------------------------------------
// Isolation
// ---------------------------------------------------------------------------

TEST(SandboxFileSystem, TemporaryDirectoriesAreFreshTmpfs)
{
    for (std::string dir : {"/run", "/tmp", "/var/tmp", "/var/log/apt", "/var/lib/vornmgr"})
        EXPECT_EQ(file_system_type(dir), long(TMPFS_MAGIC)) << dir;
    // "mount" is util-linux's own state directory, created by mount(8).
    EXPECT_EQ(unexpected_entries("/run", {"sandbox", "mount"}), std::vector<std::string>{});
    EXPECT_EQ(unexpected_entries("/tmp", {}), std::vector<std::string>{});
    EXPECT_EQ(unexpected_entries("/var/tmp", {}), std::vector<std::string>{});
    EXPECT_EQ(unexpected_entries("/var/lib/vornmgr", {}), std::vector<std::string>{});
    EXPECT_FALSE(file_exists("/var/log/apt/history.log"));
    EXPECT_EQ(std::getenv("SANDBOX"), std::string("1"));
}

TEST(SandboxFileSystem, EtcAndUsrLibAreWritableOverlays)
{
    EXPECT_EQ(file_system_type("/etc"), long(OVERLAYFS_SUPER_MAGIC));
    EXPECT_EQ(file_system_type("/usr/lib"), long(OVERLAYFS_SUPER_MAGIC));
    fs::create_directories("/etc/norvane");
    write_file("/etc/norvane/vornmgrd.conf", "boot_mode=warm\n");
    EXPECT_EQ(read_file("/etc/norvane/vornmgrd.conf"), "boot_mode=warm\n");
    // The lower layer is still there.
    EXPECT_TRUE(file_exists("/etc/passwd"));
}

TEST(SandboxFileSystem, SourceAndWorkingDirectoriesStayVisible)
{
    EXPECT_TRUE(file_exists(source_dir() + "/tools/sandbox"));
    EXPECT_TRUE(file_exists(fs::current_path() / "CTestTestfile.cmake") ||
                file_exists(fs::current_path() / "CMakeCache.txt"))
        << fs::current_path();
}

TEST(SandboxProcesses, CommandIsAloneInItsPidNamespace)
{
    // The sandbox's init is pid 1 and the test its child.
    EXPECT_TRUE(getpid() == 1 || getppid() == 1) << getpid() << " " << getppid();
    int processes = 0;
    for (const auto &entry : fs::directory_iterator("/proc")) {
        std::string name = entry.path().filename();
        processes += std::all_of(name.begin(), name.end(), ::isdigit) ? 1 : 0;
    }
    EXPECT_LE(processes, 3); // init, this test, perhaps a reaped-late helper
}

TEST(SandboxNetwork, OnlyLoopbackExistsAndIsUp)
{
    // /proc/net/dev lists the interfaces of this network namespace: two
    // header lines, then one line per interface.
    auto dev = read_file("/proc/net/dev");
    ASSERT_TRUE(dev);
    std::istringstream lines(*dev);
    std::vector<std::string> interfaces;
    std::string line;
    std::getline(lines, line);
    std::getline(lines, line);
    while (std::getline(lines, line))
        interfaces.push_back(line.substr(0, line.find(':')).erase(0, line.find_first_not_of(' ')));
    EXPECT_EQ(interfaces, std::vector<std::string>{"lo"});

    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    ASSERT_EQ(ioctl(fd, SIOCGIFFLAGS, &request), 0);
    EXPECT_TRUE(request.ifr_flags & IFF_UP);
    close(fd);
}

TEST(SandboxNetwork, FixedPortsAreFree)
{
    // Parallel sandboxes each have their own 127.0.0.1:49002.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(49002);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address), 0) << std::strerror(errno);
    close(fd);
}

// ---------------------------------------------------------------------------
// Stubs
// ---------------------------------------------------------------------------

TEST(SandboxStubs, RebootThroughTheShellIsLoggedNotRun)
{
    // As the manager runs it: in the background, through the shell.
    EXPECT_EQ(run({"/bin/sh", "-c", "sync; reboot --fast &"}), exited_with(0));
    EXPECT_TRUE(wait_for_stub_call("reboot --fast"));
    // An absolute path reaches a stub as well.
    EXPECT_EQ(run({"/usr/sbin/reboot"}), exited_with(0));
    EXPECT_TRUE(wait_for_stub_call("reboot"));
}

TEST(SandboxStubs, HelpersAtFixedPathsRunInTheirLanguages)
{
    EXPECT_EQ(run({"/bin/sh", "-c", "/usr/bin/python3 /usr/lib/norvane/pelmar.py"}), exited_with(0));
    EXPECT_EQ(run({"/bin/sh", "/usr/lib/norvane/lorrin.sh", "restore"}), exited_with(0));
    EXPECT_EQ(run({"/usr/lib/norvane/qorfwupgrade.vek", "--fwpathfrompkg"}), exited_with(0));
    EXPECT_EQ(stub_log(), (std::vector<std::string>{"pelmar.py", "lorrin.sh restore",
                                                    "qorfwupgrade.vek --fwpathfrompkg"}));
}

TEST(SandboxStubs, ConfiguredExitStatusOutputAndSideEffect)
{
    configure_stub("ifdown", {.exit_code = 3, .stdout_text = "down\n", .stderr_text = "warn\n"});
    Process ifdown({"ifdown", "-a", "-X", "eth0"});
    EXPECT_EQ(ifdown.wait_exit(), exited_with(3));
    EXPECT_EQ(ifdown.stdout_text(), "down\n");
    EXPECT_EQ(ifdown.stderr_text(), "warn\n");

    configure_stub("apt-get", {.script = "echo \"upgraded $*\" >> /var/log/apt/history.log\n"});
    EXPECT_EQ(run({"/bin/sh", "-c", "sudo DEBIAN_FRONTEND=noninteractive apt-get -y upgrade"}), exited_with(0));
    EXPECT_EQ(read_file("/var/log/apt/history.log"), "upgraded -y upgrade\n");
    EXPECT_EQ(stub_log(), (std::vector<std::string>{"ifdown -a -X eth0",
                                                    "sudo DEBIAN_FRONTEND=noninteractive apt-get -y upgrade",
                                                    "apt-get -y upgrade"}));
}

TEST(SandboxStubs, SudoRunsItsCommandWithAssignments)
{
    Process sudo({"sudo", "-E", "GREETING=hello", "sh", "-c", "echo $GREETING; exit 4"});
    EXPECT_EQ(sudo.wait_exit(), exited_with(4));
    EXPECT_EQ(sudo.stdout_text(), "hello\n");
    EXPECT_TRUE(wait_for_stub_call("sudo -E GREETING=hello sh -c echo $GREETING; exit 4"));
}

TEST(SandboxStubs, DelayedStubCanBeKilledAfterItLogged)
{
    configure_stub("ifreload", {.delay_seconds = 60});
    Process ifreload({"ifreload", "-a"});
    EXPECT_TRUE(wait_for_stub_call("ifreload -a"));
    EXPECT_FALSE(ifreload.wait_exit(200ms));
    ifreload.kill(SIGKILL);
    EXPECT_EQ(ifreload.wait_exit(), killed_by(SIGKILL));
}

// ---------------------------------------------------------------------------
// Support library
// ---------------------------------------------------------------------------

TEST(SupportProcess, CapturesBothStreamsAndExitCode)
{
    Process process({"sh", "-c", "echo out; echo err >&2; printf 'no newline'; exit 7"});
    EXPECT_EQ(process.wait_exit(), exited_with(7));
    EXPECT_EQ(process.stdout_text(), "out\nno newline");
    EXPECT_EQ(process.stderr_text(), "err\n");
    EXPECT_FALSE(process.kill(SIGTERM)); // already reaped
}

TEST(SupportProcess, WaitsForTextThenTalksOnStdin)
{
    Process process({"sh", "-c", "echo ready >&2; read line; echo \"got $line\" >&2; read rest; echo end"},
                    {.stdin_pipe = true});
    ASSERT_TRUE(process.wait_for_stderr("ready"));
    std::size_t mark = process.stderr_text().size();
    EXPECT_FALSE(process.wait_for_stderr("ready", 100ms, mark)); // only old text has it
    process.write_stdin("abc\n");
    EXPECT_TRUE(process.wait_for_stderr(std::regex("got [a-c]{3}\n"), DEFAULT_TIMEOUT, mark));
    process.close_stdin();
    EXPECT_EQ(process.wait_exit(), exited_with(0));
    EXPECT_EQ(process.stdout_text(), "end\n");
}

TEST(SupportProcess, WaitForTextGivesUpAtTheBoundOrWhenTheStreamEnds)
{
    Process quiet({"sleep", "30"});
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(quiet.wait_for_stdout("never", 300ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 300ms);

    Process ended({"true"});
    start = std::chrono::steady_clock::now();
    EXPECT_FALSE(ended.wait_for_stdout("never", 30s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(SupportProcess, EnvironmentTextInputAndSignals)
{
    Process env({"sh", "-c", "echo \"$FOO\"; cat"}, {.env = {"FOO=bar"}, .stdin_text = "piped\n"});
    EXPECT_EQ(env.wait_exit(), exited_with(0));
    EXPECT_EQ(env.stdout_text(), "bar\npiped\n");

    Process sleeper({"sleep", "30"});
    EXPECT_TRUE(sleeper.running());
    EXPECT_TRUE(sleeper.kill(SIGTERM));
    EXPECT_EQ(sleeper.wait_exit(), killed_by(SIGTERM));
}

TEST(SupportProcess, DestructorKillsAndReaps)
{
    pid_t pid;
    {
        Process sleeper({"sleep", "30"});
        pid = sleeper.pid();
        ASSERT_EQ(::kill(pid, 0), 0);
    }
    EXPECT_EQ(::kill(pid, 0), -1); // gone, not a zombie
    EXPECT_EQ(errno, ESRCH);
}

TEST(SupportProcess, MissingProgramThrows)
{
    EXPECT_THROW(Process({"/nonexistent/program"}), std::runtime_error);
}

TEST(SupportNotifySocket, ReceivesDatagramsAsSystemdWouldSendThem)
{
    NotifySocket notify;
    EXPECT_EQ(notify.env(), "NOTIFY_SOCKET=" + notify.path());

    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, notify.path().c_str(), sizeof address.sun_path - 1);
    std::string datagram = "STATUS=starting\nREADY=1";
    std::thread sender([&] {
        std::this_thread::sleep_for(100ms); // arrives while wait_for blocks
        sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&address), sizeof address);
    });
    EXPECT_TRUE(notify.wait_for("READY=1"));
    sender.join();
    close(fd);
    EXPECT_FALSE(notify.wait_for("STOPPING=1", 100ms));
    EXPECT_FALSE(notify.wait_for("READY", 0ms)); // whole lines only

    // What the daemons use.
    setenv("NOTIFY_SOCKET", notify.path().c_str(), 1);
    EXPECT_GT(sd_notify(0, "STOPPING=1"), 0);
    unsetenv("NOTIFY_SOCKET");
    EXPECT_TRUE(notify.wait_for("STOPPING=1"));
    EXPECT_EQ(notify.messages().size(), 2u);
}

TEST(SupportWire, BuildsAndParsesPackages)
{
    Bytes registration = pkg(msg(7, {9}));
    EXPECT_EQ(to_hex(registration), "10 00 00 00 07 00 00 00 0c 00 00 00 09 00 00 00");
    EXPECT_EQ(pkg({107, 8}), pkg(msg(107)));
    EXPECT_EQ(to_hex(pkg(msg(107))), "0c 00 00 00 6b 00 00 00 08 00 00 00");
    EXPECT_EQ(to_ints(pkg(msg(-1, {0x01020304}))), (std::vector<std::int32_t>{16, -1, 12, 0x01020304}));

    auto messages = parse_pkg(pkg(msg(104, {9, 4, 103}), msg(105, {2, 5}), msg_raw(109, {0xff})));
    ASSERT_TRUE(messages);
    ASSERT_EQ(messages->size(), 3u);
    EXPECT_EQ((*messages)[0].type, 104);
    EXPECT_EQ((*messages)[0].fields(), (std::vector<std::int32_t>{9, 4, 103}));
    EXPECT_EQ((*messages)[1].len, 16);
    EXPECT_EQ((*messages)[2].payload, Bytes{0xff});

    Bytes short_total = registration;
    short_total[0] = 12;
    EXPECT_FALSE(parse_pkg(short_total));
    EXPECT_FALSE(parse_pkg(pkg({7, 4}))); // message len below its header
    EXPECT_FALSE(parse_pkg(pkg({7, 20}))); // message overruns the package
    EXPECT_EQ(int_at(registration, 12), 9);
    EXPECT_FALSE(int_at(registration, 13));
}

TEST(SupportZmq, ModuleAndManagerExchangeRequestsAndBroadcasts)
{
    FakeModule module;
    // No manager yet: the request times out and the module can try again.
    EXPECT_FALSE(module.request(pkg(msg(7, {9})), 200ms));

    FakeManager manager;
    std::thread manager_side([&] {
        auto request = manager.receive_request();
        manager.reply(request == pkg(msg(7, {9})) ? pkg(msg(107)) : pkg(msg(108)));
    });
    auto reply = module.request_retrying(pkg(msg(7, {9})));
    manager_side.join();
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, pkg(msg(107))) << to_hex(*reply);

    ASSERT_TRUE(module.wait_subscribed());
    ASSERT_TRUE(manager.wait_for_subscribers(1));
    EXPECT_TRUE(manager.publish(pkg(msg(106, {1}))));
    EXPECT_TRUE(manager.publish(pkg(msg(100, {9, 4, 100}))));
    auto go_down = module.next_broadcast_of_type(100);
    ASSERT_TRUE(go_down);
    EXPECT_EQ(*go_down, pkg(msg(100, {9, 4, 100}))) << to_hex(*go_down);
    EXPECT_FALSE(module.next_broadcast(100ms));
}

TEST(SupportZmq, ModuleFollowsARestartedManager)
{
    FakeModule module;
    auto serve_one_request = [](FakeManager &manager, std::int32_t answer) {
        return std::thread([&manager, answer] {
            if (manager.receive_request())
                manager.reply(pkg(msg(answer)));
        });
    };
    {
        FakeManager first;
        auto server = serve_one_request(first, 107);
        EXPECT_EQ(module.request(pkg(msg(7, {9}))), pkg(msg(107)));
        server.join();
        ASSERT_TRUE(module.wait_subscribed(1));
    }
    FakeManager second;
    ASSERT_TRUE(module.wait_subscribed(2));
    ASSERT_TRUE(second.wait_for_subscribers(1));
    EXPECT_TRUE(second.publish(pkg(msg(110))));
    EXPECT_EQ(module.next_broadcast(), pkg(msg(110)));
    auto server = serve_one_request(second, 108);
    EXPECT_EQ(module.request_retrying(pkg(msg(8, {9}))), pkg(msg(108)));
    server.join();
}
