// SPDX-License-Identifier: Apache-2.0
// vornmgrd's start and stop, in the sandbox: options, the single instance
// under the locked PID file, readiness and the exit notice, and a start that
// fails because the publish port is taken.

#include "vorn_test_support.h"

#include <gtest/gtest.h>

#include <regex>
#include <sys/file.h>
#include <unistd.h>

#include <fcntl.h>

#include <string>

using namespace vorn_test;

namespace {

const char *const PID_FILE = "/var/run/vornmgr.pid";

class ManagerEntry : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(getenv("SANDBOX"), nullptr) << "runs only inside tools/sandbox"; }

    NotifySocket notify;
    ProcessOptions options() { return {.env = {notify.env()}}; }
};

TEST_F(ManagerEntry, HelpConfigAndUnknownOptionsEndAtOnceWithoutPidFile)
{
    for (const char *option : {"-h", "-c", "-x"}) {
        std::vector<std::string> argv = {bin_path("vornmgrd"), option};
        if (std::string(option) == "-c")
            argv.push_back("anything");
        Process manager(argv, options());
        EXPECT_EQ(manager.wait_exit(), exited_with(0)) << option;
        EXPECT_FALSE(file_exists(PID_FILE)) << option;
        EXPECT_EQ(manager.stderr_text().find("Vorn manager exiting."), std::string::npos) << option;
    }
}

TEST_F(ManagerEntry, RunsAsOneInstanceAndStopsCleanlyOnSigterm)
{
    Process first({bin_path("vornmgrd"), "-l", "DEBUG"}, options());
    ASSERT_TRUE(notify.wait_for("READY=1")) << first.stderr_text();
    EXPECT_TRUE(first.wait_for_stderr("Vorn manager starting in cold mode\n")) << first.stderr_text();
    EXPECT_EQ(read_file(PID_FILE), std::to_string(first.pid()) + "\n");

    Process second({bin_path("vornmgrd")}, options());
    EXPECT_EQ(second.wait_exit(), exited_with(1));
    EXPECT_NE(second.stderr_text().find(" ERR Another instance of vornmgr ? (PID=" + std::to_string(first.pid()) +
                                        ", err=Resource temporarily unavailable)\n"),
              std::string::npos)
        << second.stderr_text();
    EXPECT_EQ(second.stderr_text().find("Vorn manager exiting."), std::string::npos);
    EXPECT_EQ(read_file(PID_FILE), std::to_string(first.pid()) + "\n");

    ASSERT_TRUE(first.kill(SIGTERM));
    EXPECT_EQ(first.wait_exit(), exited_with(0));
    EXPECT_TRUE(notify.wait_for("STOPPING=1"));
    const std::string log = first.stderr_text();
    const size_t thread_end = log.find("Exiting comm receive thread\n");
    const size_t exiting = log.find("Vorn manager exiting.\n");
    EXPECT_NE(thread_end, std::string::npos) << log;
    EXPECT_NE(exiting, std::string::npos) << log;
    EXPECT_LT(thread_end, exiting) << log;
}

TEST_F(ManagerEntry, SigintStopsItToo)
{
    Process manager({bin_path("vornmgrd")}, options());
    ASSERT_TRUE(notify.wait_for("READY=1")) << manager.stderr_text();
    ASSERT_TRUE(manager.kill(SIGINT));
    EXPECT_EQ(manager.wait_exit(), exited_with(0));
    EXPECT_TRUE(notify.wait_for("STOPPING=1"));
}

TEST_F(ManagerEntry, EmptyLockedPidFileIsReportedAsPidMinusOne)
{
    const int fd = open(PID_FILE, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    Process manager({bin_path("vornmgrd")}, options());
    EXPECT_EQ(manager.wait_exit(), exited_with(1));
    EXPECT_NE(manager.stderr_text().find("Another instance of vornmgr ? (PID=-1, err="), std::string::npos)
        << manager.stderr_text();
    EXPECT_EQ(read_file(PID_FILE), "");
    close(fd);
}

TEST_F(ManagerEntry, DaemonModeDetachesAndKeepsTheLock)
{
    Process launcher({bin_path("vornmgrd"), "-l", "DEBUG", "-d"}, options());
    EXPECT_EQ(launcher.wait_exit(), exited_with(0));
    ASSERT_TRUE(notify.wait_for("READY=1"));
    std::optional<std::string> pid_text = read_file(PID_FILE);
    ASSERT_TRUE(pid_text.has_value());
    const pid_t daemon_pid = std::stoi(*pid_text);
    EXPECT_NE(daemon_pid, launcher.pid());

    Process second({bin_path("vornmgrd")}, options());
    EXPECT_EQ(second.wait_exit(), exited_with(1));
    EXPECT_NE(second.stderr_text().find("(PID=" + std::to_string(daemon_pid) + ","), std::string::npos)
        << second.stderr_text();

    ASSERT_EQ(kill(daemon_pid, SIGTERM), 0);
    EXPECT_TRUE(notify.wait_for("STOPPING=1"));
}

// A failed start exits 1, so that the service manager retries it, and every
// line of it ends in its own newline.
TEST_F(ManagerEntry, TakenPublishPortStopsTheStartWithStatusOne)
{
    zmq::context_t context;
    zmq::socket_t squatter(context, zmq::socket_type::pub);
    squatter.set(zmq::sockopt::linger, 0);
    squatter.bind(PUBLISH_ENDPOINT);

    Process manager({bin_path("vornmgrd")}, options());
    EXPECT_EQ(manager.wait_exit(), exited_with(1));
    const std::string log = manager.stderr_text();
    EXPECT_NE(log.find(" ERR failed pub zmq_bind Address already in use\n"), std::string::npos) << log;
    EXPECT_TRUE(std::regex_search(log, std::regex(" ERR failed to start VornMgr channels [A-Za-z ]+\n"))) << log;
    EXPECT_NE(log.find("Vorn manager exiting.\n"), std::string::npos) << log;
    EXPECT_TRUE(notify.wait_for("STOPPING=1"));
    EXPECT_FALSE(notify.wait_for("READY=1", 100ms));
}

} // namespace
