// SPDX-License-Identifier: Apache-2.0
// The status report an operator reads with SHOW: the system mode, the
// maintenance and port state, then one line per registered module. Each piece
// goes out as one SHOW_IN_PROGRESS record; the caller ends the answer.

#include "log.h"
#include "vorn_mgr_cli_server.h"
#include "vorn_trusted_file.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// A record under construction: the text grows behind the header and is cut at
// VORNMGR_CLI_MAX_TEXT_LEN however long the pieces are.
class vornmgr_record_builder {
public:
    explicit vornmgr_record_builder(vornmgr_cli_record_t &record) : record_(record) {}

    __attribute__((format(printf, 2, 3))) void append(const char *format, ...)
    {
        const size_t room = VORNMGR_CLI_MAX_TEXT_LEN + 1 - len_;
        if (room <= 1)
            return;
        va_list ap;
        va_start(ap, format);
        const int wanted = vsnprintf(text() + len_, room, format, ap);
        va_end(ap);
        if (wanted > 0)
            len_ += std::min(static_cast<size_t>(wanted), room - 1);
    }

    // Fills in the header; returns the record's whole length.
    int finish()
    {
        const vorn_mgr_cli_resp_t header{{SHOW_IN_PROGRESS}, VORNMGR_CLI_RESP_HDR_LEN + static_cast<int32_t>(len_)};
        memcpy(record_.data(), &header, sizeof header);
        return header.len;
    }

private:
    char *text() { return record_.data() + VORNMGR_CLI_RESP_HDR_LEN; }

    vornmgr_cli_record_t &record_;
    size_t len_ = 0;
};

// Seconds between a start time and now; a clock stepped back shows zero
// rather than negative hours.
long vornmgr_elapsed(time_t since, time_t now)
{
    return now > since ? static_cast<long>(now - since) : 0L;
}

bool vornmgr_row_registered(const std::array<registered_modules_t, MAX_MODULES> &rows, int mod)
{
    return rows[mod].mod_status.mode.mod == mod;
}

int vornmgr_count_registered(const std::array<registered_modules_t, MAX_MODULES> &rows)
{
    int count = 0;
    for (int mod = FRR; mod <= SYSTEM_SERVICES; ++mod)
        count += vornmgr_row_registered(rows, mod);
    return count;
}

// The connection may be gone (an operator interrupting the tool): a write
// must fail with EPIPE, not end the manager with SIGPIPE.
ssize_t vornmgr_send_record(int conn_fd, const vornmgr_cli_record_t &record, int len)
{
    return send(conn_fd, record.data(), static_cast<size_t>(len), MSG_NOSIGNAL);
}

} // namespace

int vornmgr_build_summary_record(vornmgr_cli_record_t &record, const vornmgr_report_t &report)
{
    vornmgr_record_builder builder(record);
    char mode_text[VORNMGR_TEXT_BUF_LEN];
    builder.append(" Current System Mode: %s %s\n", mode_to_str(report.mode, mode_text),
                   report.upgraded ? "(pending upgrade)" : " ");
    if (report.discovering)
        builder.append(" Module discovery in progress\n");
    if (report.unaccounted != 0) {
        char names[VORNMGR_TEXT_BUF_LEN];
        builder.append(" Not heard from since the manager restarted: %s\n",
                       vornmgr_module_names(report.unaccounted, names, sizeof names));
    }

    if (vornmgr_count_registered(report.rows) == 0) {
        builder.append(" No Actively Registered Modules\n");
        return builder.finish();
    }

    if (report.mode & MAINTENANCE) {
        if (report.maintenance_start_time != 0) {
            char since[64];
            if (ctime_r(&report.maintenance_start_time, since) == nullptr) {
                LOG_ERR("ctime error %s\n", strerror(errno));
                return -1;
            }
            since[strcspn(since, "\n")] = '\0';
            const long d = vornmgr_elapsed(report.maintenance_start_time, report.now);
            builder.append(" Maintenance mode since %s (Duration: %02ld:%02ld:%02ld)\n", since, d / 3600,
                           (d % 3600) / 60, d % 60);
        } else {
            builder.append(" Maintenance mode on (unknown duration)\n");
        }
    }
    if (report.ports_in_maint)
        builder.append(" Ports shutdown for Maintenance\n");
    return builder.finish();
}

int vornmgr_build_module_record(vornmgr_cli_record_t &record, Module mod, const registered_modules_t &row,
                                time_t now)
{
    vornmgr_record_builder builder(record);
    char mode_text[VORNMGR_TEXT_BUF_LEN];
    builder.append(" %-16s: %s, %s", mod_id_to_str(mod), mode_to_str(row.mod_status.mode.mode, mode_text),
                   mod_state_to_str(row.mod_status.mode.state));
    if (row.start_time != 0) {
        const long d = vornmgr_elapsed(row.start_time, now);
        builder.append(", up time: %02ld:%02ld:%02ld", d / 3600, (d % 3600) / 60, d % 60);
    }
    const int restarts = std::max(row.num_starts, 1) - 1;
    if (restarts > 0)
        builder.append(" (%d %s)", restarts, restarts == 1 ? "restart" : "restarts");
    builder.append("\n");
    return builder.finish();
}

bool vornmgr_write_report(int conn_fd, const vornmgr_report_t &report)
{
    vornmgr_cli_record_t record;
    const int len = vornmgr_build_summary_record(record, report);
    if (len < 0)
        return false;

    if (vornmgr_count_registered(report.rows) == 0) {
        if (vornmgr_send_record(conn_fd, record, len) != len)
            LOG_ERR("Error in null response to ctl %s\n", strerror(errno));
        return true;
    }
    if (vornmgr_send_record(conn_fd, record, len) != len) {
        LOG_ERR("Error in header write (len %d) to ctl %s\n", len, strerror(errno));
        return false;
    }

    for (int id = FRR; id <= SYSTEM_SERVICES; ++id) {
        if (!vornmgr_row_registered(report.rows, id))
            continue;
        const Module mod = static_cast<Module>(id);
        const int mod_len = vornmgr_build_module_record(record, mod, report.rows[id], report.now);
        if (vornmgr_send_record(conn_fd, record, mod_len) != mod_len) {
            LOG_ERR("Error (%s) in write (len %d) to ctl for mod %s\n", strerror(errno), mod_len,
                    mod_id_to_str(mod));
            return false;
        }
    }
    return true;
}

// The ports marker lies in /tmp, where any user could create it: only a
// marker that root left counts.
bool vornmgr_ports_in_maintenance(void)
{
    const vorn_trusted_file_t marker = vorn_open_trusted_file(VORNMGR_PORTS_MARKER);
    if (marker.distrust != nullptr)
        LOG_ERR("untrusted file %s ignored (%s)\n", VORNMGR_PORTS_MARKER, marker.distrust);
    return bool(marker.fd);
}

vornmgr_report_t vornmgr_current_report(bool upgraded)
{
    return vornmgr_report_t{
        operative_mode.load(),
        upgraded,
        maintenance_start_time,
        vornmgr_ports_in_maintenance(),
        time(nullptr),
        vornmgr_registry_snapshot(),
        vornmgr_discovery_running.load(),
        vornmgr_unaccounted_modules.load(),
        vornmgr_start_time.load(),
        keepalive_interval.load(),
    };
}

bool vornmgr_process_show(int conn_fd, vorn_mgr_cli_msg_t /*cli_msg*/, bool upgraded)
{
    return vornmgr_write_report(conn_fd, vornmgr_current_report(upgraded));
}
