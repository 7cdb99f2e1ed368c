// SPDX-License-Identifier: Apache-2.0
// vorn_mgr_cli_client_history.cpp - what vornmgrctl reads of the manager's
// history: --history (a timeline of the last records), --json (the status
// as one JSON document, requested with SHOW_JSON), and the warnings about
// modules that held up a sequence the tool just asked for. The file may be
// damaged (power lost in the middle of a write, a hand edit): a line that is
// not a usable record is skipped, and said so once.

#include "vorn_mgr_cli_client.h"

#include <getopt.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fstream>
#include <map>
#include <string>
#include <vector>

using json = nlohmann::ordered_json;

const char *vornmgr_history_file = VORNMGR_HISTORY_FILE;

namespace {

constexpr int default_history_count = 5;
// getopt_long's values of the long options: above every short option letter.
constexpr int option_history = 1000;
constexpr int option_json = 1001;
const struct option long_options[] = {
    {"history", optional_argument, nullptr, option_history},
    {"json", no_argument, nullptr, option_json},
    {nullptr, 0, nullptr, 0},
};

// A wall-clock time in milliseconds as the local time of day, "HH:MM:SS.mmm"
// (or with the date in front).
std::string vornmgr_clock_text(int64_t ms, bool with_date)
{
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm local{};
    if (localtime_r(&seconds, &local) == nullptr)
        return "?";
    char text[64];
    strftime(text, sizeof text, with_date ? "%Y-%m-%d %H:%M:%S" : "%H:%M:%S", &local);
    return std::string(text) + "." + std::to_string(1000 + ms % 1000).substr(1);
}

std::string vornmgr_join(const std::vector<std::string> &words)
{
    std::string joined;
    for (const std::string &word : words)
        joined += (joined.empty() ? "" : ", ") + word;
    return joined;
}

std::string vornmgr_position_row(int number, const json &position)
{
    const json &down = position.at("down_ms");
    std::string notes;
    if (position.at("timed_out").get<bool>()) {
        std::vector<std::string> missing;
        for (const json &name : position.at("missing"))
            missing.push_back(name.get<std::string>());
        notes += "  TIMED OUT, missing: " + vornmgr_join(missing);
    }
    std::vector<std::string> failed;
    for (const json &failure : position.at("failed"))
        failed.push_back(failure.at("module").get<std::string>() + " (" + failure.at("reason").get<std::string>() + ")");
    if (!failed.empty())
        notes += "  failed: " + vornmgr_join(failed);
    char row[512];
    snprintf(row, sizeof row, "  %-3d %-16s %-12s %-12s %6lld ms  %d of %d%s\n", number,
             position.at("module").get<std::string>().c_str(),
             vornmgr_clock_text(position.at("go_down_ms").get<int64_t>(), false).c_str(),
             down.is_null() ? "-" : vornmgr_clock_text(down.get<int64_t>(), false).c_str(),
             static_cast<long long>(position.at("waited_us").get<int64_t>() / 1000), position.at("received").get<int>(),
             position.at("required").get<int>(), notes.c_str());
    return row;
}

std::string vornmgr_reboot_text(const json &reboot)
{
    std::string text = "; reboot \"" + reboot.at("command").get<std::string>() + "\"";
    if (!reboot.at("signal").is_null())
        return text + " killed by signal " + std::to_string(reboot.at("signal").get<int>());
    if (!reboot.at("exit_status").is_null())
        return text + " exit status " + std::to_string(reboot.at("exit_status").get<int>());
    return text + " started";
}

// Each module that missed a GO_DOWN or reported a failure, in the order of
// the positions, with what to tell the operator about it.
std::vector<std::string> vornmgr_sequence_problems(const json &record)
{
    struct missed_t {
        std::vector<std::string> positions;  // the modules whose GO_DOWN it missed
        std::vector<int> timeouts;
    };
    std::vector<std::string> order;
    std::map<std::string, missed_t> missed;
    std::map<std::string, std::string> failed;
    const auto note = [&](const std::string &name) {
        if (missed.find(name) == missed.end() && failed.find(name) == failed.end())
            order.push_back(name);
    };
    for (const json &position : record.at("positions")) {
        for (const json &name_json : position.at("missing")) {
            const std::string name = name_json.get<std::string>();
            note(name);
            missed[name].positions.push_back(position.at("module").get<std::string>());
            missed[name].timeouts.push_back(position.at("timeout_s").get<int>());
        }
        for (const json &failure : position.at("failed")) {
            const std::string name = failure.at("module").get<std::string>();
            note(name);
            failed.emplace(name, failure.at("reason").get<std::string>());
        }
    }
    std::vector<std::string> lines;
    for (const std::string &name : order) {
        const auto found = missed.find(name);
        if (found != missed.end()) {
            std::vector<std::string> others = found->second.positions;
            size_t head = 0;
            for (size_t i = 0; i < others.size(); i++)
                if (others[i] == name)
                    head = i;
            std::string line = name + " did not answer " +
                               (others[head] == name ? std::string("GO_DOWN") : "the GO_DOWN of " + others[head]) +
                               " within " + std::to_string(found->second.timeouts[head]) + " s";
            others.erase(others.begin() + static_cast<long>(head));
            if (!others.empty())
                line += ", nor the GO_DOWN of " + vornmgr_join(others);
            lines.push_back(line);
        }
        const auto reason = failed.find(name);
        if (reason != failed.end())
            lines.push_back(name + " reported a failure going down: " + reason->second);
    }
    return lines;
}

void vornmgr_warn_damaged(int damaged, const char *path)
{
    if (damaged > 0)
        fprintf(stderr, "vornmgrctl: skipped %d damaged line%s of %s\n", damaged, damaged == 1 ? "" : "s", path);
}

bool vornmgr_parse_count(const char *text, int *count)
{
    char *end = nullptr;
    errno = 0;
    const long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1 || value > INT_MAX)
        return false;
    *count = static_cast<int>(value);
    return true;
}

} // namespace

bool vornmgr_read_history_records(const char *path, std::vector<std::string> *lines, int *damaged)
{
    std::ifstream file(path);
    if (!file.is_open())
        return false;
    std::string line;
    while (std::getline(file, line)) {
        if (line.empty())
            continue;
        const json record = json::parse(line, nullptr, false);
        if (!record.is_object() || !record.contains("kind") || !record.contains("positions")) {
            ++*damaged;
            continue;
        }
        lines->push_back(line);
    }
    return true;
}

bool vornmgr_format_history_entry(const std::string &line, std::string *text)
{
    try {
        const json record = json::parse(line);
        std::string entry = vornmgr_clock_text(record.at("started_ms").get<int64_t>(), true) + " " +
                            record.at("kind").get<std::string>() + " to " +
                            record.at("mode").at("text").get<std::string>() + " mode";
        const json &requester = record.at("requested_by");
        entry += requester.is_null() ? std::string(" (by the manager itself)")
                                     : " (uid " + std::to_string(requester.at("uid").get<unsigned>()) + ", pid " +
                                           std::to_string(requester.at("pid").get<int>()) + ")";
        entry += ": " + std::to_string(record.at("registered").get<int>()) + " modules, " +
                 std::to_string(record.at("duration_ms").get<int64_t>()) + " ms";
        if (!record.at("completed").get<bool>())
            entry += ", interrupted (the manager stopped)";
        if (!record.at("reboot").is_null())
            entry += vornmgr_reboot_text(record.at("reboot"));
        entry += "\n";
        const json &positions = record.at("positions");
        if (!positions.empty()) {
            char header[128];
            snprintf(header, sizeof header, "  %-3s %-16s %-12s %-12s %9s  %s\n", "pos", "module", "GO_DOWN", "DOWN",
                     "waited", "answers");
            entry += header;
        }
        int number = 0;
        for (const json &position : positions)
            entry += vornmgr_position_row(++number, position);
        *text = std::move(entry);
        return true;
    } catch (const std::exception &) {
        return false;
    }
}

int vornmgr_print_history(int count, bool as_json)
{
    std::vector<std::string> lines;
    int damaged = 0;
    if (!vornmgr_read_history_records(vornmgr_history_file, &lines, &damaged)) {
        if (errno == ENOENT) {
            if (!as_json)
                printf("No take-down or bring-up recorded yet\n");
            return 0;
        }
        perror(vornmgr_history_file);
        return VORNMGRCTL_EXIT_FAILURE;
    }
    const size_t first = lines.size() > static_cast<size_t>(count) ? lines.size() - static_cast<size_t>(count) : 0;
    for (size_t i = first; i < lines.size(); i++) {
        std::string text;
        if (as_json) {
            printf("%s\n", lines[i].c_str());
        } else if (vornmgr_format_history_entry(lines[i], &text)) {
            fputs(text.c_str(), stdout);
        } else {
            damaged++;
        }
    }
    fflush(stdout);
    vornmgr_warn_damaged(damaged, vornmgr_history_file);
    return 0;
}

std::vector<std::string> vornmgr_problems_of(const std::string &line)
{
    try {
        return vornmgr_sequence_problems(json::parse(line));
    } catch (const std::exception &) {
        return {};
    }
}

int64_t vornmgr_now_ms(void)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

int vornmgr_end_of_answer(vorn_mgr_cli_cmd_t cmd, bool text_received, int64_t sent_ms)
{
    if (cmd == SHOW_JSON && !text_received) {
        fprintf(stderr, "vornmgrctl: the running vornmgrd is too old to answer --json\n");
        return VORNMGRCTL_EXIT_FAILURE;
    }
    if (cmd != WARMBOOT && cmd != FASTBOOT && cmd != COLDBOOT && cmd != MAINTENANCE_MODE_ENABLE &&
        cmd != MAINTENANCE_MODE_DISABLE)
        return 0;
    // This request's record: the newest that names this process and began
    // after the request went out (a request that changed nothing has none).
    std::vector<std::string> lines;
    int damaged = 0;
    if (!vornmgr_read_history_records(vornmgr_history_file, &lines, &damaged))
        return 0;
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        try {
            const json record = json::parse(*line);
            const json &requester = record.at("requested_by");
            if (requester.is_null() || requester.at("pid").get<int>() != static_cast<int>(getpid()) ||
                record.at("started_ms").get<int64_t>() < sent_ms)
                continue;
        } catch (const std::exception &) {
            continue;
        }
        for (const std::string &problem : vornmgr_problems_of(*line))
            fprintf(stderr, "%s\n", problem.c_str());
        break;
    }
    return 0;
}

vorn_mgr_cli_cmd_t vornmgr_parse_long_options(const char *exec_name, int argc, char *argv[])
{
    bool history = false;
    bool as_json = false;
    int count = default_history_count;
    for (;;) {
        const int option = getopt_long(argc, argv, "", long_options, nullptr);
        if (option == -1)
            break;
        if (option == option_history) {
            history = true;
            // "--history=N", or the count as the next word: "--history N".
            const char *given = optarg;
            if (given == nullptr && optind < argc && argv[optind][0] != '-')
                given = argv[optind++];
            if (given != nullptr && !vornmgr_parse_count(given, &count)) {
                fprintf(stderr, "%s: --history wants a number of records from 1, not '%s'\n", exec_name, given);
                show_usage(exec_name);
                return INVALID;
            }
        } else if (option == option_json) {
            as_json = true;
        } else {
            show_usage(exec_name);
            return INVALID;
        }
    }
    if (optind < argc || (!history && !as_json)) {
        show_usage(exec_name);
        return INVALID;
    }
    if (!history)
        return SHOW_JSON;
    call_vornmgr = false;
    return vornmgr_print_history(count, as_json) == 0 ? HISTORY : INVALID;
}
