// SPDX-License-Identifier: Apache-2.0
// The status for monitoring: what the text report shows (SHOW), as one JSON
// document, plus each module's last take-down. Fields are documented in
// vornmgrctl(8); later versions only add fields. The document goes out in
// as many SHOW_IN_PROGRESS records as it needs; the tool joins their text.

#include "log.h"
#include "vorn_mgr_history.h"

#include <sys/socket.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

using json = nlohmann::ordered_json;

namespace {

constexpr const char *result_names[] = {"none", "down", "failed", "no-answer"};

json vornmgr_last_take_down_json(Module mod)
{
    const vornmgr_last_take_down_t last = vornmgr_last_take_down(mod);
    if (last.result == TAKE_DOWN_NONE)
        return nullptr;
    return json{{"result", result_names[last.result]},
                {"reason", last.result == TAKE_DOWN_FAILED ? json(vornmgr_failure_reason_text(last.reason))
                                                            : json(nullptr)},
                {"at_ms", last.at_ms},
                {"waited_ms", last.waited_ms},
                {"timed_out", last.timed_out}};
}

json vornmgr_module_json(Module mod, const registered_modules_t &row, time_t now)
{
    const long up_time = row.start_time != 0 && now > row.start_time ? static_cast<long>(now - row.start_time) : 0L;
    return json{{"name", mod_id_to_str(mod)},
                {"id", static_cast<int>(mod)},
                {"mode", vornmgr_mode_json(row.mod_status.mode.mode)},
                {"state", mod_state_to_str(row.mod_status.mode.state)},
                {"up_time_s", row.start_time != 0 ? json(up_time) : json(nullptr)},
                {"starts", row.num_starts},
                {"restarts", std::max(row.num_starts, 1) - 1},
                {"last_take_down", vornmgr_last_take_down_json(mod)},
                {"up_since", row.start_time != 0 ? json(static_cast<long long>(row.start_time)) : json(nullptr)},
                {"last_keepalive", row.last_keepalive_time != 0
                                       ? json{{"seq", row.last_keepalive},
                                              {"time", static_cast<long long>(row.last_keepalive_time)}}
                                       : json(nullptr)},
                {"keepalive_missed", row.keepalive_missed}};
}

} // namespace

std::string vornmgr_format_status_json(const vornmgr_report_t &report)
{
    json modules = json::array();
    for (int id = FRR; id <= SYSTEM_SERVICES; ++id)
        if (report.rows[id].mod_status.mode.mod == id)
            modules.push_back(vornmgr_module_json(static_cast<Module>(id), report.rows[id], report.now));
    json unaccounted = json::array();
    for (int id = FRR; id <= SYSTEM_SERVICES; ++id)
        if (report.unaccounted & (1u << id))
            unaccounted.push_back(mod_id_to_str(static_cast<Module>(id)));
    const bool maintenance = (report.mode & MAINTENANCE) != 0;
    json status{{"version", 1},
                {"time", static_cast<long long>(report.now)},
                {"mode", vornmgr_mode_json(report.mode)},
                {"maintenance", maintenance},
                {"maintenance_since", maintenance && report.maintenance_start_time != 0
                                          ? json(static_cast<long long>(report.maintenance_start_time))
                                          : json(nullptr)},
                {"upgrade_pending", report.upgraded},
                {"ports_in_maintenance", report.ports_in_maint},
                {"modules", std::move(modules)},
                {"discovery_in_progress", report.discovering},
                {"unaccounted_modules", std::move(unaccounted)},
                {"start_time", report.start_time != 0 ? json(static_cast<long long>(report.start_time)) : json(nullptr)},
                {"keepalive_interval_s", report.keepalive_interval}};
    return status.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

bool vornmgr_process_show_json(int conn_fd, bool upgraded)
{
    std::string text;
    try {
        text = vornmgr_format_status_json(vornmgr_current_report(upgraded));
    } catch (const std::exception &error) {
        LOG_ERR("cannot build the JSON status: %s\n", error.what());
        return false;
    }
    vornmgr_cli_record_t record;
    for (size_t at = 0; at < text.size(); at += VORNMGR_CLI_MAX_TEXT_LEN) {
        const size_t piece = std::min<size_t>(VORNMGR_CLI_MAX_TEXT_LEN, text.size() - at);
        const vorn_mgr_cli_resp_t header{{SHOW_IN_PROGRESS}, VORNMGR_CLI_RESP_HDR_LEN + static_cast<int32_t>(piece)};
        memcpy(record.data(), &header, sizeof header);
        memcpy(record.data() + sizeof header, text.data() + at, piece);
        // MSG_NOSIGNAL: a tool that went away must not take the manager with it.
        if (send(conn_fd, record.data(), static_cast<size_t>(header.len), MSG_NOSIGNAL) != header.len) {
            LOG_ERR("Error in JSON status write (len %d) to ctl %s\n", header.len, strerror(errno));
            return false;
        }
    }
    return true;
}
