// SPDX-License-Identifier: Apache-2.0
// vorn_mgr_cli_client_outcome.cpp - what vornmgrctl tells once a sequence it
// asked for is answered: the modules that held it up, on standard error, and
// with --json the request's own history record and its outcome, so that a
// script learns whether every module answered without reading prose.

#include "vorn_mgr_cli_client.h"

#include <fcntl.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <vector>

using json = nlohmann::ordered_json;

bool outcome_json = false;

namespace {

// Standard output as it was before --json sent everything else to standard
// error; -1 until then.
int outcome_fd = -1;

bool vornmgr_is_sequence(vorn_mgr_cli_cmd_t cmd)
{
    return cmd == WARMBOOT || cmd == FASTBOOT || cmd == COLDBOOT || cmd == MAINTENANCE_MODE_ENABLE ||
           cmd == MAINTENANCE_MODE_DISABLE;
}

const char *vornmgr_request_kind(vorn_mgr_cli_cmd_t cmd)
{
    if (cmd == MAINTENANCE_MODE_ENABLE)
        return "maintenance-on";
    if (cmd == MAINTENANCE_MODE_DISABLE)
        return "maintenance-off";
    return "restart";
}

json vornmgr_request_boot(vorn_mgr_cli_cmd_t cmd)
{
    if (cmd == WARMBOOT)
        return "warm";
    if (cmd == FASTBOOT)
        return "fast";
    if (cmd == COLDBOOT)
        return "cold";
    return nullptr;
}

// This request's record, and its line: the newest that names this process
// and began after the request went out (a request that changed nothing has
// none).
std::optional<json> vornmgr_own_record(const std::vector<std::string> &lines, int64_t sent_ms,
                                       const std::string **own_line)
{
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        try {
            json record = json::parse(*line);
            const json &requester = record.at("requested_by");
            if (requester.is_null() || requester.at("pid").get<int>() != static_cast<int>(getpid()) ||
                record.at("started_ms").get<int64_t>() < sent_ms)
                continue;
            *own_line = &*line;
            return record;
        } catch (const std::exception &) {
            continue;
        }
    }
    return std::nullopt;
}

// Adds `name` to `names` once.
void vornmgr_add_name(json &names, const json &name)
{
    for (const json &known : names)
        if (known == name)
            return;
    names.push_back(name);
}

// Writes the outcome object to the standard output kept aside; the exit status.
int vornmgr_print_outcome(vorn_mgr_cli_cmd_t cmd, const char *outcome, const std::vector<std::string> &problems,
                          const std::optional<json> &record)
{
    json missing = json::array();
    json failed = json::array();
    if (record) {
        try {
            for (const json &position : record->at("positions")) {
                for (const json &name : position.at("missing"))
                    vornmgr_add_name(missing, name);
                for (const json &failure : position.at("failed"))
                    vornmgr_add_name(failed, failure.at("module"));
            }
        } catch (const std::exception &) {
            // A record the manager wrote has them; what lacks them names none.
        }
    }
    const bool incomplete = !missing.empty() || !failed.empty();
    const json document = {
        {"version", 1},
        {"request", vornmgr_request_kind(cmd)},
        {"boot", vornmgr_request_boot(cmd)},
        {"outcome", incomplete ? "incomplete" : outcome},
        {"problems", problems},
        {"missing", missing},
        {"failed", failed},
        {"record", record ? *record : json(nullptr)},
    };
    // Replacement characters rather than an exception for a damaged name.
    const std::string text = document.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    fflush(stdout);
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t got = write(outcome_fd, text.data() + written, text.size() - written);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            perror("vornmgrctl: writing the outcome");
            return VORNMGRCTL_EXIT_FAILURE;
        }
        written += static_cast<size_t>(got);
    }
    return incomplete ? VORNMGRCTL_EXIT_INCOMPLETE : 0;
}

} // namespace

bool vornmgr_take_outcome_json(int *argc, char *argv[])
{
    if (*argc != 3)
        return true;
    const int json_at = strcmp(argv[1], "--json") == 0 ? 1 : strcmp(argv[2], "--json") == 0 ? 2 : 0;
    if (json_at == 0)
        return true;
    const char *option = argv[3 - json_at];
    // Long options together (--history --json) are the long options' own.
    if (strncmp(option, "--", 2) == 0)
        return true;
    // Only the sequence requests have an outcome; -p, -u and -d would do
    // their work before a wrong combination could be refused.
    if (option[0] != '-' || option[1] == '\0' || strchr("mwfcr", option[1]) == nullptr) {
        fprintf(stderr, "%s: --json goes alone, or with -m0, -m1, -w, -f, -c or -r\n", argv[0]);
        return false;
    }
    if (json_at == 1)
        argv[1] = argv[2];
    argv[2] = nullptr;
    *argc = 2;
    outcome_json = true;
    // From here on, a refusal too goes to standard error.
    return vornmgr_outcome_begin();
}

bool vornmgr_outcome_begin(void)
{
    if (!outcome_json || outcome_fd >= 0)
        return true;
    fflush(stdout);
    outcome_fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (outcome_fd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        perror("vornmgrctl: setting standard output aside");
        return false;
    }
    return true;
}

int vornmgr_end_of_answer(vorn_mgr_cli_cmd_t cmd, bool text_received, int64_t sent_ms)
{
    if (cmd == SHOW_JSON && !text_received) {
        fprintf(stderr, "vornmgrctl: the running vornmgrd is too old to answer --json\n");
        return VORNMGRCTL_EXIT_FAILURE;
    }
    if (!vornmgr_is_sequence(cmd))
        return 0;
    std::vector<std::string> lines;
    int damaged = 0;
    if (!vornmgr_read_history_records(vornmgr_history_file, &lines, &damaged))
        return outcome_json ? vornmgr_print_outcome(cmd, "unknown", {}, std::nullopt) : 0;
    const std::string *own_line = nullptr;
    const std::optional<json> record = vornmgr_own_record(lines, sent_ms, &own_line);
    std::vector<std::string> problems;
    if (record) {
        problems = vornmgr_problems_of(*own_line);
        for (const std::string &problem : problems)
            fprintf(stderr, "%s\n", problem.c_str());
    }
    if (!outcome_json)
        return 0;
    return vornmgr_print_outcome(cmd, record ? "done" : "unchanged", problems, record);
}
