// SPDX-License-Identifier: Apache-2.0
// Fuzz target: the configuration file as the manager and the operator tool
// read it.
//
// The same file is read by both: the manager's reading decides the boot mode
// and the layer-3 time limits it runs with, the tool's decides what the
// operator is allowed to ask for and what it writes back. Both read through
// one line parser (vorn_config_line.h), each through its own entry and its
// own reporter (the manager logs, the tool prints). An input is the whole
// file, handed to each entry through a memory file, so nothing touches the
// file system.
//
// What must hold, whatever the bytes:
// - each reader's result is true exactly when it found a valid boot mode, and
//   the mode is then cold, fast or warm, else unknown;
// - a time limit is only ever replaced by a non-zero value;
// - the two readers agree on every value: a file means one thing.
//
// The tool's entry is compiled from its own source with the names it shares
// with the manager prefixed (vornmgrctl_...), so that both live in one program.

#include "fuzz_support.h"
#include "vorn_mgr.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

// The operator tool's reader, under the name cmake/fuzz.cmake gives it.
bool vornmgrctl_get_config_startup_mode(Module module, const char *cfg_file_name, Mode *mode, bool *override,
                                        int *l3_timeout, int *issu_timeout);

namespace {

constexpr int initial_l3_timeout = 180;
constexpr int initial_issu_timeout = 700;

int memory_file = -1;
char memory_file_path[64];
// The tool prints its complaints to stderr itself; in quiet runs they go here.
int null_fd = -1;

struct Reading {
    bool valid;
    Mode mode;
    bool override;
    int l3_timeout;
    int issu_timeout;
};

void check_reading(const char *reader, const Reading &reading)
{
    const bool known_mode =
        reading.mode == REBOOT_COLD || reading.mode == REBOOT_FAST || reading.mode == REBOOT_WARM;
    FUZZ_CHECK(reading.valid == known_mode, "%s: result %d with mode 0x%x", reader, reading.valid,
               static_cast<unsigned>(reading.mode));
    FUZZ_CHECK(reading.valid || reading.mode == UNKNOWN_MODE, "%s: invalid file with mode 0x%x", reader,
               static_cast<unsigned>(reading.mode));
    FUZZ_CHECK(reading.l3_timeout != 0 && reading.issu_timeout != 0, "%s: a time limit of 0", reader);
}

Reading read_as_manager(void)
{
    Reading reading{false, REBOOT_WARM, true, initial_l3_timeout, initial_issu_timeout};
    reading.valid = vornmgr_get_config_startup_mode(ALL_MODULES, memory_file_path, &reading.mode, &reading.override,
                                                    &reading.l3_timeout, &reading.issu_timeout);
    return reading;
}

Reading read_as_tool(void)
{
    Reading reading{false, REBOOT_WARM, true, initial_l3_timeout, initial_issu_timeout};
    const int saved_stderr = null_fd >= 0 ? dup(STDERR_FILENO) : -1;
    if (saved_stderr >= 0)
        dup2(null_fd, STDERR_FILENO);
    reading.valid = vornmgrctl_get_config_startup_mode(ALL_MODULES, memory_file_path, &reading.mode,
                                                       &reading.override, &reading.l3_timeout, &reading.issu_timeout);
    if (saved_stderr >= 0) {
        dup2(saved_stderr, STDERR_FILENO);
        close(saved_stderr);
    }
    return reading;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int * /*argc*/, char *** /*argv*/)
{
    vorn_fuzz::quiet_logs();
    if (vorn_fuzz::quiet_requested())
        null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    memory_file = memfd_create("vornmgrd.conf", MFD_CLOEXEC);
    FUZZ_CHECK(memory_file >= 0, "memfd_create: %s", strerror(errno));
    snprintf(memory_file_path, sizeof memory_file_path, "/proc/self/fd/%d", memory_file);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FUZZ_CHECK(ftruncate(memory_file, 0) == 0, "ftruncate: %s", strerror(errno));
    FUZZ_CHECK(pwrite(memory_file, data, size, 0) == static_cast<ssize_t>(size), "pwrite: %s", strerror(errno));

    const Reading manager = read_as_manager();
    const Reading tool = read_as_tool();
    check_reading("manager", manager);
    check_reading("tool", tool);
    FUZZ_CHECK(manager.valid == tool.valid && manager.mode == tool.mode, "boot mode: manager 0x%x, tool 0x%x",
               static_cast<unsigned>(manager.mode), static_cast<unsigned>(tool.mode));
    FUZZ_CHECK(manager.override == tool.override, "override: manager %d, tool %d", manager.override, tool.override);
    FUZZ_CHECK(manager.l3_timeout == tool.l3_timeout, "l3_up_max_time: manager %d, tool %d", manager.l3_timeout,
               tool.l3_timeout);
    FUZZ_CHECK(manager.issu_timeout == tool.issu_timeout, "issu_complete_max_time: manager %d, tool %d",
               manager.issu_timeout, tool.issu_timeout);
    return 0;
}
