// SPDX-License-Identifier: Apache-2.0
// vorn_mgr_cli_client_history.cpp - what vornmgrctl reads of the manager's
// history: --history (a timeline of the last records), --json (the status
// as one JSON document, requested with SHOW_JSON), and the warnings about
// modules that held up a sequence the tool just asked for. The file may be
// damaged (power lost in the middle of a write, a hand edit): a line that is
// not a usable record is skipped, and said so once. The file is read under
// the rule the manager writes it by: root's regular file in root's own
// directory, never through a link, never more than its bound; and what it
// holds is shown with its control characters escaped, so that a damaged or
// forged record cannot drive the operator's terminal.

#include "vorn_mgr_cli_client.h"
#include "vorn_trusted_file.h"

#include <fcntl.h>
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
#include <map>
#include <string>
#include <vector>

using json = nlohmann::ordered_json;

const char *vornmgr_history_file = VORNMGR_HISTORY_FILE;

namespace {

constexpr int default_history_count = 5;
// The manager keeps its history within this many bytes
// (VORNMGR_HISTORY_MAX_BYTES in vorn_mgr_history.h): a larger file is not its
// work and is not read.
constexpr size_t history_max_bytes = 2 * 1024 * 1024;
// getopt_long's values of the long options: above every short option letter.
constexpr int option_history = 1000;
constexpr int option_json = 1001;
constexpr int option_metrics = 1002;
const struct option long_options[] = {
    {"history", optional_argument, nullptr, option_history},
    {"json", no_argument, nullptr, option_json},
    {"metrics", optional_argument, nullptr, option_metrics},
    {nullptr, 0, nullptr, 0},
};

// Text from the file as it may be printed: control characters (C0, DEL and
// the C1 range, which some terminals obey as well) become escapes.
std::string vornmgr_escape_text(const std::string &text)
{
    std::string shown;
    char escape[8];
    for (size_t i = 0; i < text.size(); i++) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
        if (c < 0x20 || c == 0x7f) {
            snprintf(escape, sizeof escape, "\\x%02x", c);
            shown += escape;
        } else if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {
            snprintf(escape, sizeof escape, "\\u%04x", next);
            shown += escape;
            i++;
        } else {
            shown += text[i];
        }
    }
    return shown;
}

// A string field of a record, escaped for printing.
std::string vornmgr_text_field(const json &value)
{
    return vornmgr_escape_text(value.get<std::string>());
}

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
            missing.push_back(vornmgr_text_field(name));
        notes += "  TIMED OUT, missing: " + vornmgr_join(missing);
    }
    std::vector<std::string> failed;
    for (const json &failure : position.at("failed"))
        failed.push_back(vornmgr_text_field(failure.at("module")) + " (" + vornmgr_text_field(failure.at("reason")) + ")");
    if (!failed.empty())
        notes += "  failed: " + vornmgr_join(failed);
    char row[512];
    snprintf(row, sizeof row, "  %-3d %-16s %-12s %-12s %6lld ms  %d of %d%s\n", number,
             vornmgr_text_field(position.at("module")).c_str(),
             vornmgr_clock_text(position.at("go_down_ms").get<int64_t>(), false).c_str(),
             down.is_null() ? "-" : vornmgr_clock_text(down.get<int64_t>(), false).c_str(),
             static_cast<long long>(position.at("waited_us").get<int64_t>() / 1000), position.at("received").get<int>(),
             position.at("required").get<int>(), notes.c_str());
    return row;
}

std::string vornmgr_reboot_text(const json &reboot)
{
    std::string text = "; reboot \"" + vornmgr_text_field(reboot.at("command")) + "\"";
    // Why no reboot came of it, when none did (records of older managers
    // have no such field).
    std::string failure;
    if (reboot.contains("failure") && !reboot.at("failure").is_null())
        failure = ": FAILED, " + vornmgr_text_field(reboot.at("failure"));
    if (!reboot.at("signal").is_null())
        return text + " killed by signal " + std::to_string(reboot.at("signal").get<int>()) + failure;
    if (!reboot.at("exit_status").is_null())
        return text + " exit status " + std::to_string(reboot.at("exit_status").get<int>()) + failure;
    return text + (failure.empty() ? " started" : failure);
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
            const std::string name = vornmgr_text_field(name_json);
            note(name);
            missed[name].positions.push_back(vornmgr_text_field(position.at("module")));
            missed[name].timeouts.push_back(position.at("timeout_s").get<int>());
        }
        for (const json &failure : position.at("failed")) {
            const std::string name = vornmgr_text_field(failure.at("module"));
            note(name);
            failed.emplace(name, vornmgr_text_field(failure.at("reason")));
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

// The history at `path`, read as the manager writes it: root's regular file
// in a directory only root may change, opened through that directory, never
// waiting on a FIFO, never more than the bound. False with errno set; when the
// file or its directory was refused, *refused says so in the tool's words.
bool vornmgr_read_history_text(const char *path, std::string *text, std::string *refused)
{
    const char *slash = strrchr(path, '/');
    const std::string dir_path = slash == nullptr ? "." : slash == path ? "/" : std::string(path, slash);
    const char *name = slash == nullptr ? path : slash + 1;
    const vorn_trusted_file_t dir = vorn_open_trusted_dir(dir_path.c_str());
    if (dir.distrust != nullptr) {
        *refused = "untrusted directory " + dir_path + " ignored (" + dir.distrust + ")";
        errno = EPERM;
        return false;
    }
    if (!dir.fd)
        return false;
    const vorn_trusted_file_t file = vorn_open_trusted_file_at(dir.fd.get(), name, O_RDONLY);
    if (file.distrust != nullptr) {
        *refused = std::string("untrusted file ") + path + " ignored (" + file.distrust + ")";
        errno = EPERM;
        return false;
    }
    if (!file.fd)
        return false;
    if (!vorn_read_bounded(file.fd.get(), history_max_bytes, text)) {
        if (errno == EFBIG)
            *refused = std::string(path) + " ignored (larger than " + std::to_string(history_max_bytes) + " bytes)";
        return false;
    }
    return true;
}

// Splits the text into records, counting the lines that are not one.
void vornmgr_split_history(const std::string &text, std::vector<std::string> *lines, int *damaged)
{
    size_t from = 0;
    while (from < text.size()) {
        size_t end = text.find('\n', from);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(from, end - from);
        from = end + 1;
        if (line.empty())
            continue;
        const json record = json::parse(line, nullptr, false);
        if (!record.is_object() || !record.contains("kind") || !record.contains("positions")) {
            ++*damaged;
            continue;
        }
        lines->push_back(std::move(line));
    }
}

} // namespace

bool vornmgr_read_history_records(const char *path, std::vector<std::string> *lines, int *damaged)
{
    std::string text;
    std::string refused;
    if (!vornmgr_read_history_text(path, &text, &refused))
        return false;
    vornmgr_split_history(text, lines, damaged);
    return true;
}

bool vornmgr_format_history_entry(const std::string &line, std::string *text)
{
    try {
        const json record = json::parse(line);
        std::string entry = vornmgr_clock_text(record.at("started_ms").get<int64_t>(), true) + " " +
                            vornmgr_text_field(record.at("kind")) + " to " +
                            vornmgr_text_field(record.at("mode").at("text")) + " mode";
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
    std::string file_text;
    std::string refused;
    if (!vornmgr_read_history_text(vornmgr_history_file, &file_text, &refused)) {
        if (!refused.empty()) {
            fprintf(stderr, "vornmgrctl: %s\n", refused.c_str());
            return VORNMGRCTL_EXIT_FAILURE;
        }
        if (errno == ENOENT) {
            if (!as_json)
                printf("No take-down or bring-up recorded yet\n");
            return 0;
        }
        perror(vornmgr_history_file);
        return VORNMGRCTL_EXIT_FAILURE;
    }
    std::vector<std::string> lines;
    int damaged = 0;
    vornmgr_split_history(file_text, &lines, &damaged);
    // Both views show the same records and count the same damaged lines over
    // the whole file: a line the timeline cannot show is damaged for --json
    // too, so it is never printed as a record there.
    std::vector<std::string> records;
    std::vector<std::string> entries;
    for (std::string &line : lines) {
        std::string entry;
        if (!vornmgr_format_history_entry(line, &entry)) {
            damaged++;
            continue;
        }
        records.push_back(std::move(line));
        entries.push_back(std::move(entry));
    }
    const size_t first = records.size() > static_cast<size_t>(count) ? records.size() - static_cast<size_t>(count) : 0;
    for (size_t i = first; i < records.size(); i++) {
        if (as_json)
            printf("%s\n", records[i].c_str());
        else
            fputs(entries[i].c_str(), stdout);
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

vorn_mgr_cli_cmd_t vornmgr_parse_long_options(const char *exec_name, int argc, char *argv[])
{
    bool history = false;
    bool as_json = false;
    bool metrics = false;
    const char *metrics_file = nullptr;
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
        } else if (option == option_metrics) {
            // Only "--metrics=FILE": a word after --metrics is not taken as
            // its file, so that a mistyped command never replaces one.
            metrics = true;
            metrics_file = optarg;
        } else {
            show_usage(exec_name);
            return INVALID;
        }
    }
    if (optind < argc || (!history && !as_json && !metrics) || (metrics && (history || as_json)) ||
        (metrics_file != nullptr && metrics_file[0] == '\0')) {
        show_usage(exec_name);
        return INVALID;
    }
    if (metrics) {
        call_vornmgr = false;
        return vornmgr_print_metrics(metrics_file) == 0 ? METRICS : INVALID;
    }
    if (!history)
        return SHOW_JSON;
    call_vornmgr = false;
    return vornmgr_print_history(count, as_json) == 0 ? HISTORY : INVALID;
}
