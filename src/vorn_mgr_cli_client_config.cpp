// SPDX-License-Identifier: Apache-2.0
// vorn_mgr_cli_client_config.cpp - the manager's two boot-mode files as the
// operator tool sees them: reading the startup and configuration files, and
// replacing the configuration file with a new boot mode.

#include "vorn_atomic_file.h"
#include "vorn_mgr_cli_client.h"
#include "vorn_trusted_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

// Lines are read in pieces of at most 255 characters, as the manager reads
// them, so a longer line is seen as several lines and never overruns.
constexpr size_t CONFIG_LINE_LEN = 256;

using file_ptr = std::unique_ptr<FILE, decltype(&fclose)>;

// The value starts one character after the key (the separator is not looked
// at). A line that ends at the key or at the separator has an empty value:
// the position after the separator may lie past the line's end.
const char *vornmgr_config_value(const char *line, size_t key_len)
{
    const size_t len = strlen(line);
    return len > key_len ? line + key_len + 1 : line + len;
}

bool vornmgr_config_key_is(const char *line, const char *key)
{
    return strncmp(line, key, strlen(key)) == 0;
}

// A positive decimal number at the start of the value replaces *setting; 0,
// a negative number, no digits or a number an int cannot hold leave it alone,
// as the manager does: it would act on such a limit at once.
void vornmgr_config_read_timeout(const char *value, int *setting)
{
    char *end = nullptr;
    errno = 0;
    const long number = strtol(value, &end, 10);
    if (end == value || errno == ERANGE || number <= 0 || number > INT_MAX)
        return;
    *setting = static_cast<int>(number);
}

// Applies one line (leading blanks skipped, comment cut) to the outputs;
// returns the file's new validity.
bool vornmgr_config_apply_line(const char *line, bool valid, Mode *mode, bool *override, int *l3_timeout,
                               int *issu_timeout)
{
    static constexpr const char OVERRIDE_KEY[] = "vornmgrctl_override";
    static constexpr const char BOOT_MODE_KEY[] = "boot_mode";
    static constexpr const char L3_KEY[] = "l3_up_max_time";
    static constexpr const char ISSU_KEY[] = "issu_complete_max_time";

    if (vornmgr_config_key_is(line, OVERRIDE_KEY)) {
        const char *value = vornmgr_config_value(line, strlen(OVERRIDE_KEY));
        *override = strncmp(value, "true", 4) == 0;
        if (!*override && strncmp(value, "false", 5) != 0)
            fprintf(stderr, "unknown override (%s) - please validate the config\n", line);
        return valid;
    }
    if (vornmgr_config_key_is(line, BOOT_MODE_KEY)) {
        const char *value = vornmgr_config_value(line, strlen(BOOT_MODE_KEY));
        if (strncmp(value, "warm", 4) == 0)
            *mode = REBOOT_WARM;
        else if (strncmp(value, "fast", 4) == 0)
            *mode = REBOOT_FAST;
        else if (strncmp(value, "cold", 4) == 0)
            *mode = REBOOT_COLD;
        else {
            *mode = UNKNOWN_MODE;
            fprintf(stderr, "unknown boot mode (%s)\n", line);
            return false;
        }
        return true;
    }
    if (vornmgr_config_key_is(line, L3_KEY)) {
        vornmgr_config_read_timeout(vornmgr_config_value(line, strlen(L3_KEY)), l3_timeout);
        return valid;
    }
    if (vornmgr_config_key_is(line, ISSU_KEY))
        vornmgr_config_read_timeout(vornmgr_config_value(line, strlen(ISSU_KEY)), issu_timeout);
    return valid;
}

// The permissions the file would get if it were created afresh.
mode_t vornmgr_new_file_mode(void)
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Reads an opened boot-mode file; true when its last boot_mode line was valid.
bool vornmgr_read_config(FILE *file, Mode *mode, bool *override, int *l3_timeout, int *issu_timeout)
{
    bool valid = false;
    std::array<char, CONFIG_LINE_LEN> buf{};
    while (fgets(buf.data(), static_cast<int>(buf.size()), file) != nullptr) {
        // Only the last piece of a line holds its newline; messages quote the
        // line without it.
        buf[strcspn(buf.data(), "\n")] = '\0';
        char *line = buf.data() + strspn(buf.data(), " \t");
        if (*line == '#' || *line == '\0')
            continue;
        line[strcspn(line, "#")] = '\0';
        valid = vornmgr_config_apply_line(line, valid, mode, override, l3_timeout, issu_timeout);
    }
    return valid;
}

// The startup file lies in /tmp: one that another user could have planted
// there is reported and read as no file at all.
bool vornmgr_read_startup_file(Mode *mode, bool *override, int *l3_timeout, int *issu_timeout)
{
    *mode = UNKNOWN_MODE;
    *override = false;

    vorn_trusted_file_t startup = vorn_open_trusted_file(VORNMGR_STARTUP_FILE);
    if (startup.distrust != nullptr) {
        vornmgr_report_untrusted(VORNMGR_STARTUP_FILE, startup.distrust);
        return false;
    }
    file_ptr file(startup.fd ? fdopen(startup.fd.get(), "r") : nullptr, &fclose);
    if (!file) {
        fprintf(stderr, "No config file %s (%s)\n", VORNMGR_STARTUP_FILE, strerror(errno));
        return false;
    }
    startup.fd.release();
    return vornmgr_read_config(file.get(), mode, override, l3_timeout, issu_timeout);
}

} // namespace

bool vornmgr_get_config_startup_mode(Module /*module*/, const char *cfg_file_name, Mode *mode, bool *override,
                                     int *l3_timeout, int *issu_timeout)
{
    *mode = UNKNOWN_MODE;
    *override = false;

    file_ptr file(fopen(cfg_file_name, "r"), &fclose);
    if (!file) {
        fprintf(stderr, "No config file %s (%s)\n", cfg_file_name, strerror(errno));
        return false;
    }
    return vornmgr_read_config(file.get(), mode, override, l3_timeout, issu_timeout);
}

void vornmgr_report_untrusted(const char *path, const char *why)
{
    fprintf(stderr, "untrusted file %s ignored (%s)\n", path, why);
}

bool vornmgr_client_read_config(void)
{
    std::array<char, VORNMGR_TEXT_BUF_LEN> text{};

    if (!vornmgr_read_startup_file(&start_mode, &override, &l3_register_timeout, &l3_nl_info_timeout)) {
        fprintf(stderr, " Unknown start up mode\n");
        fprintf(stderr, " Assuming start up mode is %s\n", mode_to_str(REBOOT_COLD, text.data()));
        start_mode = REBOOT_COLD;
    }
    // Without a usable configuration the operator must be able to write one.
    if (!vornmgr_get_config_startup_mode(ALL_MODULES, VORNMGR_CONF_FILE, &cfg_mode, &override,
                                         &l3_register_timeout, &l3_nl_info_timeout)) {
        fprintf(stderr, " Unknown configured mode\n");
        fprintf(stderr, " Setting mode to %s (allow override).\n", mode_to_str(REBOOT_COLD, text.data()));
        cfg_mode = REBOOT_COLD;
        override = true;
    }
    return true;
}

bool vornmgr_write_config_file(const char *path, Mode mode, int l3_timeout, int issu_timeout)
{
    std::array<char, VORNMGR_TEXT_BUF_LEN> mode_text{};
    std::array<char, 1024> content{};
    int len = snprintf(content.data(), content.size(),
                       "# vornmgrctl managed configuration\n"
                       "vornmgrctl_override=true\n"
                       "boot_mode=%s\n",
                       mode_to_str(mode, mode_text.data()));
    if (l3_timeout != VORNMGR_DEFAULT_L3_UP_MAX_TIME)
        len += snprintf(content.data() + len, content.size() - static_cast<size_t>(len), "l3_up_max_time=%d\n",
                        l3_timeout);
    if (issu_timeout != VORNMGR_DEFAULT_ISSU_COMPLETE_MAX_TIME)
        len += snprintf(content.data() + len, content.size() - static_cast<size_t>(len),
                        "issu_complete_max_time=%d\n", issu_timeout);

    // A configuration file that is a symbolic link belongs to whoever manages
    // the link's target (configuration management, say): the target gets the
    // new content and the link stays, or the next run of that tool would
    // silently undo the operator's choice.
    std::array<char, PATH_MAX> target{};
    struct stat path_entry {};
    if (lstat(path, &path_entry) == 0 && S_ISLNK(path_entry.st_mode)) {
        if (realpath(path, target.data()) == nullptr)
            return false;
        path = target.data();
    }

    // The new content goes to a temporary file beside the old one and replaces
    // it by a rename, so a crash or a full disk never leaves the next boot
    // without a configuration. The file keeps its mode and, where the caller
    // may, its owner: an operator who may rewrite the file keeps it as theirs.
    struct stat old_file {};
    const bool old_exists = stat(path, &old_file) == 0;
    const mode_t permissions = old_exists ? (old_file.st_mode & 07777) : vornmgr_new_file_mode();
    return vorn_write_file_atomically(path, content.data(), static_cast<size_t>(len), permissions,
                                      old_exists ? &old_file : nullptr);
}

bool vornmgr_overwrite_config_file(void)
{
    std::array<char, VORNMGR_TEXT_BUF_LEN> mode_text{};
    printf(" Updating system boot mode to %s\n", mode_to_str(do_mode, mode_text.data()));
    if (!vornmgr_write_config_file(VORNMGR_CONF_FILE, do_mode, l3_register_timeout, l3_nl_info_timeout)) {
        const int saved_errno = errno;
        perror(" failed to save configuration file");
        // main reports the same failure again.
        errno = saved_errno;
        return false;
    }
    return true;
}
