// SPDX-License-Identifier: Apache-2.0
// vorn_mgr_cli_client_upgrade.cpp - vornmgrctl's package upgrade and its dry
// run. Whether anything was upgraded is decided by the checksum of the package
// manager's history before and after the upgrade.

#include "vorn_mgr_cli_client.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

constexpr const char HISTORY_FILE[] = "/var/log/apt/history.log";
constexpr const char UPGRADE_COMMAND[] =
    "sudo DEBIAN_FRONTEND=noninteractive apt-get -y -o Dpkg::Options::=\"--force-confdef\" "
    "-o Dpkg::Options::=\"--force-confold\" upgrade";
constexpr const char REBOOT_REQUIRED_COMMAND[] = "test ! -f /var/run/reboot-required || cat /var/run/reboot-required";

// 32 hexadecimal characters and the terminator.
using md5_text = std::array<char, 33>;
using pipe_ptr = std::unique_ptr<FILE, decltype(&pclose)>;

// The history's checksum, empty while there is no readable history. False
// when the checksum program could not be run or printed nothing.
bool vornmgr_get_history_checksum(md5_text &md5)
{
    md5.fill('\0');
    if (access(HISTORY_FILE, R_OK) != 0)
        return true;
    fflush(stdout);
    pipe_ptr pipe(popen("md5sum /var/log/apt/history.log", "r"), &pclose);
    if (!pipe)
        return false;
    const size_t got = fread(md5.data(), 1, md5.size() - 1, pipe.get());
    md5[got] = '\0';
    if (got == 0) {
        // The program ran but printed no sum; no call of ours failed.
        errno = ENODATA;
        return false;
    }
    return true;
}

} // namespace

bool vornmgr_process_upgrade(bool upgrade)
{
    if (!upgrade) {
        vornmgr_run_command("sudo apt-get update; sudo apt-get upgrade --dry-run");
        vornmgr_run_command(REBOOT_REQUIRED_COMMAND);
        return false;
    }

    vornmgr_run_command("sudo apt-get update");
    md5_text md5_pre{};
    if (!vornmgr_get_history_checksum(md5_pre)) {
        printf("error in finding pre checksum %s\n", strerror(errno));
        upgrade_failed = true;
        return false;
    }
    const int upgrade_status = vornmgr_run_command_status(UPGRADE_COMMAND);
    md5_text md5_post{};
    if (!vornmgr_get_history_checksum(md5_post)) {
        printf("error in findinng post checksum %s\n", strerror(errno));
        upgrade_failed = true;
        return false;
    }

    const bool unchanged = strcmp(md5_pre.data(), md5_post.data()) == 0;
    if (upgrade_status != 0) {
        // A package manager that could not run upgraded nothing: that is a
        // failure, not "nothing to do". One that failed part-way may still
        // have upgraded packages, which the manager must hear of.
        fprintf(stderr, "vornmgrctl: the upgrade command failed (%s)%s\n",
                vornmgr_status_text(upgrade_status).c_str(), unchanged ? "" : " after upgrading packages");
        if (unchanged) {
            upgrade_failed = true;
            return false;
        }
    }
    if (unchanged) {
        printf(" No components were upgraded\n");
        vornmgr_run_command(REBOOT_REQUIRED_COMMAND);
        return false;
    }
    vornmgr_run_command("/usr/lib/norvane/qorfwupgrade.vek --fwpathfrompkg");
    // The manager adds the upgrade flag only for a marker root left; a failure
    // is reported and the manager is still told of the upgrade.
    vornmgr_create_marker(VORNMGR_UPGRADE_MARKER);
    vornmgr_run_command(REBOOT_REQUIRED_COMMAND);
    return true;
}
