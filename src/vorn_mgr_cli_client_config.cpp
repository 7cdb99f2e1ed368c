// SPDX-License-Identifier: Apache-2.0
// vorn_mgr_cli_client_config.cpp - the manager's two boot-mode files as the
// operator tool sees them: reading the startup and configuration files, and
// replacing the configuration file with a new boot mode.

#include "vorn_atomic_file.h"
#include "vorn_config_line.h"
#include "vorn_mgr_cli_client.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// The tool says on standard error what the operator can act on; the limits
// it cannot read and the keys it does not know are the manager's to log.
void vornmgr_print_config_diagnostic(void * /*context*/, vorn_config_diagnostic_t what, const char *path,
                                     const char *quoted)
{
    fputs(vornmgr_config_message(what, path, quoted).c_str(), stderr);
}

constexpr vorn_config_reporter_t vornmgr_config_reporter = {vornmgr_print_config_diagnostic, nullptr};

// The permissions the file would get if it were created afresh.
mode_t vornmgr_new_file_mode(void)
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

} // namespace

std::string vornmgr_config_message(vorn_config_diagnostic_t what, const char *path, const char *quoted)
{
    std::array<char, 2 * VORNMGR_TEXT_BUF_LEN + PATH_MAX> text{};
    switch (what) {
    case CONFIG_NO_FILE:
        snprintf(text.data(), text.size(), "No config file %s (%s)\n", path, quoted);
        break;
    case CONFIG_UNTRUSTED:
        snprintf(text.data(), text.size(), "untrusted file %s ignored (%s)\n", path, quoted);
        break;
    case CONFIG_UNKNOWN_OVERRIDE:
        snprintf(text.data(), text.size(), "unknown override (%s) - please validate the config\n", quoted);
        break;
    case CONFIG_UNKNOWN_BOOT_MODE:
        snprintf(text.data(), text.size(), "unknown boot mode (%s)\n", quoted);
        break;
    case CONFIG_INVALID_L3_UP_MAX_TIME:
    case CONFIG_INVALID_ISSU_COMPLETE_MAX_TIME:
    case CONFIG_UNKNOWN_PARAMETER:
    case CONFIG_INVALID_REBOOT_GRACE_TIME:
    case CONFIG_INVALID_BRING_UP_MAX_TIME:
    case CONFIG_INVALID_MODULE_USERS:
    case CONFIG_INVALID_KEEPALIVE_INTERVAL:
        break;
    }
    return text.data();
}

bool vornmgr_get_config_startup_mode(Module /*module*/, const char *cfg_file_name, Mode *mode, bool *override,
                                     int *l3_timeout, int *issu_timeout)
{
    return vorn_config_read_file(
        cfg_file_name,
        {mode, override, l3_timeout, issu_timeout, &cfg_reboot_grace_time, &cfg_bring_up_max_time, cfg_module_users,
         &cfg_keepalive_interval},
        vornmgr_config_reporter);
}

void vornmgr_report_untrusted(const char *path, const char *why)
{
    vornmgr_print_config_diagnostic(nullptr, CONFIG_UNTRUSTED, path, why);
}

bool vornmgr_client_read_config(void)
{
    std::array<char, VORNMGR_TEXT_BUF_LEN> text{};

    if (!vorn_config_read_state_file(VORNMGR_STARTUP_FILE,
                                     {&start_mode, &override, &l3_register_timeout, &l3_nl_info_timeout},
                                     vornmgr_config_reporter)) {
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
    if (cfg_reboot_grace_time != VORNMGR_DEFAULT_REBOOT_GRACE_TIME)
        len += snprintf(content.data() + len, content.size() - static_cast<size_t>(len), "reboot_grace_time=%d\n",
                        cfg_reboot_grace_time);
    if (cfg_bring_up_max_time != VORNMGR_DEFAULT_BRING_UP_MAX_TIME)
        len += snprintf(content.data() + len, content.size() - static_cast<size_t>(len), "bring_up_max_time=%d\n",
                        cfg_bring_up_max_time);
    if (cfg_keepalive_interval != VORNMGR_DEFAULT_KEEPALIVE_INTERVAL)
        len += snprintf(content.data() + len, content.size() - static_cast<size_t>(len), "keepalive_interval=%d\n",
                        cfg_keepalive_interval);
    if (cfg_module_users[0] != '\0')
        len += snprintf(content.data() + len, content.size() - static_cast<size_t>(len), "module_users=%s\n",
                        cfg_module_users);

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
