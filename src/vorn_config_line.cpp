// SPDX-License-Identifier: Apache-2.0
// The boot-mode file's reader, shared by vornmgrd and vornmgrctl (format in
// vorn_config_line.h).

#include "vorn_config_line.h"

#include "vorn_trusted_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

using unique_file = std::unique_ptr<FILE, decltype(&fclose)>;

// Pieces of at most 255 characters: a longer line never overruns, it is
// read as several lines.
constexpr int config_line_len = 256;

// A value starts after the key and exactly one separator character, which is
// not looked at; a line that ends at the key has an empty value.
const char *vorn_config_value(const char *entry, const char *key)
{
    const size_t key_len = strlen(key);
    return entry[key_len] == '\0' ? entry + key_len : entry + key_len + 1;
}

bool vorn_config_starts_with(const char *text, const char *word)
{
    return strncmp(text, word, strlen(word)) == 0;
}

// strtol semantics: leading blanks and a sign accepted, reading stops at the
// first non-digit. A time limit must be a positive number of seconds: 0 (also
// any non-numeric text) or a negative value would make the manager's monitor
// act at its first expiry, and a value beyond int would be cut to some other
// number, so such a value is no value.
bool vorn_config_int(const char *value, int *out)
{
    errno = 0;
    const long parsed = strtol(value, nullptr, 10);
    if (parsed <= 0 || errno == ERANGE || parsed > INT_MAX)
        return false;
    *out = static_cast<int>(parsed);
    return true;
}

bool vorn_config_name_char(char c, bool first)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')
        return true;
    return !first && (c == '.' || c == '-');
}

const char *vorn_config_skip_blanks(const char *text)
{
    return text + strspn(text, " \t");
}

void vorn_config_report(const vorn_config_reporter_t &reporter, vorn_config_diagnostic_t what, const char *path,
                        const char *quoted)
{
    if (reporter.report != nullptr)
        reporter.report(reporter.context, what, path, quoted);
}

// Applies one line as fgets read it (its newline, if any, is cut here, in
// place, as is a comment); `valid` is the file's validity so far, and the
// result its validity after the line.
bool vorn_config_read_line(char *line, bool valid, const char *path, const vorn_config_outputs_t &out,
                           const vorn_config_reporter_t &reporter)
{
    // Messages quote the line without its newline; only the last piece of a
    // long line holds one.
    line[strcspn(line, "\n")] = '\0';
    char *entry = line + strspn(line, " \t");
    if (*entry == '#' || *entry == '\0')
        return valid;
    // Cut in place, so that the whole line quoted below ends there too.
    entry[strcspn(entry, "#")] = '\0';

    if (vorn_config_starts_with(entry, "vornmgrctl_override")) {
        const char *value = vorn_config_value(entry, "vornmgrctl_override");
        *out.override = vorn_config_starts_with(value, "true");
        if (!*out.override && !vorn_config_starts_with(value, "false"))
            vorn_config_report(reporter, CONFIG_UNKNOWN_OVERRIDE, path, entry);
        return valid;
    }
    if (vorn_config_starts_with(entry, "boot_mode")) {
        const char *value = vorn_config_value(entry, "boot_mode");
        if (vorn_config_starts_with(value, "warm")) {
            *out.mode = REBOOT_WARM;
        } else if (vorn_config_starts_with(value, "fast")) {
            *out.mode = REBOOT_FAST;
        } else if (vorn_config_starts_with(value, "cold")) {
            *out.mode = REBOOT_COLD;
        } else {
            *out.mode = UNKNOWN_MODE;
            vorn_config_report(reporter, CONFIG_UNKNOWN_BOOT_MODE, path, entry);
            return false;
        }
        return true;
    }
    if (vorn_config_starts_with(entry, "module_users")) {
        const char *value = vorn_config_skip_blanks(vorn_config_value(entry, "module_users"));
        size_t len = strlen(value);
        while (len > 0 && (value[len - 1] == ' ' || value[len - 1] == '\t'))
            len--;
        char kept[VORN_CONFIG_MODULE_USERS_LEN];
        memcpy(kept, value, len);
        kept[len] = '\0';
        // Who may command the switch's modules: a value that cannot be read
        // whole must not widen or narrow it by a guess.
        if (!vorn_config_module_users_valid(kept))
            vorn_config_report(reporter, CONFIG_INVALID_MODULE_USERS, path, line);
        else if (out.module_users != nullptr)
            memcpy(out.module_users, kept, len + 1);
        return valid;
    }
    // The time limits, each a positive number of seconds; a reader may want
    // only some of them.
    int ignored = 0;
    const struct {
        const char *key;
        int *out;
        vorn_config_diagnostic_t invalid;
    } limits[] = {
        {"l3_up_max_time", out.l3_up_max_time, CONFIG_INVALID_L3_UP_MAX_TIME},
        {"issu_complete_max_time", out.issu_complete_max_time, CONFIG_INVALID_ISSU_COMPLETE_MAX_TIME},
        {"reboot_grace_time", out.reboot_grace_time, CONFIG_INVALID_REBOOT_GRACE_TIME},
        {"bring_up_max_time", out.bring_up_max_time, CONFIG_INVALID_BRING_UP_MAX_TIME},
        {"keepalive_interval", out.keepalive_interval, CONFIG_INVALID_KEEPALIVE_INTERVAL},
    };
    for (const auto &limit : limits) {
        if (!vorn_config_starts_with(entry, limit.key))
            continue;
        if (!vorn_config_int(vorn_config_value(entry, limit.key), limit.out != nullptr ? limit.out : &ignored))
            vorn_config_report(reporter, limit.invalid, path, line);
        return valid;
    }
    vorn_config_report(reporter, CONFIG_UNKNOWN_PARAMETER, path, line);
    return valid;
}

// Reads every line of an opened file; `path` names it in diagnostics.
bool vorn_config_read_stream(FILE *file, const char *path, const vorn_config_outputs_t &out,
                             const vorn_config_reporter_t &reporter)
{
    bool valid = false;
    char line[config_line_len];
    while (fgets(line, sizeof line, file) != nullptr)
        valid = vorn_config_read_line(line, valid, path, out, reporter);
    return valid;
}

} // namespace

vorn_config_user_step_t vorn_config_next_module_user(const char **at, char (&name)[VORN_CONFIG_USER_NAME_LEN],
                                                     bool *group)
{
    const char *entry = vorn_config_skip_blanks(*at);
    if (*entry == '\0')
        return CONFIG_USER_END;
    *group = *entry == '@';
    if (*group)
        entry++;
    size_t len = 0;
    while (len < VORN_CONFIG_USER_NAME_LEN - 1 && vorn_config_name_char(entry[len], len == 0))
        len++;
    if (len > 0 && len < VORN_CONFIG_USER_NAME_LEN - 1 && entry[len] == '$')
        len++;
    // An entry ends at a comma that another entry follows, or at the end.
    const char *rest = vorn_config_skip_blanks(entry + len);
    if (len == 0 || (*rest != ',' && *rest != '\0') || (*rest == ',' && *vorn_config_skip_blanks(rest + 1) == '\0'))
        return CONFIG_USER_MALFORMED;
    memcpy(name, entry, len);
    name[len] = '\0';
    *at = *rest == ',' ? rest + 1 : rest;
    return CONFIG_USER_ENTRY;
}

bool vorn_config_module_users_valid(const char *value)
{
    if (strcmp(value, "any") == 0)
        return true;
    char name[VORN_CONFIG_USER_NAME_LEN];
    bool group = false;
    vorn_config_user_step_t step;
    while ((step = vorn_config_next_module_user(&value, name, &group)) == CONFIG_USER_ENTRY) {
    }
    return step == CONFIG_USER_END;
}

bool vorn_config_read_file(const char *path, const vorn_config_outputs_t &out, const vorn_config_reporter_t &reporter)
{
    *out.mode = UNKNOWN_MODE;
    *out.override = false;
    unique_file file(fopen(path, "r"), &fclose);
    if (!file) {
        vorn_config_report(reporter, CONFIG_NO_FILE, path, strerror(errno));
        return false;
    }
    return vorn_config_read_stream(file.get(), path, out, reporter);
}

bool vorn_config_read_state_file(const char *path, const vorn_config_outputs_t &out,
                                 const vorn_config_reporter_t &reporter)
{
    *out.mode = UNKNOWN_MODE;
    *out.override = false;
    vorn_trusted_file_t opened = vorn_open_trusted_file(path);
    if (opened.distrust != nullptr) {
        vorn_config_report(reporter, CONFIG_UNTRUSTED, path, opened.distrust);
        return false;
    }
    unique_file file(opened.fd ? fdopen(opened.fd.get(), "r") : nullptr, &fclose);
    if (!file) {
        vorn_config_report(reporter, CONFIG_NO_FILE, path, strerror(errno));
        return false;
    }
    opened.fd.release();
    return vorn_config_read_stream(file.get(), path, out, reporter);
}
