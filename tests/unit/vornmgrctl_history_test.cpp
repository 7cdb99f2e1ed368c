// SPDX-License-Identifier: Apache-2.0
// What vornmgrctl makes of the manager's history file: a damaged line is
// skipped and counted, never fatal, and a record is turned into the lines the
// operator is shown after a sequence.

#include "vorn_mgr_cli_client.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// One position of a record, as the manager writes it.
std::string position(const std::string &module, int timeout, const std::string &missing, const std::string &failed)
{
    return R"({"module":")" + module + R"(","id":2,"timeout_s":)" + std::to_string(timeout) +
           R"(,"go_down_ms":1796700000000,"down_ms":1796700005000,"waited_us":5000000,"required":3,)"
           R"("received":2,"timed_out":)" + (missing.empty() ? "false" : "true") + R"(,"answers":[],"missing":[)" +
           missing + R"(],"failed":[)" + failed + "]}";
}

std::string record(const std::string &positions)
{
    return R"({"version":1,"kind":"maintenance-on","mode":{"bits":260,"text":"Maintenance, warm"},)"
           R"("requested_by":{"uid":0,"pid":42},"started_ms":1796700000000,"duration_ms":10012,"completed":true,)"
           R"("registered":3,"positions":[)" + positions + R"(],"reboot":null})";
}

TEST(HistoryFile, DamagedLinesAreSkippedAndCountedNeverFatal)
{
    const fs::path path = fs::current_path() / "vornmgrctl_history_test.jsonl";
    const std::string good = record(position("frr", 10, "", ""));
    // A field of the wrong type parses but cannot be shown.
    const std::string wrong_type = record(position("frr", 10, "", "")).replace(good.find("\"registered\":3"), 14,
                                                                                "\"registered\":\"3\"");
    std::ofstream(path) << good << "\n"
                        << "{\"version\":1,\"kind\":\"resta\n"  // cut short by a power loss
                        << "[1,2,3]\n\n"                         // not a record; an empty line
                        << wrong_type << "\n"
                        << good;                                 // no final newline
    std::vector<std::string> lines;
    int damaged = 0;
    ASSERT_TRUE(vornmgr_read_history_records(path.c_str(), &lines, &damaged));
    EXPECT_EQ(lines, (std::vector<std::string>{good, wrong_type, good}));
    EXPECT_EQ(damaged, 2);

    std::string text;
    EXPECT_FALSE(vornmgr_format_history_entry(wrong_type, &text));
    ASSERT_TRUE(vornmgr_format_history_entry(good, &text));
    EXPECT_NE(text.find(" maintenance-on to Maintenance, warm mode (uid 0, pid 42): 3 modules, 10012 ms\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\n  1   frr "), std::string::npos) << text;
    fs::remove(path);

    EXPECT_FALSE(vornmgr_read_history_records((path.string() + ".none").c_str(), &lines, &damaged));
}

TEST(HistoryFile, OneWarningPerModuleThatHeldTheSequenceUp)
{
    // stp missed its own GO_DOWN and frr's; sdk missed only bgp's; bgp failed.
    const std::string line = record(position("frr", 10, R"("stp")", "") + "," +
                                    position("bgp", 5, R"("sdk")", R"({"module":"bgp","reason":"busy","code":1})") +
                                    "," + position("stp", 5, R"("stp")", ""));
    EXPECT_EQ(vornmgr_problems_of(line),
              (std::vector<std::string>{"stp did not answer GO_DOWN within 5 s, nor the GO_DOWN of frr",
                                        "sdk did not answer the GO_DOWN of bgp within 5 s",
                                        "bgp reported a failure going down: busy"}));
    EXPECT_EQ(vornmgr_problems_of(record(position("frr", 10, "", ""))), std::vector<std::string>{});
    EXPECT_EQ(vornmgr_problems_of("{\"positions\":7}"), std::vector<std::string>{});
}

} // namespace
