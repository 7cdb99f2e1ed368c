// SPDX-License-Identifier: Apache-2.0
// What systemd sees of the programs, in the sandbox: journal priorities on a
// standard error that is the journal's stream, STATUS= as the system changes,
// the watchdog's pings through a take-down and their end when the operator
// thread hangs, and --version.

#include "vorn_test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using namespace vorn_test;

namespace {

class SystemdIntegration : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(getenv("SANDBOX"), nullptr) << "runs only inside tools/sandbox"; }

    // Datagrams received so far that hold `line` as one of their lines.
    int count(const std::string &line)
    {
        int found = 0;
        for (const std::string &message : notify.messages()) {
            std::istringstream lines(message);
            for (std::string each; std::getline(lines, each);)
                found += each == line;
        }
        return found;
    }
    bool wait_for_status(const std::regex &pattern, Timeout timeout = DEFAULT_TIMEOUT)
    {
        return wait_until(
            [&] {
                const std::vector<std::string> messages = notify.messages();
                return std::any_of(messages.begin(), messages.end(),
                                   [&](const std::string &message) { return std::regex_search(message, pattern); });
            },
            timeout);
    }
    std::string all_messages()
    {
        std::string all;
        for (const std::string &message : notify.messages())
            all += message + "|";
        return all;
    }

    NotifySocket notify;
};

TEST_F(SystemdIntegration, EveryProgramPrintsItsVersionAndDoesNothingElse)
{
    for (const char *program : {"vornmgrd", "brel-system-services", "vornmgrctl", "vornmgr-modsim"}) {
        Process process({bin_path(program), "--version"}, {.env = {notify.env()}});
        EXPECT_EQ(process.wait_exit(), exited_with(0)) << program;
        EXPECT_EQ(process.stdout_text(), std::string(program) + " " VORN_VERSION "\n");
        EXPECT_EQ(process.stderr_text(), "") << program;
    }
    EXPECT_FALSE(file_exists("/var/run/vornmgr.pid"));
    EXPECT_FALSE(file_exists("/var/run/brel_system_services.pid"));
    EXPECT_EQ(notify.messages(), std::vector<std::string>{});
}

// JOURNAL_STREAM names the file the daemon's standard error is appended to,
// as systemd names the journal's stream; a daemon whose standard error is
// anything else writes no priorities. Without WATCHDOG_USEC nothing pings.
TEST_F(SystemdIntegration, JournalPrioritiesOnlyWhenStandardErrorIsTheJournal)
{
    const std::string journal = "/tmp/journal-stream";
    write_file(journal, "");
    struct stat st {};
    ASSERT_EQ(stat(journal.c_str(), &st), 0);
    const std::string stream_env = "JOURNAL_STREAM=" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
    auto into_journal = [&] {
        return std::vector<std::string>{"/bin/sh", "-c", "exec \"$0\" 2>>" + journal, bin_path("vornmgrd")};
    };

    Process manager(into_journal(), {.env = {notify.env(), stream_env}});
    ASSERT_TRUE(notify.wait_for("READY=1")) << read_file(journal).value_or("");
    Process second(into_journal(), {.env = {notify.env(), stream_env}});
    EXPECT_EQ(second.wait_exit(), exited_with(1));
    Process third({bin_path("vornmgrd")}, {.env = {notify.env(), stream_env}});
    EXPECT_EQ(third.wait_exit(), exited_with(1));

    const std::string log = read_file(journal).value_or("");
    const std::string stamp = R"(\d+\.\d{6} \d{4}-\d\d-\d\d \d\d:\d\d:\d\d )";
    EXPECT_TRUE(std::regex_search(log, std::regex("(^|\n)<6>" + stamp + R"(vorn_mgr\.cpp:\d+ vornmgrd version )" +
                                                  std::string(VORN_VERSION) + "\n")))
        << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("\n<6>" + stamp + R"(\S+ Vorn manager starting in cold mode\n)")))
        << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("\n<3>" + stamp + R"(\S+ ERR Another instance of vornmgr \?)")))
        << log;
    // Every line has exactly one priority.
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(std::regex_match(line, std::regex("<[2-7]>[^<].*"))) << line;
    EXPECT_TRUE(std::regex_search(third.stderr_text(), std::regex("^" + stamp + R"(\S+ ERR Another instance of vornmgr \?)")))
        << third.stderr_text();
    EXPECT_EQ(third.stderr_text().find('<'), std::string::npos) << third.stderr_text();

    EXPECT_FALSE(wait_until([&] { return count("WATCHDOG=1") > 0; }, 1500ms)) << all_messages();
    EXPECT_EQ(log.find("watchdog"), std::string::npos) << log;
    ASSERT_TRUE(manager.kill(SIGTERM));
    EXPECT_EQ(manager.wait_exit(), exited_with(0));
}

// How long the manager's log says the position of `mod` lasted, in seconds:
// from its GO_DOWN to the last answer about it; negative when not found.
double position_seconds(const std::string &log, const std::string &mod)
{
    double opened = -1;
    double last_answer = -1;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line.ends_with("Send going down module " + mod))
            opened = std::stod(line);
        else if (line.find("GOING_DOWN ack from ") != std::string::npos &&
                 line.find(" for " + mod + " (") != std::string::npos)
            last_answer = std::stod(line);
    }
    return opened < 0 || last_answer < 0 ? -1 : last_answer - opened;
}

// A module that never answers its GO_DOWN holds the take-down at its position
// for the whole time-out: a wait the watchdog must not count against the
// operator thread. STATUS= follows the modules and the sequence: the first
// position at once, a later one only if it lasts a quarter of a second
// (ospf's, which never ends by an answer), not one that ran through in
// milliseconds (bgp's, unless a loaded machine held it that long).
TEST_F(SystemdIntegration, StatusFollowsTheSystemAndPingsGoOnThroughATakeDown)
{
    Process manager({bin_path("vornmgrd")}, {.env = {notify.env(), "WATCHDOG_USEC=1000000"}});
    ASSERT_TRUE(notify.wait_for("READY=1")) << manager.stderr_text();
    EXPECT_TRUE(notify.wait_for("STATUS=cold; 0 modules up")) << all_messages();
    EXPECT_TRUE(notify.wait_for("WATCHDOG=1")) << manager.stderr_text();

    Process frr({bin_path("vornmgr-modsim"), "frr"});
    Process bgp({bin_path("vornmgr-modsim"), "bgp"});
    Process ospf({bin_path("vornmgr-modsim"), "--silent", "ospf"});
    EXPECT_TRUE(notify.wait_for("STATUS=cold; 3 modules up")) << all_messages();

    Process maintenance({bin_path("vornmgrctl"), "-m1"});
    ASSERT_TRUE(notify.wait_for("STATUS=taking down ospf (4 of 8)")) << all_messages();
    EXPECT_EQ(count("STATUS=taking down frr (2 of 8)"), 1) << all_messages();
    const double bgp_lasted = position_seconds(manager.stderr_text(), "bgp");
    ASSERT_GE(bgp_lasted, 0) << manager.stderr_text();
    if (bgp_lasted < 0.2) {
        EXPECT_EQ(count("STATUS=taking down bgp (3 of 8)"), 0) << bgp_lasted << " s " << all_messages();
    }
    const int pings_before = count("WATCHDOG=1");
    EXPECT_EQ(maintenance.wait_exit(20s), exited_with(0)) << manager.stderr_text();
    EXPECT_TRUE(manager.wait_for_stderr("ospf: cond timeout error")) << manager.stderr_text();
    // About five seconds of waiting at two pings a second.
    EXPECT_GE(count("WATCHDOG=1") - pings_before, 6) << all_messages();
    EXPECT_TRUE(wait_for_status(std::regex(R"(^STATUS=maintenance since \d\d:\d\d:\d\d; 0 modules up$)")))
        << all_messages();
    EXPECT_EQ(manager.stderr_text().find("watchdog: the"), std::string::npos) << manager.stderr_text();

    ASSERT_TRUE(manager.kill(SIGTERM));
    EXPECT_EQ(manager.wait_exit(), exited_with(0));
}

// The debug hook hangs the operator thread at its next request: the pings
// stop within two intervals, and a stop still ends the manager.
TEST_F(SystemdIntegration, HungOperatorThreadStopsTheWatchdogPings)
{
    Process manager({bin_path("vornmgrd")},
                    {.env = {notify.env(), "WATCHDOG_USEC=400000", "VORNMGR_DEBUG_HANG=operator"}});
    ASSERT_TRUE(notify.wait_for("READY=1")) << manager.stderr_text();
    ASSERT_TRUE(notify.wait_for("WATCHDOG=1")) << manager.stderr_text();

    Process status({bin_path("vornmgrctl"), "-s"});
    EXPECT_TRUE(manager.wait_for_stderr("the operator thread hangs")) << manager.stderr_text();
    EXPECT_TRUE(manager.wait_for_stderr(
        std::regex(" ERR watchdog: the operator thread has been busy in one step for 400 ms or more")))
        << manager.stderr_text();
    const int pings = count("WATCHDOG=1");
    EXPECT_FALSE(wait_until([&] { return count("WATCHDOG=1") > pings; }, 1200ms)) << all_messages();

    ASSERT_TRUE(manager.kill(SIGTERM));
    EXPECT_EQ(manager.wait_exit(), exited_with(0)) << manager.stderr_text();
}

} // namespace
