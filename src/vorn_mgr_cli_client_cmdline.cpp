// SPDX-License-Identifier: Apache-2.0
// vorn_mgr_cli_client_cmdline.cpp - vornmgrctl's command line: the one option,
// the override rule, the usage text, and the actions the tool does by itself
// (the front-panel ports; the upgrade runs from here too).

#include "vorn_mgr_cli_client.h"

#include <getopt.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The argument of -m and -p: exactly "0" or "1".
bool vornmgr_cli_get_switch_param(const char *param, bool *on)
{
    if (param == nullptr || strlen(param) != 1 || (param[0] != '0' && param[0] != '1'))
        return false;
    *on = param[0] == '1';
    return true;
}

// -w, -f and -c: choose the boot mode of the next restart, if the
// configuration lets the operator choose.
vorn_mgr_cli_cmd_t vornmgr_cli_choose_boot_mode(const char *exec_name, const char *param, Mode mode,
                                                vorn_mgr_cli_cmd_t cmd)
{
    if (!override) {
        printf(" override from vornmgrctl disallowed in configuration\n");
        printf(" Only the [-r] option is available\n");
        show_usage(exec_name);
        return INVALID;
    }
    if (!vornmgr_cli_get_boot_param(param, &force_boot)) {
        show_usage(exec_name);
        return INVALID;
    }
    do_mode = mode;
    update_config_file = true;
    return cmd;
}

// -r: restart in the configured boot mode.
vorn_mgr_cli_cmd_t vornmgr_cli_configured_restart(const char *exec_name, const char *param)
{
    if (!vornmgr_cli_get_boot_param(param, &force_boot)) {
        show_usage(exec_name);
        return INVALID;
    }
    update_config_file = false;
    if (cfg_mode & REBOOT_WARM)
        return WARMBOOT;
    if (cfg_mode & REBOOT_FAST)
        return FASTBOOT;
    return COLDBOOT;
}

} // namespace

void vornmgr_run_command(const char *command)
{
    [[maybe_unused]] const int status = vornmgr_run_command_status(command);
}

int vornmgr_run_command_status(const char *command)
{
    fflush(stdout);
    return system(command);
}

std::string vornmgr_status_text(int status)
{
    if (status == -1)
        return std::string("could not be run: ") + strerror(errno);
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status));
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

bool vornmgr_cli_get_boot_param(const char *param, bool *force)
{
    if (param == nullptr) {
        *force = false;
        return true;
    }
    if (strcmp(param, "f") == 0) {
        *force = true;
        return true;
    }
    return false;
}

void show_usage(const char *exec_name)
{
    printf("Usage: %s -{action}[option]\n", exec_name);
    printf("  -w{f}      Warmboot\n");
    printf("  -f{f}      Fastboot\n");
    printf("  -c{f}      Coldboot\n");
    printf("  -r{f}      Configured Boot mode (only)\n");
    printf("  -m<0|1>    Maintenance mode disable or enable\n");
    printf("  -p<0|1>    disable or enable all configured ports\n");
    printf("  -u         upgrade\n");
    printf("  -d         upgrade dry-run\n");
    printf("  -s         Show status\n");
    printf("  -h         Show usage\n");
    printf("  --json                  Show status as JSON\n");
    printf("  -m<0|1>, -{w|f|c|r}{f} --json  Outcome as JSON (exit 3: modules held it up)\n");
    printf("  --history[=N] [--json]  Show the last N (5) take-downs and bring-ups\n");
    printf("  --metrics[=FILE]        Show status as metrics, or write them to FILE\n");
    printf("  --version               Show version\n");
    printf("  --help                  Show usage\n");
}

bool vornmgr_cli_print_version_or_help(int argc, char *argv[])
{
    // Looked at before the configuration is read, quietly: any other command
    // line is parse_cmdline's, with getopt's diagnostics. Asked for, the usage
    // is an answer, not the complaint about a wrong command line that -h gives.
    static const option long_options[] = {
        {"version", no_argument, nullptr, 'V'}, {"help", no_argument, nullptr, 'H'}, {nullptr, 0, nullptr, 0}};
    if (argc != 2)
        return false;
    opterr = 0;
    const int found = getopt_long(argc, argv, "", long_options, nullptr);
    opterr = 1;
    optind = 0;  // the next getopt call starts afresh
    if (found == 'H') {
        show_usage(argv[0] != nullptr ? argv[0] : "vornmgrctl");
        return true;
    }
    if (found != 'V')
        return false;
    printf("vornmgrctl %s\n", VORN_VERSION);
    return true;
}

vorn_mgr_cli_cmd_t parse_cmdline(int argc, char *argv[])
{
    const char *exec_name = argc > 0 && argv[0] != nullptr ? argv[0] : "vornmgrctl";
    if (!vornmgr_take_outcome_json(&argc, argv)) {
        show_usage(exec_name);
        return INVALID;
    }
    // --history and --json are long options only, and --history may take its
    // count as a word of its own.
    if (argc >= 2 && strncmp(argv[1], "--", 2) == 0 && argv[1][2] != '\0')
        return vornmgr_parse_long_options(exec_name, argc, argv);
    if (argc != 2) {
        show_usage(exec_name);
        return INVALID;
    }

    // Parsed once: a modifier belongs inside the same argument (-wf, -m1), and
    // only the first option letter counts.
    bool on = false;
    switch (getopt(argc, argv, "r::f::w::c::m:p:udsh")) {
    case 'w':
        return vornmgr_cli_choose_boot_mode(exec_name, optarg, REBOOT_WARM, WARMBOOT);
    case 'f':
        return vornmgr_cli_choose_boot_mode(exec_name, optarg, REBOOT_FAST, FASTBOOT);
    case 'c':
        return vornmgr_cli_choose_boot_mode(exec_name, optarg, REBOOT_COLD, COLDBOOT);
    case 'r':
        return vornmgr_cli_configured_restart(exec_name, optarg);
    case 'm':
        if (!vornmgr_cli_get_switch_param(optarg, &on))
            break;
        return on ? MAINTENANCE_MODE_ENABLE : MAINTENANCE_MODE_DISABLE;
    case 'p':
        if (!vornmgr_cli_get_switch_param(optarg, &on))
            break;
        call_vornmgr = vornmgr_set_ports_state(on);
        return on ? MAINTENANCE_PORT_RESTORE : MAINTENANCE_PORT_DOWN;
    case 'u':
        call_vornmgr = vornmgr_process_upgrade(true);
        // A checksum that could not be taken leaves the outcome unknown: that
        // is a failure, not "nothing to do".
        return upgrade_failed ? INVALID : UPGRADE_MODE;
    case 'd':
        vornmgr_process_upgrade(false);
        call_vornmgr = false;
        return UPGRADE_DRY_RUN_MODE;
    case 's':
        return SHOW;
    default:
        break;
    }
    show_usage(exec_name);
    return INVALID;
}

bool vornmgr_set_ports_state(bool up)
{
    std::array<char, 1024> command{};
    if (up) {
        vornmgr_run_command("ifreload -a");
        snprintf(command.data(), command.size(), "rm -f %s", VORNMGR_PORTS_MARKER);
        vornmgr_run_command(command.data());
    } else {
        vornmgr_run_command("ifdown -a -X eth0");
        vornmgr_create_marker(VORNMGR_PORTS_MARKER);
    }
    // The manager learns the port state from the marker file alone.
    return false;
}
