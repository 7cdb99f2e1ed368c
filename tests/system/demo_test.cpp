// SPDX-License-Identifier: Apache-2.0
// The demonstration (scripts/demo, the README's run command) run whole in the
// sandbox, as scripts/run runs it: its timeline (the manager's history, as
// vornmgrctl --history prints it), what the manager logged,
// what the simulated modules answered and the one reboot it asked for.

#include "vorn_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

using namespace vorn_test;

namespace {

// The take-down order of the switch's modules: 9, 2, 3, 4, 6, 5, 7, 8.
const std::vector<std::string> LAYERING_ORDER = {"System Services", "frr", "bgp", "ospf",
                                                 "trelld", "stp", "swivend", "sdk"};
// Every module but System Services; stp is the Python example module, the
// others are simulators. Both kinds log the same line for each answer.
const std::vector<std::string> OTHER_MODULES = {"frr", "bgp", "ospf", "stp", "trelld", "swivend", "sdk"};

std::string module_log(const std::string &module)
{
    return module == "stp" ? "/run/demo/python-stp.log" : "/run/demo/modsim-" + module + ".log";
}
const std::string MANAGER_LOG = "/run/demo/vornmgrd.log";

std::string build_dir()
{
    const std::string modsim = bin_path("vornmgr-modsim");
    return modsim.substr(0, modsim.rfind('/'));
}

Process run_demo(std::vector<std::string> extra = {})
{
    std::vector<std::string> argv{"bash", source_dir() + "/scripts/demo", build_dir()};
    argv.insert(argv.end(), extra.begin(), extra.end());
    return Process(argv);
}

struct TimelineRow {
    std::string module;
    long waited_ms;
    int answers;
    int required;
    bool timed_out;
};

// The rows of the timeline the demonstration printed.
std::vector<TimelineRow> timeline_rows(const std::string &output)
{
    static const std::regex row(
        R"(^ +(\d+) +(.+?) +\d\d:\d\d:\d\d\.\d{3} +\d\d:\d\d:\d\d\.\d{3} +(\d+) ms  (\d+) of (\d+)(  TIMED OUT, missing: .*)?$)");
    std::vector<TimelineRow> rows;
    std::istringstream lines(output);
    std::string line;
    std::smatch found;
    while (std::getline(lines, line)) {
        if (std::regex_match(line, found, row))
            rows.push_back({found[2], std::stol(found[3]), std::stoi(found[4]), std::stoi(found[5]),
                            found[6].matched});
    }
    return rows;
}

// The modules named by the manager's log lines with this text, in order.
std::vector<std::string> logged_modules(const std::string &log, const std::string &text)
{
    std::vector<std::string> modules;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        const auto at = line.find(text);
        if (at != std::string::npos)
            modules.push_back(line.substr(at + text.size()));
    }
    return modules;
}

std::vector<std::string> twice(const std::vector<std::string> &order)
{
    std::vector<std::string> both = order;
    both.insert(both.end(), order.begin(), order.end());
    return both;
}

} // namespace

TEST(Demonstration, TakesEveryModuleDownInLayeringOrderAndRebootsOnce)
{
    Process demo = run_demo();
    ASSERT_EQ(demo.wait_exit(150s), exited_with(0)) << demo.stdout_text() << demo.stderr_text();
    const std::string output = demo.stdout_text();
    EXPECT_EQ(output.find("FAILED"), std::string::npos) << output;
    EXPECT_NE(output.find("example_module.py stp: the Python example module"), std::string::npos) << output;

    // The printed timeline: the warm restart, every position with all eight answers.
    const auto rows = timeline_rows(output);
    std::vector<std::string> order;
    for (const TimelineRow &row : rows) {
        order.push_back(row.module);
        EXPECT_EQ(row.answers, 8) << row.module << "\n" << output;
        EXPECT_EQ(row.required, 8) << row.module;
        EXPECT_FALSE(row.timed_out) << row.module;
    }
    EXPECT_EQ(order, LAYERING_ORDER) << output;
    EXPECT_NE(output.find("every module answered every GO_DOWN in time"), std::string::npos) << output;
    // The timeline is the manager's history record of the restart, which
    // names who asked and, once known, the reboot command's exit status.
    EXPECT_TRUE(std::regex_search(output, std::regex(R"(\d\d:\d\d\.\d{3} restart to warm mode \(uid 0, pid \d+\): )"
                                                     R"(8 modules, \d+ ms; reboot "sync; reboot --fast" exit status 0\n)")))
        << output;

    // The manager's own account: two take-downs (maintenance, then the
    // restart), each in layering order, each module's answers all counted.
    const auto log = read_file(MANAGER_LOG);
    ASSERT_TRUE(log);
    EXPECT_EQ(logged_modules(*log, "Send going down module "), twice(LAYERING_ORDER));
    EXPECT_EQ(logged_modules(*log, "Send down for module "), twice(LAYERING_ORDER));
    EXPECT_EQ(log->find("cond timeout"), std::string::npos) << *log;
    EXPECT_EQ(log->find("delayed going_down response"), std::string::npos) << *log;
    for (const std::string &about : LAYERING_ORDER) {
        for (const std::string &from : LAYERING_ORDER) {
            const auto acks = logged_modules(*log, "GOING_DOWN ack from " + from + " for " + about + " (");
            EXPECT_EQ(acks.size(), 2u) << from << " about " << about;
        }
    }

    // Each module went down itself twice and came back up once. A
    // module prints its answer once the manager acknowledged it, which may be
    // just after the demonstration ended: wait for the lines.
    for (const std::string &module : OTHER_MODULES) {
        const std::string path = module_log(module);
        const auto count = [&](const std::string &text) {
            return logged_modules(read_file(path).value_or(""), text).size();
        };
        EXPECT_TRUE(wait_until([&] {
            return count("GO_DOWN for " + module + " (Maintenance, warm), this module: answered") == 1 &&
                   count("GO_DOWN for " + module + " (warm), this module: answered") == 1;
        })) << read_file(path).value_or("(no log)");
        EXPECT_EQ(count("COME_UP for all (warm): starting the handshake again"), 1u) << module;
    }

    // One reboot, the fast one a warm-running system asks for, after the
    // last module went down.
    const auto calls = stub_log();
    const auto reboots = std::count_if(calls.begin(), calls.end(),
                                       [](const std::string &call) { return call.rfind("reboot", 0) == 0; });
    EXPECT_EQ(reboots, 1) << testing::PrintToString(calls);
    EXPECT_NE(std::find(calls.begin(), calls.end(), "reboot --fast"), calls.end()) << testing::PrintToString(calls);
    EXPECT_LT(log->rfind("Send down for module sdk"), log->find("Rebooting with sync; reboot --fast option"));
}

TEST(Demonstration, SaysWhichStepFailedWhenAModuleStaysSilent)
{
    Process demo = run_demo({"bgp=--silent"});
    ASSERT_EQ(demo.wait_exit(150s), exited_with(1)) << demo.stdout_text() << demo.stderr_text();
    const std::string output = demo.stdout_text();
    const auto rows = timeline_rows(output);
    ASSERT_EQ(rows.size(), LAYERING_ORDER.size()) << output;
    for (const TimelineRow &row : rows) {
        EXPECT_EQ(row.timed_out, row.module == "bgp") << row.module << "\n" << output;
        EXPECT_EQ(row.answers, row.module == "bgp" ? 7 : 8) << row.module;
    }
    EXPECT_NE(output.find("FAILED: a module did not answer every GO_DOWN in time"), std::string::npos) << output;
    // The operator was told as the restart ended.
    EXPECT_NE(output.find("\n  bgp did not answer GO_DOWN within 5 s\n"), std::string::npos) << output;
    EXPECT_NE(output.find("TIMED OUT, missing: bgp\n"), std::string::npos) << output;
    EXPECT_NE(output.find(" ERR bgp: cond timeout error (110) Expected 8 responses, received 7"), std::string::npos)
        << output;
}

TEST(Demonstration, RefusesWhatItCannotRun)
{
    Process wrong_module = run_demo({"vornmgr=--silent"});
    EXPECT_EQ(wrong_module.wait_exit(), exited_with(2));
    EXPECT_NE(wrong_module.stderr_text().find("'vornmgr=--silent' is not MODULE=OPTIONS"), std::string::npos)
        << wrong_module.stderr_text();

    Process no_programs({"bash", source_dir() + "/scripts/demo", "/nonexistent"});
    EXPECT_EQ(no_programs.wait_exit(), exited_with(1));
    EXPECT_NE(no_programs.stdout_text().find("FAILED: no program vornmgrd in /nonexistent"), std::string::npos)
        << no_programs.stdout_text();
    EXPECT_TRUE(stub_log().empty());
}
