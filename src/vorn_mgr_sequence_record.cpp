// SPDX-License-Identifier: Apache-2.0
// The record of the take-down or bring-up in progress, kept in the runtime
// directory so that a manager that crashed in the middle of one finds, once
// restarted and its modules rediscovered, what it was doing, and makes the
// switch whole again. The directory survives a crash of the manager but not a
// reboot, and a reboot completes a restart.

#include "log.h"
#include "vorn_atomic_file.h"
#include "vorn_mgr_cli_server.h"
#include "vorn_mgr_history.h"
#include "vorn_trusted_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr const char *kind_names[] = {"restart", "maintenance-on", "maintenance-off", "recovery"};
constexpr const char *stage_names[] = {"running", "taken-down", "reboot-started", "in-maintenance"};
constexpr size_t record_text_len = 256;

template <size_t N>
bool vornmgr_name_index(const char *const (&names)[N], const char *text, size_t len, int *index)
{
    for (size_t i = 0; i < N; i++) {
        if (strlen(names[i]) == len && strncmp(names[i], text, len) == 0) {
            *index = static_cast<int>(i);
            return true;
        }
    }
    return false;
}

bool vornmgr_parse_long(const char *text, long long *value)
{
    char *end = nullptr;
    errno = 0;
    *value = strtoll(text, &end, 0);
    return errno == 0 && end != text && (*end == '\n' || *end == '\0');
}

// Reads the whole record; false (with the reason logged) when it cannot be
// trusted or read.
bool vornmgr_read_sequence_record(char *text, size_t size)
{
    vorn_trusted_file_t file = vorn_open_trusted_file(VORNMGR_SEQUENCE_RECORD);
    if (file.distrust != nullptr) {
        LOG_ERR("untrusted file %s ignored (%s)\n", VORNMGR_SEQUENCE_RECORD, file.distrust);
        return false;
    }
    if (!file.fd) {
        if (errno != ENOENT)
            LOG_ERR("cannot read %s: %s\n", VORNMGR_SEQUENCE_RECORD, strerror(errno));
        return false;
    }
    size_t got = 0;
    while (got < size - 1) {
        const ssize_t n = read(file.fd.get(), text + got, size - 1 - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            LOG_ERR("cannot read %s: %s\n", VORNMGR_SEQUENCE_RECORD, strerror(errno));
            return false;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    text[got] = '\0';
    return true;
}

} // namespace

const char *vornmgr_sequence_kind_name(vornmgr_sequence_kind_t kind)
{
    return kind_names[kind];
}

int vornmgr_format_sequence_record(const vornmgr_sequence_record_t &record, char *text, size_t size)
{
    return snprintf(text, size, "kind=%s\nstage=%s\nmode=0x%x\nmode_before=0x%x\nstarted=%lld\n",
                    kind_names[record.kind], stage_names[record.stage], static_cast<unsigned>(record.mode),
                    static_cast<unsigned>(record.mode_before), static_cast<long long>(record.started));
}

bool vornmgr_parse_sequence_record(const char *text, vornmgr_sequence_record_t *record)
{
    unsigned seen = 0;
    for (const char *line = text; *line != '\0';) {
        const char *end = strchr(line, '\n');
        const size_t len = end != nullptr ? static_cast<size_t>(end - line) : strlen(line);
        const char *equals = static_cast<const char *>(memchr(line, '=', len));
        if (equals == nullptr)
            return false;
        const size_t key_len = static_cast<size_t>(equals - line);
        const char *value = equals + 1;
        const size_t value_len = len - key_len - 1;
        int index = 0;
        long long number = 0;
        if (key_len == 4 && strncmp(line, "kind", 4) == 0 && vornmgr_name_index(kind_names, value, value_len, &index)) {
            record->kind = static_cast<vornmgr_sequence_kind_t>(index);
            seen |= 1;
        } else if (key_len == 5 && strncmp(line, "stage", 5) == 0 &&
                   vornmgr_name_index(stage_names, value, value_len, &index)) {
            record->stage = static_cast<vornmgr_sequence_stage_t>(index);
            seen |= 2;
        } else if (key_len == 4 && strncmp(line, "mode", 4) == 0 && vornmgr_parse_long(value, &number) &&
                   number > 0 && number <= INT32_MAX) {
            record->mode = static_cast<Mode>(number);
            seen |= 4;
        } else if (key_len == 11 && strncmp(line, "mode_before", 11) == 0 && vornmgr_parse_long(value, &number) &&
                   number > 0 && number <= INT32_MAX) {
            record->mode_before = static_cast<Mode>(number);
            seen |= 8;
        } else if (key_len == 7 && strncmp(line, "started", 7) == 0 && vornmgr_parse_long(value, &number) &&
                   number >= 0) {
            record->started = static_cast<time_t>(number);
            seen |= 16;
        } else {
            return false;
        }
        line = end != nullptr ? end + 1 : line + len;
    }
    return seen == 31;
}

vornmgr_recovery_t vornmgr_plan_recovery(const vornmgr_sequence_record_t &record)
{
    switch (record.stage) {
    case STAGE_REBOOT_STARTED:
        return RECOVER_NOTHING;  // the machine is going down
    case STAGE_IN_MAINTENANCE:
        return RECOVER_RESUME_MAINTENANCE;
    case STAGE_RUNNING:
    case STAGE_TAKEN_DOWN:
        break;
    }
    if (record.kind == SEQUENCE_MAINT_LEAVE || record.kind == SEQUENCE_RECOVERY)
        return RECOVER_REPEAT_BRING_UP;
    return RECOVER_BRING_UP;
}

void vornmgr_write_sequence_record(const vornmgr_sequence_record_t &record)
{
    char text[record_text_len];
    const int len = vornmgr_format_sequence_record(record, text, sizeof text);
    // The directory is the service's runtime directory; made here when the
    // manager runs without one.
    if (mkdir(VORNMGR_RUN_DIR, 0755) != 0 && errno != EEXIST)
        LOG_ERR("cannot make %s: %s\n", VORNMGR_RUN_DIR, strerror(errno));
    if (!vorn_write_file_atomically(VORNMGR_SEQUENCE_RECORD, text, static_cast<size_t>(len), 0644))
        LOG_ERR("cannot write %s: %s\n", VORNMGR_SEQUENCE_RECORD, strerror(errno));
}

void vornmgr_remove_sequence_record(void)
{
    if (unlink(VORNMGR_SEQUENCE_RECORD) != 0 && errno != ENOENT)
        LOG_ERR("cannot remove %s: %s\n", VORNMGR_SEQUENCE_RECORD, strerror(errno));
}

bool vornmgr_bring_all_up(vornmgr_sequence_kind_t kind, Mode mode, Mode mode_before)
{
    const int64_t started_ms = vornmgr_wall_ms();
    const int registered = vornmgr_get_num_active_modules();
    vornmgr_write_sequence_record({kind, STAGE_RUNNING, mode, mode_before, time(nullptr)});
    const bool announced = vornmgr_admin_modules(mode, ALL_MODULES, true);
    vornmgr_history_record({kind, mode, mode_before, vornmgr_history_requester(), started_ms,
                            vornmgr_wall_ms() - started_ms, registered, true, nullptr, nullptr});
    vornmgr_remove_sequence_record();
    return announced;
}

void vornmgr_recover_interrupted_sequence(void)
{
    char text[record_text_len];
    if (!vornmgr_read_sequence_record(text, sizeof text))
        return;
    vornmgr_sequence_record_t record{};
    if (!vornmgr_parse_sequence_record(text, &record)) {
        LOG_ERR("unreadable %s ignored\n", VORNMGR_SEQUENCE_RECORD);
        return;
    }
    char mode_text[VORNMGR_TEXT_BUF_LEN];
    char before_text[VORNMGR_TEXT_BUF_LEN];
    mode_to_str(record.mode, mode_text);
    mode_to_str(record.mode_before, before_text);
    const long long started = static_cast<long long>(record.started);
    switch (vornmgr_plan_recovery(record)) {
    case RECOVER_NOTHING:
        LOG_INFO("%s to %s mode started at %lld ran its reboot command: nothing to recover\n", kind_names[record.kind],
                 mode_text, started);
        return;
    case RECOVER_RESUME_MAINTENANCE:
        // The modules are down for maintenance: carry on in that mode so that
        // leaving maintenance brings them up.
        LOG_INFO("resuming maintenance in %s mode, entered at %lld\n", mode_text, started);
        operative_mode = record.mode;
        required_state = DOWN;
        maintenance_start_time = record.started;
        return;
    case RECOVER_BRING_UP:
        LOG_WARN("%s to %s mode started at %lld was interrupted (%s): bringing every module back up in %s mode\n",
                 kind_names[record.kind], mode_text, started, stage_names[record.stage], before_text);
        vornmgr_bring_all_up(SEQUENCE_RECOVERY, record.mode_before, record.mode_before);
        return;
    case RECOVER_REPEAT_BRING_UP:
        LOG_WARN("%s to %s mode started at %lld was interrupted (%s): bringing every module up again\n",
                 kind_names[record.kind], mode_text, started, stage_names[record.stage]);
        vornmgr_bring_all_up(SEQUENCE_RECOVERY, record.mode, record.mode_before);
        return;
    }
}
