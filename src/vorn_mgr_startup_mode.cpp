// SPDX-License-Identifier: Apache-2.0
// The manager's start-up mode: which boot the system is in, read from the
// configuration file on the first start within a boot and from the startup
// file (the copy taken then) when only the manager restarted.

#include "log.h"
#include "unique_fd.h"
#include "vorn_atomic_file.h"
#include "vorn_mgr.h"
#include "vorn_trusted_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

std::atomic<int> l3_register_timeout{180};
std::atomic<int> l3_nl_info_timeout{700};

namespace {

using unique_file = std::unique_ptr<FILE, decltype(&fclose)>;

// Lines are read in pieces of at most 255 characters; a longer line is
// simply read as several lines.
constexpr int config_line_len = 256;

// A value starts after the key and exactly one separator character; a key
// standing alone at the end of the file has an empty value.
const char *vornmgr_config_value(const char *line, size_t key_len)
{
    return line[key_len] == '\0' ? line + key_len : line + key_len + 1;
}

bool vornmgr_value_is(const char *value, const char *word)
{
    return strncmp(value, word, strlen(word)) == 0;
}

// strtol semantics: leading blanks and a sign accepted, reading stops at the
// first non-digit. A time limit must be a positive number of seconds: 0 (also
// any non-numeric text) or a negative value would make the monitor act at its
// first expiry, so such a value is no value.
bool vornmgr_config_int(const char *value, int *out)
{
    // A value beyond int is refused rather than cut to some other number.
    errno = 0;
    const long parsed = strtol(value, nullptr, 10);
    if (parsed <= 0 || errno == ERANGE || parsed > INT_MAX)
        return false;
    *out = static_cast<int>(parsed);
    return true;
}

// Reads an opened configuration file (`path` names it in messages); returns
// true if its last boot_mode line was valid.
bool vornmgr_read_config(FILE *file, const char *path, Mode *mode, bool *override, int *l3_up_max_time,
                         int *issu_complete_max_time)
{
    bool valid = false;
    char line[config_line_len];
    while (fgets(line, sizeof line, file) != nullptr) {
        // Messages quote the line without its newline; only the last piece of
        // a long line holds one.
        line[strcspn(line, "\n")] = '\0';
        char *entry = line + strspn(line, " \t");
        if (*entry == '#' || *entry == '\0')
            continue;
        char *comment = strchr(entry, '#');
        if (comment != nullptr)
            *comment = '\0';

        if (strncmp(entry, "vornmgrctl_override", strlen("vornmgrctl_override")) == 0) {
            const char *value = vornmgr_config_value(entry, strlen("vornmgrctl_override"));
            if (vornmgr_value_is(value, "true")) {
                *override = true;
            } else if (vornmgr_value_is(value, "false")) {
                *override = false;
            } else {
                LOG_ERR("unknown override (%s) - please validate the config\n", entry);
                *override = false;
            }
        } else if (strncmp(entry, "boot_mode", strlen("boot_mode")) == 0) {
            const char *value = vornmgr_config_value(entry, strlen("boot_mode"));
            valid = true;
            if (vornmgr_value_is(value, "warm")) {
                *mode = REBOOT_WARM;
            } else if (vornmgr_value_is(value, "fast")) {
                *mode = REBOOT_FAST;
            } else if (vornmgr_value_is(value, "cold")) {
                *mode = REBOOT_COLD;
            } else {
                *mode = UNKNOWN_MODE;
                valid = false;
                LOG_ERR("unknown boot mode (%s)\n", entry);
            }
        } else if (strncmp(entry, "l3_up_max_time", strlen("l3_up_max_time")) == 0) {
            if (!vornmgr_config_int(vornmgr_config_value(entry, strlen("l3_up_max_time")), l3_up_max_time))
                LOG_ERR("invalid l3_up_max_time value %s\n", line);
        } else if (strncmp(entry, "issu_complete_max_time", strlen("issu_complete_max_time")) == 0) {
            if (!vornmgr_config_int(vornmgr_config_value(entry, strlen("issu_complete_max_time")),
                                    issu_complete_max_time))
                LOG_ERR("invalid issu_complete_max_time value %s\n", line);
        } else {
            LOG_INFO("Unknown parameter in configuration file %s: %s\n", path, line);
        }
    }
    return valid;
}

// The state files lie in /tmp and /var/tmp, where any user could have
// planted one: such a file is logged and taken as absent.
bool vornmgr_state_file_trusted(const vorn_trusted_file_t &file, const char *path)
{
    if (file.distrust != nullptr)
        LOG_ERR("untrusted file %s ignored (%s)\n", path, file.distrust);
    return bool(file.fd);
}

// The startup file, read like the configuration file if it can be trusted.
bool vornmgr_read_startup_file(Mode *mode, bool *override, int *l3_up_max_time, int *issu_complete_max_time)
{
    *mode = UNKNOWN_MODE;
    *override = false;

    vorn_trusted_file_t startup = vorn_open_trusted_file(VORNMGR_STARTUP_FILE);
    if (startup.distrust == nullptr && !startup.fd) {
        LOG_INFO("No config file %s (%s)\n", VORNMGR_STARTUP_FILE, strerror(errno));
        return false;
    }
    if (!vornmgr_state_file_trusted(startup, VORNMGR_STARTUP_FILE))
        return false;
    unique_file file(fdopen(startup.fd.get(), "r"), &fclose);
    if (!file) {
        LOG_INFO("No config file %s (%s)\n", VORNMGR_STARTUP_FILE, strerror(errno));
        return false;
    }
    startup.fd.release();
    return vornmgr_read_config(file.get(), VORNMGR_STARTUP_FILE, mode, override, l3_up_max_time,
                               issu_complete_max_time);
}

} // namespace

bool vornmgr_get_config_startup_mode(Module /*mod*/, const char *path, Mode *mode, bool *override,
                                     int *l3_up_max_time, int *issu_complete_max_time)
{
    *mode = UNKNOWN_MODE;
    *override = false;

    unique_file file(fopen(path, "r"), &fclose);
    if (!file) {
        LOG_INFO("No config file %s (%s)\n", path, strerror(errno));
        return false;
    }
    return vornmgr_read_config(file.get(), path, mode, override, l3_up_max_time, issu_complete_max_time);
}

namespace {

// Copies everything the descriptor in `context` still holds.
bool vornmgr_fill_with_copy(int out, const void *context)
{
    const int in = *static_cast<const int *>(context);
    char buf[4096];
    for (;;) {
        const ssize_t got = read(in, buf, sizeof buf);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        if (!vorn_write_all(out, buf, static_cast<size_t>(got)))
            return false;
    }
}

// A byte copy of the configuration file at the startup path. The copy is
// written beside its destination and renamed over it, so a failure (a full
// /tmp, say) never leaves a truncated startup file that a manager restart
// would read as the boot mode. The temporary file is a new file of ours
// under an unguessable name, and the rename replaces whatever another user
// may have planted at the startup path, a link included, instead of writing
// through it.
bool vornmgr_copy_config(const char *from, const char *to)
{
    const unique_fd in(open(from, O_RDONLY | O_CLOEXEC));
    if (!in)
        return false;
    const int in_fd = in.get();
    return vorn_replace_file(to, 0644, nullptr, vornmgr_fill_with_copy, &in_fd);
}

} // namespace

Mode vornmgr_get_startup_mode(Module mod, bool *restarted)
{
    Mode mode = UNKNOWN_MODE;
    bool override = false;
    int l3_up_max_time = l3_register_timeout;
    int issu_complete_max_time = l3_nl_info_timeout;

    if (!vornmgr_read_startup_file(&mode, &override, &l3_up_max_time, &issu_complete_max_time))
        LOG_INFO("No or invalid active file\n");
    l3_register_timeout = l3_up_max_time;
    l3_nl_info_timeout = issu_complete_max_time;

    // The startup file lives in /tmp, which a system reboot clears: finding
    // a mode there means only the manager restarted within this boot.
    if (mode != UNKNOWN_MODE) {
        LOG_INFO("VornMgr restart, using startup config\n");
        *restarted = true;
        return mode;
    }

    *restarted = false;
    if (!vornmgr_get_config_startup_mode(mod, VORNMGR_CONF_FILE, &mode, &override, &l3_up_max_time,
                                         &issu_complete_max_time))
        LOG_ERR("Invalid configuration file\n");
    l3_register_timeout = l3_up_max_time;
    l3_nl_info_timeout = issu_complete_max_time;

    if (mode == UNKNOWN_MODE) {
        LOG_ERR("Unknown mode. Starting default (%s) mode\n", "cold");
        return REBOOT_COLD;
    }

    if (vornmgr_state_file_trusted(vorn_open_trusted_file(VORNMGR_UPGRADE_MARKER), VORNMGR_UPGRADE_MARKER)) {
        unlink(VORNMGR_UPGRADE_MARKER);
        mode = static_cast<Mode>(mode | SYS_UPGRADE);
    }

    if (!vornmgr_copy_config(VORNMGR_CONF_FILE, VORNMGR_STARTUP_FILE))
        LOG_ERR("failed to copy %s to %s: %s\n", VORNMGR_CONF_FILE, VORNMGR_STARTUP_FILE, strerror(errno));
    return mode;
}
