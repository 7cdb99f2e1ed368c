// SPDX-License-Identifier: Apache-2.0
// vornmgrctl --metrics as a monitoring system reads it: parsed by the
// Prometheus client library's parser, served by the real node exporter from
// the written file, and the liveness of modules judged from keepalives, with
// the real manager and simulated modules in the sandbox.

#include "vorn_test_support.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <dirent.h>
#include <sys/stat.h>

#include <list>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

using namespace vorn_test;
using json = nlohmann::json;

namespace {

const std::string TEXTFILE_DIR = "/var/lib/prometheus/node-exporter";
const std::string PROM_FILE = TEXTFILE_DIR + "/vornmgr.prom";

struct Outcome {
    ExitStatus status;
    std::string out;
    std::string err;
};

Outcome run(std::vector<std::string> argv, ProcessOptions options = {})
{
    Process process(std::move(argv), std::move(options));
    const ExitStatus status = process.wait_exit(90s).value_or(ExitStatus{});
    return {status, process.stdout_text(), process.stderr_text()};
}

Outcome ctl(std::vector<std::string> args)
{
    args.insert(args.begin(), bin_path("vornmgrctl"));
    return run(args);
}

// Every sample as the Prometheus client library parses the text:
// 'name{label="value",...}' (labels sorted) to its value. Fails the test if
// the text does not parse.
std::map<std::string, double> samples_of(const std::string &text)
{
    const Outcome parsed = run({VORN_PYTHON3, "-c", R"(
import json, sys
from prometheus_client.parser import text_string_to_metric_families
found = {}
for family in text_string_to_metric_families(sys.stdin.read()):
    for s in family.samples:
        labels = ",".join('%s="%s"' % item for item in sorted(s.labels.items()))
        found[s.name + ("{%s}" % labels if labels else "")] = s.value
print(json.dumps(found))
)"},
                           {.stdin_text = text});
    EXPECT_EQ(parsed.status, exited_with(0)) << parsed.err << text;
    return json::parse(parsed.out.empty() ? "{}" : parsed.out).get<std::map<std::string, double>>();
}

class Metrics : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(getenv("SANDBOX"), nullptr) << "runs only inside tools/sandbox";
        mkdir("/etc/norvane", 0755);
    }

    void start_manager(const std::string &extra_config = "")
    {
        write_file("/etc/norvane/vornmgrd.conf", "vornmgrctl_override=true\nboot_mode=warm\n" + extra_config);
        NotifySocket notify;
        manager = std::make_unique<Process>(std::vector<std::string>{bin_path("vornmgrd")},
                                            ProcessOptions{.env = {notify.env()}});
        ASSERT_TRUE(notify.wait_for("READY=1")) << manager->stderr_text();
    }

    Process &start_module(const std::string &module, const std::string &option = "")
    {
        std::vector<std::string> argv{bin_path("vornmgr-modsim")};
        if (!option.empty())
            argv.push_back(option);
        argv.push_back(module);
        Process &sim = sims.emplace_back(argv);
        EXPECT_TRUE(sim.wait_for_stdout("INIT_COMPLETE: answered up")) << sim.stderr_text();
        return sim;
    }

    std::map<std::string, double> metrics()
    {
        const Outcome result = ctl({"--metrics"});
        EXPECT_EQ(result.status, exited_with(0)) << result.err;
        return samples_of(result.out);
    }

    std::unique_ptr<Process> manager;
    std::list<Process> sims;
};

TEST_F(Metrics, MaintenanceCycleAndASilentModuleAsParsedByPrometheus)
{
    start_manager();
    start_module("frr");
    start_module("stp", "--silent");
    ASSERT_EQ(ctl({"-m1"}).status, exited_with(0));

    const Outcome in_maintenance = ctl({"--metrics"});
    ASSERT_EQ(in_maintenance.status, exited_with(0)) << in_maintenance.err;
    auto m = samples_of(in_maintenance.out);
    EXPECT_EQ(m["vornmgr_up"], 1);
    EXPECT_EQ(m["vornmgr_build_info{version=\"" VORN_VERSION "\"}"], 1);
    EXPECT_GT(m["vornmgr_manager_start_time_seconds"], 1.6e9);
    EXPECT_EQ(m["vornmgr_mode{mode=\"warm\"}"], 1);
    EXPECT_EQ(m["vornmgr_mode{mode=\"cold\"}"], 0);
    EXPECT_EQ(m["vornmgr_maintenance"], 1);
    EXPECT_GE(m["vornmgr_maintenance_since_seconds"], m["vornmgr_manager_start_time_seconds"]);
    EXPECT_EQ(m["vornmgr_module_registered{module=\"frr\"}"], 1);
    EXPECT_EQ(m["vornmgr_module_registered{module=\"ospf\"}"], 0);
    EXPECT_EQ(m["vornmgr_module_up{module=\"frr\"}"], 0);
    EXPECT_EQ(m["vornmgr_module_state{module=\"frr\",state=\"down\"}"], 1);
    EXPECT_EQ(m["vornmgr_module_starts_total{module=\"frr\"}"], 1);
    EXPECT_EQ(m["vornmgr_takedown_timed_out{module=\"stp\"}"], 1);
    EXPECT_EQ(m["vornmgr_takedown_timed_out{module=\"frr\"}"], 0);
    EXPECT_GE(m["vornmgr_takedown_wait_seconds{module=\"stp\"}"], 3.9);
    EXPECT_GE(m["vornmgr_takedown_duration_seconds"], m["vornmgr_takedown_wait_seconds{module=\"stp\"}"]);

    // The example alert rules are valid YAML and use only metrics the tool
    // writes.
    const Outcome rules = run({VORN_PYTHON3, "-c",
                           "import sys, yaml\n"
                           "for g in yaml.safe_load(open(sys.argv[1]))['groups']:\n"
                           "    for r in g['rules']:\n"
                           "        assert r['alert'] and r['expr'] and r['for'], r\n"
                           "        print(r['expr'])\n",
                           source_dir() + "/examples/vornmgr.rules.yml"});
    ASSERT_EQ(rules.status, exited_with(0)) << rules.err;
    const std::regex metric_name("vornmgr_[a-z_]+");
    int names = 0;
    for (std::sregex_iterator it(rules.out.begin(), rules.out.end(), metric_name), end; it != end; ++it, ++names)
        EXPECT_NE(in_maintenance.out.find("\n# TYPE " + it->str() + " "), std::string::npos) << it->str();
    EXPECT_GE(names, 3);

    ASSERT_EQ(ctl({"-m0"}).status, exited_with(0));
    ASSERT_TRUE(wait_until([&] {
        m = metrics();
        return m["vornmgr_module_up{module=\"frr\"}"] == 1;
    })) << ctl({"--metrics"}).out;
    EXPECT_EQ(m["vornmgr_maintenance"], 0);
    EXPECT_EQ(m.count("vornmgr_maintenance_since_seconds"), 0u);
}

TEST_F(Metrics, NodeExporterServesTheFileAndAStoppedManagerShowsDown)
{
    start_manager();
    start_module("frr");
    ASSERT_EQ(ctl({"--metrics=" + PROM_FILE}).status, exited_with(0));
    Process exporter({"prometheus-node-exporter", "--web.listen-address=127.0.0.1:9100",
                      "--collector.disable-defaults", "--collector.textfile",
                      "--collector.textfile.directory=" + TEXTFILE_DIR});
    const auto scrape = [] { return run({"curl", "-sf", "http://127.0.0.1:9100/metrics"}).out; };
    std::string served;
    ASSERT_TRUE(wait_until([&] {
        served = scrape();
        return served.find("\nvornmgr_up 1\n") != std::string::npos;
    })) << served << exporter.stderr_text();
    EXPECT_NE(served.find("\nvornmgr_module_up{module=\"frr\"} 1\n"), std::string::npos) << served;
    EXPECT_NE(served.find("\nnode_textfile_scrape_error 0\n"), std::string::npos) << served;

    manager->kill(SIGTERM);
    ASSERT_EQ(manager->wait_exit(), exited_with(0));
    const Outcome printed = ctl({"--metrics"});
    EXPECT_EQ(printed.status, exited_with(255));
    EXPECT_EQ(samples_of(printed.out), (std::map<std::string, double>{
                                           {"vornmgr_up", 0}, {"vornmgr_build_info{version=\"" VORN_VERSION "\"}", 1}}));
    EXPECT_EQ(ctl({"--metrics=" + PROM_FILE}).status, exited_with(255));
    EXPECT_EQ(read_file(PROM_FILE), printed.out);
    ASSERT_TRUE(wait_until([&] {
        served = scrape();
        return served.find("\nvornmgr_up 0\n") != std::string::npos;
    })) << served;
    EXPECT_EQ(served.find("vornmgr_module_"), std::string::npos) << served;

    // Replaced by a rename: nothing but the file is left in the directory.
    std::vector<std::string> entries;
    DIR *dir = opendir(TEXTFILE_DIR.c_str());
    ASSERT_NE(dir, nullptr);
    while (const dirent *entry = readdir(dir))
        if (entry->d_name[0] != '.')
            entries.push_back(entry->d_name);
    closedir(dir);
    EXPECT_EQ(entries, std::vector<std::string>{"vornmgr.prom"});
}

TEST_F(Metrics, ModulesThatStopAnsweringKeepalivesAreCountedAndWarnedOnce)
{
    start_manager("keepalive_interval=1\n");
    start_module("frr");
    Process &killed = start_module("bgp");
    Process &stopped = start_module("ospf");
    killed.kill(SIGKILL);
    stopped.kill(SIGSTOP);

    json status;
    const auto module = [&](const std::string &name) {
        for (const json &row : status["modules"])
            if (row["name"] == name)
                return row;
        return json();
    };
    ASSERT_TRUE(wait_until(
        [&] {
            status = json::parse(ctl({"--json"}).out);
            return module("bgp")["keepalive_missed"] >= 3 && module("ospf")["keepalive_missed"] >= 2;
        },
        20s))
        << status;
    EXPECT_EQ(status["keepalive_interval_s"], 1);
    EXPECT_EQ(module("frr")["keepalive_missed"], 0);
    EXPECT_FALSE(module("frr")["last_keepalive"].is_null()) << status;
    // The text report does not change: the killed module still reports up.
    EXPECT_NE(ctl({"-s"}).out.find(" bgp             : warm, up, up time: "), std::string::npos);

    auto m = metrics();
    EXPECT_GE(m["vornmgr_module_keepalive_missed{module=\"bgp\"}"], 3);
    EXPECT_EQ(m["vornmgr_module_keepalive_missed{module=\"frr\"}"], 0);
    EXPECT_EQ(m["vornmgr_module_up{module=\"bgp\"}"], 1);

    const std::regex bgp_warned("WARN bgp missed 2 keepalives in a row, (never answered one|last answer [0-9]+ seconds ago)\n");
    const std::string log = manager->stderr_text();
    EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), bgp_warned), std::sregex_iterator()), 1)
        << log;

    stopped.kill(SIGCONT);
    EXPECT_TRUE(manager->wait_for_stderr(std::regex("ospf answers keepalives again \\(seq [0-9]+, after [0-9]+ missed\\)")))
        << manager->stderr_text();
    ASSERT_TRUE(wait_until([&] { return metrics()["vornmgr_module_keepalive_missed{module=\"ospf\"}"] == 0; }));
}

} // namespace
