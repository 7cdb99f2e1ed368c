// SPDX-License-Identifier: Apache-2.0
// The record of the take-down or bring-up in progress, kept in the runtime
// directory so that a manager that crashed in the middle of one finds, once
// restarted and its modules rediscovered, what it was doing, and makes the
// switch whole again. The directory survives a crash of the manager but not a
// reboot, and a reboot completes a restart.

#include "log.h"
#include "vorn_mgr.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr const char *kind_names[] = {"restart", "maintenance-on", "maintenance-off", "recovery"};
constexpr const char *stage_names[] = {"running", "taken-down", "reboot-started", "in-maintenance", "coming-up"};
constexpr size_t record_text_len = 512;

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

// A whole number up to the end of its line, in the range given.
bool vornmgr_parse_number(const char *text, long long low, long long high, long long *value)
{
    char *end = nullptr;
    errno = 0;
    *value = strtoll(text, &end, 0);
    return errno == 0 && end != text && (*end == '\n' || *end == '\0') && *value >= low && *value <= high;
}

// The keys of a record; the first five are always written, the others only
// where they mean something.
enum vornmgr_record_key_t { KEY_KIND, KEY_STAGE, KEY_MODE, KEY_MODE_BEFORE, KEY_STARTED, KEY_MODULES,
                            KEY_REBOOT_PID, KEY_REBOOT_START, KEY_REBOOT_BOOTTIME, KEY_COUNT };
constexpr const char *key_names[KEY_COUNT] = {"kind",    "stage",      "mode",         "mode_before",    "started",
                                              "modules", "reboot_pid", "reboot_start", "reboot_boottime"};
constexpr unsigned required_keys = (1u << KEY_MODULES) - 1;

// Reads one value into the record; false if it is not a value of its key.
bool vornmgr_parse_value(int key, const char *value, size_t value_len, vornmgr_sequence_record_t *record)
{
    int index = 0;
    long long number = 0;
    switch (key) {
    case KEY_KIND:
        if (!vornmgr_name_index(kind_names, value, value_len, &index))
            return false;
        record->kind = static_cast<vornmgr_sequence_kind_t>(index);
        return true;
    case KEY_STAGE:
        if (!vornmgr_name_index(stage_names, value, value_len, &index))
            return false;
        record->stage = static_cast<vornmgr_sequence_stage_t>(index);
        return true;
    case KEY_MODE:
    case KEY_MODE_BEFORE:
        if (!vornmgr_parse_number(value, 1, INT32_MAX, &number))
            return false;
        (key == KEY_MODE ? record->mode : record->mode_before) = static_cast<Mode>(number);
        return true;
    case KEY_STARTED:
        if (!vornmgr_parse_number(value, 0, LLONG_MAX, &number))
            return false;
        record->started = static_cast<time_t>(number);
        return true;
    case KEY_MODULES:
        if (!vornmgr_parse_number(value, 0, (1 << MAX_MODULES) - 1, &number))
            return false;
        record->modules = static_cast<unsigned>(number);
        return true;
    case KEY_REBOOT_PID:
        if (!vornmgr_parse_number(value, 1, INT_MAX, &number))
            return false;
        record->reboot_pid = static_cast<int>(number);
        return true;
    case KEY_REBOOT_START:
        if (!vornmgr_parse_number(value, 0, LLONG_MAX, &number))
            return false;
        record->reboot_start = static_cast<unsigned long long>(number);
        return true;
    case KEY_REBOOT_BOOTTIME:
        if (!vornmgr_parse_number(value, 0, LLONG_MAX, &number))
            return false;
        record->reboot_boottime_ms = number;
        return true;
    default:
        return false;
    }
}

} // namespace

const char *vornmgr_sequence_kind_name(vornmgr_sequence_kind_t kind)
{
    return kind_names[kind];
}

const char *vornmgr_sequence_stage_name(vornmgr_sequence_stage_t stage)
{
    return stage_names[stage];
}

int vornmgr_format_sequence_record(const vornmgr_sequence_record_t &record, char *text, size_t size)
{
    int len = snprintf(text, size, "kind=%s\nstage=%s\nmode=0x%x\nmode_before=0x%x\nstarted=%lld\n",
                       kind_names[record.kind], stage_names[record.stage], static_cast<unsigned>(record.mode),
                       static_cast<unsigned>(record.mode_before), static_cast<long long>(record.started));
    if (len > 0 && static_cast<size_t>(len) < size && record.modules != 0)
        len += snprintf(text + len, size - static_cast<size_t>(len), "modules=0x%x\n", record.modules);
    if (len > 0 && static_cast<size_t>(len) < size && record.reboot_pid > 0)
        len += snprintf(text + len, size - static_cast<size_t>(len),
                        "reboot_pid=%d\nreboot_start=%llu\nreboot_boottime=%lld\n", record.reboot_pid,
                        record.reboot_start, record.reboot_boottime_ms);
    return len;
}

bool vornmgr_parse_sequence_record(const char *text, vornmgr_sequence_record_t *record)
{
    *record = vornmgr_sequence_record_t{};
    unsigned seen = 0;
    for (const char *line = text; *line != '\0';) {
        const char *end = strchr(line, '\n');
        const size_t len = end != nullptr ? static_cast<size_t>(end - line) : strlen(line);
        const char *equals = static_cast<const char *>(memchr(line, '=', len));
        if (equals == nullptr)
            return false;
        const size_t key_len = static_cast<size_t>(equals - line);
        int key = 0;
        // A key given twice leaves the record's meaning to whichever line a
        // reader believes: such a record is not one the manager wrote.
        if (!vornmgr_name_index(key_names, line, key_len, &key) || (seen & (1u << key)) ||
            !vornmgr_parse_value(key, equals + 1, len - key_len - 1, record))
            return false;
        seen |= 1u << key;
        line = end != nullptr ? end + 1 : line + len;
    }
    return (seen & required_keys) == required_keys;
}

const char *vornmgr_sequence_record_contradiction(const vornmgr_sequence_record_t &record)
{
    const bool maintenance = vornmgr_is_maintenance(record.mode);
    switch (record.kind) {
    case SEQUENCE_RESTART:
        if (maintenance)
            return "a restart to a maintenance mode";
        if (record.stage == STAGE_IN_MAINTENANCE || record.stage == STAGE_COMING_UP)
            return "a restart at a stage of another sequence";
        break;
    case SEQUENCE_MAINT_ENTER:
        if (!maintenance)
            return "maintenance entered in a mode without maintenance";
        if (record.stage != STAGE_RUNNING && record.stage != STAGE_IN_MAINTENANCE)
            return "maintenance entered at a stage of another sequence";
        break;
    case SEQUENCE_MAINT_LEAVE:
    case SEQUENCE_RECOVERY:
        if (maintenance)
            return "a bring-up to a maintenance mode";
        if (record.stage != STAGE_RUNNING && record.stage != STAGE_COMING_UP)
            return "a bring-up at a stage of a take-down";
        break;
    }
    if (record.reboot_pid != 0 && record.stage != STAGE_REBOOT_STARTED)
        return "a reboot command before the reboot started";
    return nullptr;
}

vornmgr_recovery_t vornmgr_plan_recovery(const vornmgr_sequence_record_t &record,
                                         const vornmgr_recovery_facts_t &facts)
{
    switch (record.stage) {
    case STAGE_REBOOT_STARTED:
        return facts.reboot_running ? RECOVER_WATCH_REBOOT : RECOVER_FAILED_REBOOT;
    case STAGE_IN_MAINTENANCE:
        return RECOVER_RESUME_MAINTENANCE;
    case STAGE_COMING_UP:
        // Every module of the bring-up reports up: it had completed.
        if (record.modules != 0 && (record.modules & ~facts.modules_up) == 0)
            return RECOVER_NOTHING;
        return RECOVER_REPEAT_BRING_UP;
    case STAGE_RUNNING:
    case STAGE_TAKEN_DOWN:
        break;
    }
    if (record.kind == SEQUENCE_MAINT_LEAVE || record.kind == SEQUENCE_RECOVERY)
        return RECOVER_REPEAT_BRING_UP;
    // A restart asked for during maintenance found every module down already:
    // undone, the switch is back in maintenance. So is maintenance asked for
    // over the awaited reboot of such a restart: both ways lead there.
    if ((record.kind == SEQUENCE_RESTART || record.kind == SEQUENCE_MAINT_ENTER) &&
        vornmgr_is_maintenance(record.mode_before))
        return RECOVER_RESUME_MAINTENANCE;
    return RECOVER_BRING_UP;
}

Mode vornmgr_recovery_maintenance_mode(const vornmgr_sequence_record_t &record)
{
    return record.kind == SEQUENCE_MAINT_ENTER ? record.mode : record.mode_before;
}

void vornmgr_write_sequence_record(const vornmgr_sequence_record_t &record)
{
    char text[record_text_len];
    const int len = vornmgr_format_sequence_record(record, text, sizeof text);
    if (len > 0 && static_cast<size_t>(len) < sizeof text)
        vornmgr_write_run_file(VORNMGR_SEQUENCE_RECORD, text, static_cast<size_t>(len));
}

void vornmgr_remove_sequence_record(void)
{
    if (unlink(VORNMGR_SEQUENCE_RECORD) != 0 && errno != ENOENT)
        LOG_ERR("cannot remove %s: %s\n", VORNMGR_SEQUENCE_RECORD, strerror(errno));
}

bool vornmgr_load_sequence_record(vornmgr_sequence_record_t *record)
{
    char text[record_text_len];
    if (!vornmgr_read_run_file(VORNMGR_SEQUENCE_RECORD, text, sizeof text))
        return false;
    if (!vornmgr_parse_sequence_record(text, record)) {
        LOG_ERR("unreadable %s ignored\n", VORNMGR_SEQUENCE_RECORD);
        return false;
    }
    if (const char *contradiction = vornmgr_sequence_record_contradiction(*record)) {
        LOG_ERR("contradictory %s ignored (%s)\n", VORNMGR_SEQUENCE_RECORD, contradiction);
        return false;
    }
    return true;
}
