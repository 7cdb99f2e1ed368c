// SPDX-License-Identifier: Apache-2.0
// vorn_paths.h - every file through which vornmgrd, vornmgrctl and
// brel-system-services find each other or keep themselves single, each under
// the one name all of them use. C-compatible.
#ifndef VORN_PATHS_H
#define VORN_PATHS_H

// The boot mode and time limits for the next system boot: written by the
// tool, read by the manager on its first start within a boot.
#define VORNMGR_CONF_FILE "/etc/norvane/vornmgrd.conf"
// The manager's copy of the configuration file, taken at its first start
// within a boot; /tmp does not survive a reboot, so finding it means only the
// manager restarted. Read by the manager and the tool.
#define VORNMGR_STARTUP_FILE "/tmp/.vornmgrd.startup.conf"
// The system boots after an upgrade: left by the tool, consumed by the manager.
#define VORNMGR_UPGRADE_MARKER "/var/tmp/.upgrade"
// The front-panel ports are shut for maintenance: created and removed by the
// tool, shown in the manager's status report.
#define VORNMGR_PORTS_MARKER "/tmp/.ports_in_maint"

// The operator socket, on which the manager serves the tool.
#define VORNMGR_CLI_SOCKET_PATH "/run/vornmgr_cli.sock"
// The manager's history of take-downs and bring-ups, one JSON record a line,
// oldest first; the tool reads it (--history, and after a sequence it asked
// for). The directory is root's alone.
#define VORNMGR_STATE_DIR "/var/lib/vornmgr"
#define VORNMGR_HISTORY_FILE VORNMGR_STATE_DIR "/history.jsonl"

// The daemons' PID files, locked for each process's life (vorn_pid_file.h).
#define VORNMGR_PIDFILE "/var/run/vornmgr.pid"
#define BREL_SYSTEM_SERVICES_PIDFILE "/var/run/brel_system_services.pid"

#endif // VORN_PATHS_H
