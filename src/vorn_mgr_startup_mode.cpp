// SPDX-License-Identifier: Apache-2.0
// The manager's start-up mode: which boot the system is in, read from the
// configuration file on the first start within a boot and from the startup
// file (the copy taken then) when only the manager restarted.

#include "log.h"
#include "unique_fd.h"
#include "vorn_atomic_file.h"
#include "vorn_config_line.h"
#include "vorn_mgr.h"
#include "vorn_mgr_access.h"
#include "vorn_trusted_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::atomic<int> l3_register_timeout{180};
std::atomic<int> l3_nl_info_timeout{700};
std::atomic<int> reboot_grace_time{VORNMGR_DEFAULT_REBOOT_GRACE_TIME};
std::atomic<int> bring_up_max_time{VORNMGR_DEFAULT_BRING_UP_MAX_TIME};

namespace {

// The manager's words for what the configuration reader found, in its log.
void vornmgr_log_config_diagnostic(void * /*context*/, vorn_config_diagnostic_t what, const char *path,
                                   const char *quoted)
{
    switch (what) {
    case CONFIG_NO_FILE:
        LOG_INFO("No config file %s (%s)\n", path, quoted);
        return;
    case CONFIG_UNTRUSTED:
        LOG_ERR("untrusted file %s ignored (%s)\n", path, quoted);
        return;
    case CONFIG_UNKNOWN_OVERRIDE:
        LOG_ERR("unknown override (%s) - please validate the config\n", quoted);
        return;
    case CONFIG_UNKNOWN_BOOT_MODE:
        LOG_ERR("unknown boot mode (%s)\n", quoted);
        return;
    case CONFIG_INVALID_L3_UP_MAX_TIME:
        LOG_ERR("invalid l3_up_max_time value %s\n", quoted);
        return;
    case CONFIG_INVALID_ISSU_COMPLETE_MAX_TIME:
        LOG_ERR("invalid issu_complete_max_time value %s\n", quoted);
        return;
    case CONFIG_UNKNOWN_PARAMETER:
        LOG_INFO("Unknown parameter in configuration file %s: %s\n", path, quoted);
        return;
    case CONFIG_INVALID_REBOOT_GRACE_TIME:
        LOG_ERR("invalid reboot_grace_time value %s\n", quoted);
        return;
    case CONFIG_INVALID_BRING_UP_MAX_TIME:
        LOG_ERR("invalid bring_up_max_time value %s\n", quoted);
        return;
    case CONFIG_INVALID_MODULE_USERS:
        LOG_ERR("invalid module_users value %s\n", quoted);
        return;
    case CONFIG_INVALID_KEEPALIVE_INTERVAL:
        LOG_ERR("invalid keepalive_interval value %s\n", quoted);
        return;
    }
}

constexpr vorn_config_reporter_t vornmgr_config_reporter = {vornmgr_log_config_diagnostic, nullptr};

// The state files lie in /tmp and /var/tmp, where any user could have
// planted one: such a file is logged and taken as absent.
bool vornmgr_state_file_trusted(const vorn_trusted_file_t &file, const char *path)
{
    if (file.distrust != nullptr)
        vornmgr_log_config_diagnostic(nullptr, CONFIG_UNTRUSTED, path, file.distrust);
    return bool(file.fd);
}

} // namespace

bool vornmgr_get_config_startup_mode(Module /*mod*/, const char *path, Mode *mode, bool *override,
                                     int *l3_up_max_time, int *issu_complete_max_time)
{
    // The manager's own limits, and who may send module requests, come from
    // the same file.
    int grace = reboot_grace_time;
    int bring_up = bring_up_max_time;
    int keepalive = keepalive_interval;
    char module_users[VORN_CONFIG_MODULE_USERS_LEN];
    vornmgr_get_module_users(module_users);
    const bool valid = vorn_config_read_file(
        path, {mode, override, l3_up_max_time, issu_complete_max_time, &grace, &bring_up, module_users, &keepalive},
        vornmgr_config_reporter);
    reboot_grace_time = grace;
    bring_up_max_time = bring_up;
    keepalive_interval = keepalive;
    vornmgr_set_module_users(module_users);
    return valid;
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
    int grace = reboot_grace_time;
    int bring_up = bring_up_max_time;
    int keepalive = keepalive_interval;
    char module_users[VORN_CONFIG_MODULE_USERS_LEN];
    vornmgr_get_module_users(module_users);
    const auto keep_limits = [&] {
        l3_register_timeout = l3_up_max_time;
        l3_nl_info_timeout = issu_complete_max_time;
        reboot_grace_time = grace;
        bring_up_max_time = bring_up;
        keepalive_interval = keepalive;
        vornmgr_set_module_users(module_users);
    };

    const vorn_config_outputs_t read_into = {&mode,  &override,     &l3_up_max_time, &issu_complete_max_time,
                                             &grace, &bring_up,     module_users,    &keepalive};
    if (!vorn_config_read_state_file(VORNMGR_STARTUP_FILE, read_into, vornmgr_config_reporter))
        LOG_INFO("No or invalid active file\n");
    keep_limits();

    // The startup file lives in /tmp, which a system reboot clears: finding
    // a mode there means only the manager restarted within this boot.
    Mode boot_mode = UNKNOWN_MODE;
    const bool marked = vornmgr_read_boot_marker(&boot_mode);
    if (mode != UNKNOWN_MODE) {
        LOG_INFO("VornMgr restart, using startup config\n");
        *restarted = true;
        // A manager of this boot that left no marker (an older one) has
        // left the startup file: the marker follows from it.
        if (!marked)
            vornmgr_write_boot_marker(mode);
        return mode;
    }
    // The startup file is taken only from a valid configuration; the marker
    // in the runtime directory is left whatever the configuration holds, so
    // a restart within the boot is still known for one.
    if (marked) {
        char mode_text[VORNMGR_TEXT_BUF_LEN];
        LOG_INFO("VornMgr restart within this boot, no startup config: %s mode\n", mode_to_str(boot_mode, mode_text));
        *restarted = true;
        if (!vornmgr_get_config_startup_mode(mod, VORNMGR_CONF_FILE, &mode, &override, &l3_up_max_time,
                                             &issu_complete_max_time))
            LOG_INFO("No boot mode in %s\n", VORNMGR_CONF_FILE);
        l3_register_timeout = l3_up_max_time;
        l3_nl_info_timeout = issu_complete_max_time;
        return boot_mode;
    }

    *restarted = false;
    vornmgr_forget_up_mode();
    if (!vornmgr_get_config_startup_mode(mod, VORNMGR_CONF_FILE, &mode, &override, &l3_up_max_time,
                                         &issu_complete_max_time))
        LOG_ERR("Invalid configuration file\n");
    l3_register_timeout = l3_up_max_time;
    l3_nl_info_timeout = issu_complete_max_time;

    if (mode == UNKNOWN_MODE) {
        LOG_ERR("Unknown mode. Starting default (%s) mode\n", "cold");
        vornmgr_write_boot_marker(REBOOT_COLD);
        return REBOOT_COLD;
    }

    if (vornmgr_state_file_trusted(vorn_open_trusted_file(VORNMGR_UPGRADE_MARKER), VORNMGR_UPGRADE_MARKER)) {
        unlink(VORNMGR_UPGRADE_MARKER);
        mode = static_cast<Mode>(mode | SYS_UPGRADE);
    }

    if (!vornmgr_copy_config(VORNMGR_CONF_FILE, VORNMGR_STARTUP_FILE))
        LOG_ERR("failed to copy %s to %s: %s\n", VORNMGR_CONF_FILE, VORNMGR_STARTUP_FILE, strerror(errno));
    vornmgr_write_boot_marker(mode);
    return mode;
}
