// SPDX-License-Identifier: Apache-2.0
// What vornmgrctl makes of the manager's history file: a damaged line is
// skipped and counted the same way by both views, never fatal; text from the
// file reaches the terminal escaped; and a record is turned into the lines
// the operator is shown after a sequence.

#include "vorn_mgr_cli_client.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
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

// A directory of the tool's rule for the history (root's, written by root
// alone), whatever the umask of the build.
fs::path history_dir()
{
    const fs::path dir = fs::current_path() / "vornmgrctl_history_test.d";
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    return dir;
}

TEST(HistoryFile, DamagedLinesAreSkippedAndCountedNeverFatal)
{
    const fs::path path = history_dir() / "vornmgrctl_history_test.jsonl";
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

struct Printed {
    int status;
    std::string out;
    std::string err;
};

// What a call printed on standard output and standard error.
Printed printed_by(const std::function<int()> &call)
{
    const auto text_of = [](FILE *file) {
        std::string text;
        rewind(file);
        for (int c; (c = fgetc(file)) != EOF;)
            text += static_cast<char>(c);
        fclose(file);
        return text;
    };
    FILE *out = tmpfile();
    FILE *err = tmpfile();
    fflush(stdout);
    const int saved_out = dup(STDOUT_FILENO);
    const int saved_err = dup(STDERR_FILENO);
    dup2(fileno(out), STDOUT_FILENO);
    dup2(fileno(err), STDERR_FILENO);
    const int status = call();
    fflush(stdout);
    dup2(saved_out, STDOUT_FILENO);
    dup2(saved_err, STDERR_FILENO);
    close(saved_out);
    close(saved_err);
    return {status, text_of(out), text_of(err)};
}

TEST(HistoryFile, TextAndJsonShowTheSameRecordsAndSkipTheSameLines)
{
    const fs::path path = history_dir() / "history.jsonl";
    std::string older = record(position("frr", 10, "", ""));
    std::string newer = older;
    older.replace(older.find("10012"), 5, "11111");
    newer.replace(newer.find("10012"), 5, "22222");
    // Not a record; one the timeline cannot show, among the newest.
    const std::string wrong_type = R"({"kind":"restart","positions":[],"started_ms":"soon"})";
    std::ofstream(path) << "{\"cut\n" << older << "\n" << older << "\n" << wrong_type << "\n" << newer << "\n";
    vornmgr_history_file = path.c_str();
    const Printed text = printed_by([] { return vornmgr_print_history(2, false); });
    const Printed as_json = printed_by([] { return vornmgr_print_history(2, true); });
    vornmgr_history_file = VORNMGR_HISTORY_FILE;
    fs::remove_all(path.parent_path());

    EXPECT_EQ(text.status, 0);
    EXPECT_EQ(as_json.status, 0);
    EXPECT_NE(text.out.find(": 3 modules, 11111 ms\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find(": 3 modules, 22222 ms\n"), std::string::npos) << text.out;
    EXPECT_EQ(as_json.out, older + "\n" + newer + "\n");
    const std::string skipped = "vornmgrctl: skipped 2 damaged lines of " + path.string() + "\n";
    EXPECT_EQ(text.err, skipped);
    EXPECT_EQ(as_json.err, skipped);
}

TEST(HistoryText, ControlCharactersFromTheFileAreEscaped)
{
    // A forged record: an escape sequence in a module's name, a newline and a
    // C1 control (U+009B, a CSI to some terminals) in the reboot command.
    std::string line = record(position(R"(\u001b[2Jfrr)", 10, R"("\u001b[31mstp")", ""));
    line.replace(line.find(R"("reboot":null)"), 13,
                 R"("reboot":{"command":"reboot\n\u009b1m","exit_status":0,"signal":null})");
    std::string text;
    ASSERT_TRUE(vornmgr_format_history_entry(line, &text));
    EXPECT_NE(text.find("; reboot \"reboot\\x0a\\u009b1m\" exit status 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\\x1b[2Jfrr"), std::string::npos) << text;
    EXPECT_NE(text.find("missing: \\x1b[31mstp\n"), std::string::npos) << text;
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
    EXPECT_EQ(vornmgr_problems_of(line),
              std::vector<std::string>{"\\x1b[31mstp did not answer the GO_DOWN of \\x1b[2Jfrr within 10 s"});
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
