// SPDX-License-Identifier: Apache-2.0
// The manager's history of take-downs and bring-ups and vornmgrctl's views
// of it (--history, the warnings after a sequence), and the JSON status
// (--json), with the real programs and simulated modules in the sandbox.

#include "vorn_test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <list>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace vorn_test;
using json = nlohmann::json;

namespace {

const std::string HISTORY = "/var/lib/vornmgr/history.jsonl";

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

struct Ctl {
    ExitStatus status;
    std::string out;
    std::string err;
    pid_t pid;
};

Ctl ctl(std::vector<std::string> args)
{
    args.insert(args.begin(), bin_path("vornmgrctl"));
    Process process(args);
    const ExitStatus status = process.wait_exit(90s).value_or(ExitStatus{});
    return {status, process.stdout_text(), process.stderr_text(), process.pid()};
}

class History : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(getenv("SANDBOX"), nullptr) << "runs only inside tools/sandbox";
        mkdir("/etc/norvane", 0755);
        write_file("/etc/norvane/vornmgrd.conf", "vornmgrctl_override=true\nboot_mode=warm\n");
    }

    void start_manager()
    {
        NotifySocket notify;
        manager = std::make_unique<Process>(std::vector<std::string>{bin_path("vornmgrd")},
                                            ProcessOptions{.env = {notify.env()}});
        ASSERT_TRUE(notify.wait_for("READY=1")) << manager->stderr_text();
    }

    void start_module(const std::string &module, const std::string &option = "")
    {
        std::vector<std::string> argv{bin_path("vornmgr-modsim")};
        if (!option.empty())
            argv.push_back(option);
        argv.push_back(module);
        Process &sim = sims.emplace_back(argv);
        ASSERT_TRUE(sim.wait_for_stdout("INIT_COMPLETE: answered up")) << sim.stderr_text();
    }

    json last_record()
    {
        const auto lines = lines_of(read_file(HISTORY).value_or(""));
        return lines.empty() ? json() : json::parse(lines.back());
    }

    std::unique_ptr<Process> manager;
    std::list<Process> sims;
};

TEST_F(History, SilentModuleIsRecordedAsTimedOutAndNamedToTheOperator)
{
    start_manager();
    start_module("frr");
    start_module("stp", "--silent");
    start_module("sdk");
    const Ctl enable = ctl({"-m1"});
    EXPECT_EQ(enable.status, exited_with(0));
    EXPECT_EQ(enable.err, "stp did not answer GO_DOWN within 5 s\n");

    // The record was on disk before RESP_OVER: the tool read it.
    const json record = last_record();
    EXPECT_EQ(record["kind"], "maintenance-on");
    EXPECT_EQ(record["requested_by"], (json{{"uid", 0}, {"pid", enable.pid}}));
    EXPECT_EQ(record["mode"]["bits"], 0x104);
    EXPECT_EQ(record["registered"], 3);
    ASSERT_EQ(record["positions"].size(), 3u) << record;
    for (const json &position : record["positions"]) {
        const bool stp = position["module"] == "stp";
        EXPECT_EQ(position["timed_out"], stp) << position;
        EXPECT_EQ(position["received"], stp ? 2 : 3) << position;
        EXPECT_EQ(position["missing"], stp ? json::array({"stp"}) : json::array()) << position;
        EXPECT_EQ(position["answers"].size(), stp ? 2u : 3u) << position;
        EXPECT_FALSE(position["down_ms"].is_null()) << position;
        // Whole seconds on the wall clock: between the time-out less one and
        // it. stp's 5 s end before frr's 10 s would have: the operator thread,
        // asleep until frr's deadline, was woken for the earlier one.
        EXPECT_GE(position["waited_us"].get<long>(), stp ? 3'900'000 : 0) << position;
        EXPECT_LE(position["waited_us"].get<long>(), 5'500'000) << position;
    }

    const Ctl history = ctl({"--history"});
    EXPECT_EQ(history.status, exited_with(0));
    EXPECT_NE(history.out.find("maintenance-on to Maintenance, warm mode (uid 0, pid " +
                               std::to_string(enable.pid) + "): 3 modules"),
              std::string::npos)
        << history.out;
    EXPECT_NE(history.out.find(" 2 of 3  TIMED OUT, missing: stp\n"), std::string::npos) << history.out;
}

TEST_F(History, ResponsiveRunWarnsNothingAndJsonStatusAgreesWithShow)
{
    start_manager();
    start_module("frr");
    start_module("bgp", "--fail=busy");
    const Ctl enable = ctl({"-m1"});
    EXPECT_EQ(enable.status, exited_with(0));
    EXPECT_EQ(enable.err, "bgp reported a failure going down: busy\n");
    const Ctl disable = ctl({"-m0"});
    EXPECT_EQ(disable.status, exited_with(0));
    EXPECT_EQ(disable.err, "");
    EXPECT_EQ(last_record()["kind"], "maintenance-off");
    EXPECT_EQ(last_record()["positions"], json::array());

    // Both views of modules that are up again (a bring-up passes through
    // other states on its way).
    Ctl show;
    ASSERT_TRUE(wait_until([&] {
        show = ctl({"-s"});
        return lines_of(show.out).size() == 3 && show.out.find(": warm, up, up time: ") != std::string::npos &&
               show.out.find(": warm, up, up time: ") != show.out.rfind(": warm, up, up time: ");
    })) << show.out;
    const Ctl status = ctl({"--json"});
    ASSERT_EQ(status.status, exited_with(0)) << status.err;
    const json document = json::parse(status.out);
    EXPECT_EQ(show.out.find(" Current System Mode: " + document["mode"]["text"].get<std::string>() + "  \n"), 0u)
        << show.out << document;
    EXPECT_EQ(document["mode"]["words"], json::array({"warm"}));
    EXPECT_EQ(document["maintenance"], false);
    EXPECT_EQ(document["upgrade_pending"], false);
    ASSERT_EQ(document["modules"].size(), 2u) << document;
    for (const json &module : document["modules"]) {
        const std::string name = module["name"];
        char line[128];
        snprintf(line, sizeof line, "\n %-16s: %s, %s, up time: ", name.c_str(),
                 module["mode"]["text"].get<std::string>().c_str(), module["state"].get<std::string>().c_str());
        EXPECT_NE(show.out.find(line), std::string::npos) << show.out << module;
        EXPECT_EQ(module["last_take_down"]["result"], name == "bgp" ? "failed" : "down") << module;
        EXPECT_EQ(module["last_take_down"]["reason"], name == "bgp" ? json("busy") : json()) << module;
    }
}

TEST_F(History, JsonOutcomeOfASequenceIsItsOwnRecordAndExitsThreeWhenHeldUp)
{
    start_manager();
    start_module("frr");
    start_module("bgp", "--fail=busy");
    for (const std::vector<std::string> &args : {std::vector<std::string>{"-m1", "--json"}, {"-wf", "--json"}}) {
        const Ctl held = ctl(args);
        EXPECT_EQ(held.status, exited_with(3)) << held.err;
        // Only the object on standard output; the scripts' output and the
        // warning go to standard error.
        ASSERT_EQ(lines_of(held.out).size(), 1u) << held.out;
        const json outcome = json::parse(held.out);
        const bool restart = args[0] == "-wf";
        EXPECT_EQ(outcome["request"], restart ? "restart" : "maintenance-on");
        EXPECT_EQ(outcome["boot"], restart ? json("warm") : json());
        EXPECT_EQ(outcome["outcome"], "incomplete");
        EXPECT_EQ(outcome["failed"], json::array({"bgp"}));
        EXPECT_EQ(outcome["missing"], json::array());
        EXPECT_EQ(outcome["problems"], json::array({"bgp reported a failure going down: busy"}));
        // The newest record; a restart's gets its reboot command's status
        // added once the command ended, after the tool was answered.
        json stored = last_record();
        json printed = outcome["record"];
        if (restart) {
            EXPECT_EQ(printed["reboot"]["command"], stored["reboot"]["command"]);
            stored.erase("reboot");
            printed.erase("reboot");
        }
        EXPECT_EQ(printed, stored);
        EXPECT_EQ(outcome["record"]["requested_by"]["pid"], held.pid);
        EXPECT_NE(held.err.find("bgp reported a failure going down: busy\n"), std::string::npos) << held.err;
        if (!restart) {
            // Asked again, nothing changes: no record, success.
            const Ctl again = ctl({"--json", "-m1"});
            EXPECT_EQ(again.status, exited_with(0));
            EXPECT_EQ(json::parse(again.out)["outcome"], "unchanged") << again.out;
            EXPECT_EQ(json::parse(again.out)["record"], json()) << again.out;
            const Ctl disable = ctl({"-m0", "--json"});
            EXPECT_EQ(disable.status, exited_with(0));
            EXPECT_EQ(json::parse(disable.out)["outcome"], "done") << disable.out;
            EXPECT_EQ(json::parse(disable.out)["record"]["kind"], "maintenance-off") << disable.out;
        }
    }
    // Long options together stay theirs.
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--history", "--json"}, {"--json", "--history"}}) {
        const Ctl history = ctl(args);
        EXPECT_EQ(history.status, exited_with(0)) << history.err;
        // The restart's record, its reboot status perhaps added since.
        EXPECT_EQ(json::parse(lines_of(history.out).back())["started_ms"], last_record()["started_ms"]);
    }
    // Only sequences have an outcome: -p would shut the ports before a wrong
    // combination could be refused.
    const Ctl wrong = ctl({"-p0", "--json"});
    EXPECT_EQ(wrong.status, exited_with(255));
    EXPECT_EQ(wrong.err, bin_path("vornmgrctl") + ": --json goes alone, or with -m0, -m1, -w, -f, -c or -r\n");
    EXPECT_FALSE(read_file("/tmp/.ports_in_maint").has_value());
}

TEST_F(History, SurvivesAManagerRestartAndKeepsTheLast100Records)
{
    // A full file, one of its lines damaged (a power cut in the middle of a
    // write): a record past the bound pushes the oldest line out.
    const std::string planted = R"({"version":1,"kind":"recovery","boot":"warm","upgrade":false,)"
                                R"("mode":{"bits":4,"words":["warm"],"text":"warm"},)"
                                R"("mode_before":{"bits":4,"words":["warm"],"text":"warm"},"requested_by":null,)"
                                R"("started_ms":1796700000000,"duration_ms":1,"completed":true,"registered":0,)"
                                R"("positions":[],"reboot":null})";
    std::string text;
    for (int i = 0; i < 100; i++)
        text += (i == 50 ? std::string(R"({"version":1,"kind":"resta)") : planted) + "\n";
    mkdir("/var/lib/vornmgr", 0700);
    write_file(HISTORY, text);

    start_manager();
    ASSERT_EQ(ctl({"-m1"}).status, exited_with(0));
    auto lines = lines_of(*read_file(HISTORY));
    ASSERT_EQ(lines.size(), 100u);
    EXPECT_EQ(lines[49], R"({"version":1,"kind":"resta)");
    EXPECT_EQ(json::parse(lines.back())["kind"], "maintenance-on");

    manager->kill(SIGTERM);
    ASSERT_EQ(manager->wait_exit(), exited_with(0));
    start_manager();
    ASSERT_EQ(ctl({"-wf"}).status, exited_with(0));
    lines = lines_of(*read_file(HISTORY));
    ASSERT_EQ(lines.size(), 100u);
    EXPECT_EQ(lines[48], R"({"version":1,"kind":"resta)");
    EXPECT_EQ(json::parse(lines[98])["kind"], "maintenance-on");
    EXPECT_EQ(json::parse(lines[99])["kind"], "restart");

    const Ctl history = ctl({"--history", "2"});
    EXPECT_EQ(history.status, exited_with(0));
    EXPECT_EQ(history.err, "vornmgrctl: skipped 1 damaged line of " + HISTORY + "\n");
    const auto printed = lines_of(history.out);
    ASSERT_EQ(printed.size(), 2u) << history.out;
    EXPECT_NE(printed[0].find(" maintenance-on to Maintenance, warm mode (uid 0, pid "), std::string::npos);
    EXPECT_NE(printed[1].find(" restart to warm mode (uid 0, pid "), std::string::npos);
    EXPECT_NE(printed[1].find(R"(: 0 modules, )"), std::string::npos) << printed[1];

    // The reboot command's status joins the restart's record once known.
    ASSERT_TRUE(wait_until([&] { return !last_record()["reboot"]["exit_status"].is_null(); })) << last_record();
    EXPECT_EQ(last_record()["reboot"],
              (json{{"command", "sync; reboot --fast"}, {"exit_status", 0}, {"signal", nullptr}, {"failure", nullptr}}));
    const Ctl as_stored = ctl({"--history", "1", "--json"});
    EXPECT_EQ(as_stored.out, lines_of(*read_file(HISTORY)).back() + "\n");
}

TEST_F(History, BadHistoryFileNeverHoldsTheManager)
{
    const std::string aside = HISTORY + ".damaged";
    const auto set_aside = [&](const std::string &why) {
        return "ERR history file " + HISTORY + " set aside as " + aside + " (" + why + ")\n";
    };
    start_manager();
    struct stat st {};

    // A FIFO: opened without waiting, set aside, a fresh file takes the record.
    ASSERT_EQ(mkfifo(HISTORY.c_str(), 0600), 0) << strerror(errno);
    EXPECT_EQ(ctl({"-m1"}).status, exited_with(0));
    EXPECT_TRUE(manager->wait_for_stderr(set_aside("not a regular file"))) << manager->stderr_text();
    ASSERT_EQ(lstat(aside.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(lines_of(*read_file(HISTORY)).size(), 1u);
    EXPECT_EQ(last_record()["kind"], "maintenance-on");

    // One line over the byte bound: set aside in place of the FIFO.
    write_file(HISTORY, std::string(2 * 1024 * 1024 + 1, 'x'));
    EXPECT_EQ(ctl({"-m0"}).status, exited_with(0));
    EXPECT_TRUE(manager->wait_for_stderr(set_aside("larger than 2097152 bytes"))) << manager->stderr_text();
    ASSERT_EQ(lstat(aside.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 2 * 1024 * 1024 + 1);
    EXPECT_EQ(lines_of(*read_file(HISTORY)).size(), 1u);
    EXPECT_EQ(last_record()["kind"], "maintenance-off");

    // The state directory a link to a directory anyone may write, holding a
    // forged history: nothing written there, and the tool will not show it.
    // /var/lib/vornmgr is a mount point: a fresh /var/lib (this sandbox's
    // own) lets the link take its place.
    ASSERT_EQ(mount("tmpfs", "/var/lib", "tmpfs", 0, "mode=755"), 0) << strerror(errno);
    ASSERT_EQ(mkdir("/tmp/foreign", 0777), 0);
    ASSERT_EQ(chmod("/tmp/foreign", 0777), 0);
    const std::string forged = R"({"kind":"restart","positions":[]})" "\n";
    write_file("/tmp/foreign/history.jsonl", forged);
    ASSERT_EQ(symlink("/tmp/foreign", "/var/lib/vornmgr"), 0);
    EXPECT_EQ(ctl({"-m1"}).status, exited_with(0));
    EXPECT_TRUE(manager->wait_for_stderr("ERR untrusted directory /var/lib/vornmgr ignored (a symbolic link)\n"))
        << manager->stderr_text();
    EXPECT_EQ(read_file("/tmp/foreign/history.jsonl"), forged);
    const Ctl history = ctl({"--history"});
    EXPECT_EQ(history.status, exited_with(255));
    EXPECT_EQ(history.out, "");
    EXPECT_EQ(history.err, "vornmgrctl: untrusted directory /var/lib/vornmgr ignored (a symbolic link)\n");
}

TEST(HistoryTool, ManagerWithoutJsonStatusIsTooOld)
{
    // A manager of before the JSON status answers any code it does not know
    // with a bare RESP_OVER.
    const int server = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(server, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, "/run/vornmgr_cli.sock", sizeof address.sun_path - 1);
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr *>(&address), sizeof address), 0) << strerror(errno);
    ASSERT_EQ(listen(server, 1), 0);
    std::int32_t request = 0;
    std::thread old_manager([&] {
        const int conn = accept(server, nullptr, nullptr);
        if (conn < 0)
            return;
        if (read(conn, &request, sizeof request) == sizeof request) {
            const std::int32_t resp_over[2] = {12, 8};
            EXPECT_EQ(write(conn, resp_over, sizeof resp_over), 8);
        }
        close(conn);
    });
    const Ctl status = ctl({"--json"});
    old_manager.join();
    close(server);
    EXPECT_EQ(request, 20);
    EXPECT_EQ(status.status, exited_with(255));
    EXPECT_EQ(status.out, "");
    // After what the tool says of the missing boot-mode files.
    EXPECT_TRUE(status.err.ends_with("\nvornmgrctl: the running vornmgrd is too old to answer --json\n")) << status.err;
}

} // namespace
