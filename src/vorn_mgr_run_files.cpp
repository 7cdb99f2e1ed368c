// SPDX-License-Identifier: Apache-2.0
// The manager's small files in its runtime directory: the record of the
// sequence in progress, the boot marker and the modules known to be
// registered. The directory survives a crash or a restart of the manager and
// is emptied by a reboot, so what is found there belongs to this boot.

#include "log.h"
#include "vorn_atomic_file.h"
#include "vorn_mgr.h"
#include "vorn_trusted_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

bool vornmgr_read_run_file(const char *path, char *text, size_t size)
{
    vorn_trusted_file_t file = vorn_open_trusted_file(path);
    if (file.distrust != nullptr) {
        LOG_ERR("untrusted file %s ignored (%s)\n", path, file.distrust);
        return false;
    }
    if (!file.fd) {
        if (errno != ENOENT)
            LOG_ERR("cannot read %s: %s\n", path, strerror(errno));
        return false;
    }
    size_t got = 0;
    while (got < size - 1) {
        const ssize_t n = read(file.fd.get(), text + got, size - 1 - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            LOG_ERR("cannot read %s: %s\n", path, strerror(errno));
            return false;
        }
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    text[got] = '\0';
    return true;
}

bool vornmgr_write_run_file(const char *path, const char *text, size_t len)
{
    // The directory is the service's runtime directory; made here when the
    // manager runs without one.
    if (mkdir(VORNMGR_RUN_DIR, 0755) != 0 && errno != EEXIST)
        LOG_ERR("cannot make %s: %s\n", VORNMGR_RUN_DIR, strerror(errno));
    if (!vorn_write_file_atomically(path, text, len, 0644)) {
        LOG_ERR("cannot write %s: %s\n", path, strerror(errno));
        return false;
    }
    return true;
}

namespace {

// A file of one "key=0x…" line; false when absent or not that.
bool vornmgr_read_hex_file(const char *path, const char *key, unsigned *value)
{
    char text[64];
    if (!vornmgr_read_run_file(path, text, sizeof text))
        return false;
    const size_t key_len = strlen(key);
    char *end = nullptr;
    if (strncmp(text, key, key_len) != 0 || text[key_len] != '=') {
        LOG_ERR("unreadable %s ignored\n", path);
        return false;
    }
    errno = 0;
    const unsigned long read = strtoul(text + key_len + 1, &end, 16);
    if (errno != 0 || end == text + key_len + 1 || (*end != '\n' && *end != '\0') || read > 0xffffffffUL) {
        LOG_ERR("unreadable %s ignored\n", path);
        return false;
    }
    *value = static_cast<unsigned>(read);
    return true;
}

void vornmgr_write_hex_file(const char *path, const char *key, unsigned value)
{
    char text[64];
    const int len = snprintf(text, sizeof text, "%s=0x%x\n", key, value);
    vornmgr_write_run_file(path, text, static_cast<size_t>(len));
}

} // namespace

bool vornmgr_read_boot_marker(Mode *mode)
{
    unsigned value = 0;
    if (!vornmgr_read_hex_file(VORNMGR_BOOT_MARKER, "mode", &value))
        return false;
    *mode = value != 0 ? static_cast<Mode>(value) : REBOOT_COLD;
    return true;
}

void vornmgr_write_boot_marker(Mode mode)
{
    vornmgr_write_hex_file(VORNMGR_BOOT_MARKER, "mode", static_cast<unsigned>(mode));
}

namespace {
// What this manager last read from or wrote to the up-mode file: a bring-up
// in the same mode as the one before writes nothing.
std::atomic<unsigned> up_mode_on_file{0};
} // namespace

bool vornmgr_read_up_mode(Mode *mode)
{
    unsigned value = 0;
    if (!vornmgr_read_hex_file(VORNMGR_UP_MODE, "mode", &value))
        return false;
    up_mode_on_file = value;
    *mode = static_cast<Mode>(value);
    return value != 0 && !vornmgr_is_maintenance(*mode);
}

void vornmgr_note_up_mode(Mode mode)
{
    const unsigned value = static_cast<unsigned>(mode);
    if (up_mode_on_file.exchange(value) != value)
        vornmgr_write_hex_file(VORNMGR_UP_MODE, "mode", value);
}

void vornmgr_forget_up_mode(void)
{
    up_mode_on_file = 0;
    if (unlink(VORNMGR_UP_MODE) != 0 && errno != ENOENT)
        LOG_ERR("cannot remove %s: %s\n", VORNMGR_UP_MODE, strerror(errno));
}

bool vornmgr_read_known_modules(unsigned *modules)
{
    if (!vornmgr_read_hex_file(VORNMGR_KNOWN_MODULES, "modules", modules))
        return false;
    // Rows 0 and 1 are never modules of their own.
    *modules &= ((1u << MAX_MODULES) - 1) & ~((1u << FRR) - 1);
    return true;
}

void vornmgr_write_known_modules(unsigned modules)
{
    vornmgr_write_hex_file(VORNMGR_KNOWN_MODULES, "modules", modules);
}
