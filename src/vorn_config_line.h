// SPDX-License-Identifier: Apache-2.0
// vorn_config_line.h - the boot-mode file (the configuration file and the
// startup file, byte copies of each other) as both vornmgrd and vornmgrctl
// read it: one reader, so that a file means one thing to both.
//
// Format: lines are read in pieces of at most 255 characters (a longer line is
// read as several lines); leading blanks and tabs are skipped; a line whose
// first other character is '#' or that is empty is ignored; elsewhere the
// first '#' starts a comment. An entry is a key, exactly one separator
// character of any kind, then the value; keys and values are compared as
// prefixes (a value "warmer" reads as "warm"), and a later line overrides an
// earlier one:
//   vornmgrctl_override    "true" or "false"; anything else reads as false
//   boot_mode              "warm", "fast" or "cold"; anything else makes the
//                          mode UNKNOWN_MODE and the file invalid
//   l3_up_max_time         seconds, read as strtol does; a value that is not
//   issu_complete_max_time a positive int keeps the limit as it was
//   reboot_grace_time      the same: seconds a restart's reboot command has
//                          to take the machine down before the manager
//                          counts the reboot as failed
//   bring_up_max_time      the same: seconds every module of a bring-up has
//                          to report itself up
//   keepalive_interval     the same: seconds between the manager's
//                          keepalive broadcasts
//   module_users           who may send module requests besides root and the
//                          members of the group vornmgr: "any" (every local
//                          user), or a comma-separated list, possibly empty,
//                          of user names and @group names, blanks around
//                          entries allowed ("frr, @routing"); a name is 1 to
//                          32 letters, digits, '_', '.' or '-', not starting
//                          with '-' or '.', with an optional final '$'.
//                          Compared whole, not as a prefix; an invalid value
//                          keeps the one from before
//
// The reader words nothing itself: each program says what it found in its
// own words, and where, through the reporter it is given.
#ifndef VORN_CONFIG_LINE_H
#define VORN_CONFIG_LINE_H

#include "vorn_mgr_intf.h"

#include <cstdio>

// The manager's limits when the file names none.
#define VORNMGR_DEFAULT_REBOOT_GRACE_TIME 300
#define VORNMGR_DEFAULT_BRING_UP_MAX_TIME 120
#define VORNMGR_DEFAULT_KEEPALIVE_INTERVAL 60

// What the reader found worth saying; `quoted` (below) is the text each
// program's message quotes.
typedef enum vorn_config_diagnostic_t {
    CONFIG_NO_FILE,                         // the file cannot be opened; quoted: strerror(errno)
    CONFIG_UNTRUSTED,                       // a state file another user could have planted; quoted: why
    CONFIG_UNKNOWN_OVERRIDE,                // quoted: the entry from the key on, comment cut
    CONFIG_UNKNOWN_BOOT_MODE,               // quoted: the entry from the key on, comment cut
    CONFIG_INVALID_L3_UP_MAX_TIME,          // quoted: the whole line, blanks kept, comment cut
    CONFIG_INVALID_ISSU_COMPLETE_MAX_TIME,  // quoted: the whole line, blanks kept, comment cut
    CONFIG_UNKNOWN_PARAMETER,               // quoted: the whole line, blanks kept, comment cut
    CONFIG_INVALID_REBOOT_GRACE_TIME,       // quoted: the whole line, blanks kept, comment cut
    CONFIG_INVALID_BRING_UP_MAX_TIME,       // quoted: the whole line, blanks kept, comment cut
    CONFIG_INVALID_MODULE_USERS,            // quoted: the whole line, blanks kept, comment cut
    CONFIG_INVALID_KEEPALIVE_INTERVAL,      // quoted: the whole line, blanks kept, comment cut
} vorn_config_diagnostic_t;

// Called once for each diagnostic, in the order of the file, with the path
// being read. A program may stay silent about any of them.
typedef void (*vorn_config_report_fn)(void *context, vorn_config_diagnostic_t what, const char *path,
                                      const char *quoted);
typedef struct vorn_config_reporter_t {
    vorn_config_report_fn report;
    void *context;
} vorn_config_reporter_t;

// The room a module_users value needs, its NUL included: no line holds more.
#define VORN_CONFIG_MODULE_USERS_LEN 256
// The room one name of a module_users value needs, its NUL included.
#define VORN_CONFIG_USER_NAME_LEN 33

// Where a reading goes. Each reader sets *mode to UNKNOWN_MODE and *override
// to false before it reads; the two time limits are in/out, written only by
// valid entries. The manager alone wants the last three; a reader given none
// still checks their values. module_users points to VORN_CONFIG_MODULE_USERS_LEN
// bytes, written (the value without its surrounding blanks) only by a valid
// entry.
typedef struct vorn_config_outputs_t {
    Mode *mode;
    bool *override;
    int *l3_up_max_time;
    int *issu_complete_max_time;
    int *reboot_grace_time = nullptr;
    int *bring_up_max_time = nullptr;
    char *module_users = nullptr;
    int *keepalive_interval = nullptr;
} vorn_config_outputs_t;

// Each reader returns true when the file's last boot_mode line was valid.

// Opens and reads `path` (CONFIG_NO_FILE when it cannot be opened).
bool vorn_config_read_file(const char *path, const vorn_config_outputs_t &out, const vorn_config_reporter_t &reporter);
// Reads a state file in a directory any user may write (the startup file):
// only a file root left there counts (vorn_trusted_file.h); any other is
// reported (CONFIG_UNTRUSTED) and read as no file at all.
bool vorn_config_read_state_file(const char *path, const vorn_config_outputs_t &out,
                                 const vorn_config_reporter_t &reporter);

// The entries of a module_users value, one per call, as a walk with three
// outcomes: from *at, CONFIG_USER_ENTRY with the next entry's name (without
// its '@') in `name`, whether it names a group in *group, and *at moved past
// it; CONFIG_USER_END at the end of the value; CONFIG_USER_MALFORMED at an
// entry that is not a name. The value "any" is not a list: test it first.
typedef enum vorn_config_user_step_t {
    CONFIG_USER_ENTRY,
    CONFIG_USER_END,
    CONFIG_USER_MALFORMED,
} vorn_config_user_step_t;
vorn_config_user_step_t vorn_config_next_module_user(const char **at, char (&name)[VORN_CONFIG_USER_NAME_LEN],
                                                     bool *group);
// A value the reader takes: "any", or a list every entry of which is a name.
bool vorn_config_module_users_valid(const char *value);

#endif // VORN_CONFIG_LINE_H
