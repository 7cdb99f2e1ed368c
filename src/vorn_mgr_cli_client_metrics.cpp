// SPDX-License-Identifier: Apache-2.0
// vorn_mgr_cli_client_metrics.cpp - --metrics: the manager's state in the
// Prometheus text format, for the node exporter's textfile collector. Built
// from what --json shows (SHOW_JSON) and from the newest take-down in the
// history file, so the manager does no work of its own for it. Times are
// timestamps rather than durations, so that a value only changes when
// something happens. A manager that does not answer is vornmgr_up 0 and
// nothing else of it: stale values would pass for current ones.

#include "unique_fd.h"
#include "vorn_atomic_file.h"
#include "vorn_mgr_cli_client.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <nlohmann/json.hpp>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

using json = nlohmann::ordered_json;

namespace {

// A take-down holds the operator thread for up to the sum of its positions'
// time-outs (55 s), and the manager serves one operator at a time: a status
// request made meanwhile is answered after it. Longer than that, the manager
// is not answering.
constexpr int status_answer_timeout_s = 90;

using labels_t = std::vector<std::pair<std::string, std::string>>;

// The text format's escapes for a label value: backslash, double quote and
// newline.
std::string vornmgr_escape_label(const std::string &value)
{
    std::string escaped;
    for (const char c : value) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '"')
            escaped += "\\\"";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

// A whole number of milliseconds or microseconds as seconds, exactly.
std::string vornmgr_seconds_of(long long count, long long per_second)
{
    const char *sign = count < 0 ? "-" : "";
    const long long magnitude = count < 0 ? -count : count;
    char text[48];
    snprintf(text, sizeof text, "%s%lld.%0*lld", sign, magnitude / per_second, per_second == 1000 ? 3 : 6,
             magnitude % per_second);
    return text;
}

// The families in the order they are written; every sample of a family
// follows its HELP and TYPE lines.
class vornmgr_metrics_writer {
public:
    void family(const char *name, const char *type, const char *help)
    {
        name_ = name;
        text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void sample(const labels_t &labels, const std::string &value)
    {
        text_ += name_;
        if (!labels.empty()) {
            text_ += "{";
            for (size_t i = 0; i < labels.size(); i++)
                text_ += (i ? "," : "") + labels[i].first + "=\"" + vornmgr_escape_label(labels[i].second) + "\"";
            text_ += "}";
        }
        text_ += " " + value + "\n";
    }
    void sample(const labels_t &labels, long long value) { sample(labels, std::to_string(value)); }
    void sample(long long value) { sample({}, value); }
    const std::string &text() const { return text_; }

private:
    std::string name_;
    std::string text_;
};

void vornmgr_write_status_metrics(vornmgr_metrics_writer &out, const json &status)
{
    out.family("vornmgr_manager_start_time_seconds", "gauge", "When vornmgrd became ready, seconds since the epoch.");
    if (!status.at("start_time").is_null())
        out.sample(status.at("start_time").get<long long>());

    const json &words = status.at("mode").at("words");
    const auto has_word = [&](const char *word) {
        for (const json &w : words)
            if (w == word)
                return true;
        return false;
    };
    out.family("vornmgr_mode", "gauge", "The system's boot mode: 1 for the current one.");
    for (const char *mode : {"cold", "fast", "warm"})
        out.sample({{"mode", mode}}, has_word(mode) ? 1 : 0);
    out.family("vornmgr_maintenance", "gauge", "Whether the system is in maintenance mode.");
    out.sample(status.at("maintenance").get<bool>() ? 1 : 0);
    out.family("vornmgr_maintenance_since_seconds", "gauge",
               "When maintenance mode was entered through vornmgrctl, seconds since the epoch.");
    if (!status.at("maintenance_since").is_null())
        out.sample(status.at("maintenance_since").get<long long>());
    out.family("vornmgr_ports_in_maintenance", "gauge", "Whether the front-panel ports are shut for maintenance.");
    out.sample(status.at("ports_in_maintenance").get<bool>() ? 1 : 0);
    out.family("vornmgr_upgrade_pending", "gauge", "Whether a package upgrade awaits the next restart.");
    out.sample(status.at("upgrade_pending").get<bool>() ? 1 : 0);

    // Every module of the switch has a row, registered or not, so that an
    // absent module is a 0 rather than a missing series.
    std::array<const json *, MAX_MODULES> rows{};
    for (const json &module : status.at("modules")) {
        const int id = module.at("id").get<int>();
        if (id >= FRR && id <= SYSTEM_SERVICES)
            rows[static_cast<size_t>(id)] = &module;
    }
    const auto name_of = [](int id) { return std::string(mod_id_to_str(static_cast<Module>(id))); };
    out.family("vornmgr_module_registered", "gauge", "Whether the module is registered with vornmgrd.");
    for (int id = FRR; id <= SYSTEM_SERVICES; id++)
        out.sample({{"module", name_of(id)}}, rows[static_cast<size_t>(id)] != nullptr ? 1 : 0);
    out.family("vornmgr_module_up", "gauge", "Whether the module reports itself up.");
    for (int id = FRR; id <= SYSTEM_SERVICES; id++)
        if (rows[static_cast<size_t>(id)] != nullptr)
            out.sample({{"module", name_of(id)}}, rows[static_cast<size_t>(id)]->at("state") == "up" ? 1 : 0);
    out.family("vornmgr_module_state", "gauge", "The state the module last reported: 1 for that state.");
    for (int id = FRR; id <= SYSTEM_SERVICES; id++)
        if (rows[static_cast<size_t>(id)] != nullptr)
            out.sample({{"module", name_of(id)}, {"state", rows[static_cast<size_t>(id)]->at("state").get<std::string>()}},
                       1);
    out.family("vornmgr_module_starts_total", "counter", "How often the module registered with this vornmgrd.");
    for (int id = FRR; id <= SYSTEM_SERVICES; id++)
        if (rows[static_cast<size_t>(id)] != nullptr)
            out.sample({{"module", name_of(id)}}, rows[static_cast<size_t>(id)]->at("starts").get<long long>());
    out.family("vornmgr_module_up_since_seconds", "gauge",
               "When the module last registered, seconds since the epoch.");
    for (int id = FRR; id <= SYSTEM_SERVICES; id++)
        if (rows[static_cast<size_t>(id)] != nullptr && !rows[static_cast<size_t>(id)]->at("up_since").is_null())
            out.sample({{"module", name_of(id)}}, rows[static_cast<size_t>(id)]->at("up_since").get<long long>());
    out.family("vornmgr_module_keepalive_missed", "gauge",
               "Keepalives in a row the module left unanswered (2 or more: it is likely gone).");
    for (int id = FRR; id <= SYSTEM_SERVICES; id++)
        if (rows[static_cast<size_t>(id)] != nullptr)
            out.sample({{"module", name_of(id)}}, rows[static_cast<size_t>(id)]->at("keepalive_missed").get<long long>());
    out.family("vornmgr_module_last_keepalive_time_seconds", "gauge",
               "When the module last answered a keepalive, seconds since the epoch.");
    for (int id = FRR; id <= SYSTEM_SERVICES; id++)
        if (rows[static_cast<size_t>(id)] != nullptr && !rows[static_cast<size_t>(id)]->at("last_keepalive").is_null())
            out.sample({{"module", name_of(id)}},
                       rows[static_cast<size_t>(id)]->at("last_keepalive").at("time").get<long long>());
}

// The newest record of the history that took modules down, or null.
json vornmgr_last_take_down_record(const std::vector<std::string> &history)
{
    for (auto line = history.rbegin(); line != history.rend(); ++line) {
        const json record = json::parse(*line, nullptr, false);
        if (record.is_object() && record.contains("positions") && record["positions"].is_array() &&
            !record["positions"].empty())
            return record;
    }
    return nullptr;
}

void vornmgr_write_take_down_metrics(vornmgr_metrics_writer &out, const json &record)
{
    const json &positions = record.at("positions");
    out.family("vornmgr_takedown_start_time_seconds", "gauge",
               "When the last take-down began, seconds since the epoch.");
    out.sample({}, vornmgr_seconds_of(record.at("started_ms").get<long long>(), 1000));
    out.family("vornmgr_takedown_duration_seconds", "gauge", "How long the last take-down took.");
    out.sample({}, vornmgr_seconds_of(record.at("duration_ms").get<long long>(), 1000));
    out.family("vornmgr_takedown_wait_seconds", "gauge",
               "How long the last take-down waited for the answers to this module's GO_DOWN.");
    for (const json &position : positions)
        out.sample({{"module", position.at("module").get<std::string>()}},
                   vornmgr_seconds_of(position.at("waited_us").get<long long>(), 1000000));
    out.family("vornmgr_takedown_timed_out", "gauge",
               "Whether the last take-down's wait at this module's position timed out.");
    for (const json &position : positions)
        out.sample({{"module", position.at("module").get<std::string>()}},
                   position.at("timed_out").get<bool>() ? 1 : 0);
    out.family("vornmgr_takedown_failed", "gauge",
               "How many modules answered this module's GO_DOWN in the last take-down with a failure.");
    for (const json &position : positions)
        out.sample({{"module", position.at("module").get<std::string>()}},
                   static_cast<long long>(position.at("failed").size()));
}

void vornmgr_write_head(vornmgr_metrics_writer &out, bool up)
{
    out.family("vornmgr_up", "gauge", "Whether vornmgrd answered the status request.");
    out.sample(up ? 1 : 0);
    out.family("vornmgr_build_info", "gauge", "The version of vornmgrctl that wrote these metrics.");
    out.sample({{"version", VORN_VERSION}}, 1);
}

// Reads exactly `len` bytes; false on an error, the end or the time-out.
bool vornmgr_receive_exactly(int fd, char *buf, size_t len)
{
    size_t received = 0;
    while (received < len) {
        const ssize_t got = recv(fd, buf + received, len - received, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        received += static_cast<size_t>(got);
    }
    return true;
}

} // namespace

std::string vornmgr_format_metrics(const std::string &status_text, const std::vector<std::string> &history, bool *up)
{
    if (up != nullptr)
        *up = false;
    // A status that cannot be read is no answer: the head alone, and not up.
    vornmgr_metrics_writer out;
    try {
        const json status = json::parse(status_text);
        vornmgr_metrics_writer body;
        vornmgr_write_head(body, true);
        vornmgr_write_status_metrics(body, status);
        const json record = vornmgr_last_take_down_record(history);
        // A damaged record costs its own metrics only.
        vornmgr_metrics_writer take_down;
        try {
            if (!record.is_null())
                vornmgr_write_take_down_metrics(take_down, record);
        } catch (const std::exception &) {
            take_down = {};
        }
        if (up != nullptr)
            *up = true;
        return body.text() + take_down.text();
    } catch (const std::exception &) {
        vornmgr_write_head(out, false);
        return out.text();
    }
}

bool vornmgr_fetch_status_json(std::string *text)
{
    const unique_fd sock(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!sock)
        return false;
    const struct timeval timeout {status_answer_timeout_s, 0};
    if (setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0)
        return false;
    struct sockaddr_un addr {};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, VORNMGR_CLI_SOCKET_PATH, sizeof addr.sun_path - 1);
    if (connect(sock.get(), reinterpret_cast<const struct sockaddr *>(&addr), sizeof addr) != 0)
        return false;
    const vorn_mgr_cli_msg_t request{SHOW_JSON};
    if (send(sock.get(), &request, sizeof request, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request))
        return false;
    std::array<char, VORNMGR_CLI_BUF_LEN> buf{};
    for (;;) {
        vorn_mgr_cli_resp_t header;
        if (!vornmgr_receive_exactly(sock.get(), buf.data(), VORNMGR_CLI_RESP_HDR_LEN))
            return false;
        memcpy(&header, buf.data(), sizeof header);
        if (header.status.cmd == RESP_OVER)
            return !text->empty();
        if (header.status.cmd != SHOW_IN_PROGRESS || header.len < VORNMGR_CLI_RESP_HDR_LEN ||
            header.len > VORNMGR_CLI_BUF_LEN) {
            errno = EPROTO;
            return false;
        }
        const size_t text_len = static_cast<size_t>(header.len - VORNMGR_CLI_RESP_HDR_LEN);
        if (!vornmgr_receive_exactly(sock.get(), buf.data(), text_len))
            return false;
        text->append(buf.data(), text_len);
    }
}

int vornmgr_print_metrics(const char *path)
{
    std::string status;
    const bool answered = vornmgr_fetch_status_json(&status);
    if (!answered) {
        perror("vornmgrctl: no status from vornmgrd");
        status.clear();
    }
    // The history is only read, under the manager's own rule; without one
    // there is simply no take-down to show.
    std::vector<std::string> history;
    int damaged = 0;
    if (answered)
        vornmgr_read_history_records(vornmgr_history_file, &history, &damaged);
    bool up = false;
    const std::string text = vornmgr_format_metrics(status, history, &up);

    if (path == nullptr) {
        fputs(text.c_str(), stdout);
        return fflush(stdout) == 0 && up ? 0 : VORNMGRCTL_EXIT_FAILURE;
    }
    // The exporter may read the file at any moment: it sees the old content
    // or the new, never a part. It runs as another user, so the file is
    // readable by all.
    if (!vorn_write_file_atomically(path, text.data(), text.size(), 0644)) {
        perror(path);
        return VORNMGRCTL_EXIT_FAILURE;
    }
    return up ? 0 : VORNMGRCTL_EXIT_FAILURE;
}
