// SPDX-License-Identifier: Apache-2.0
// Atomic replacement of a file: temporary file in the same directory, fsync,
// rename, directory fsync.

#include "vorn_atomic_file.h"

#include "unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool vorn_write_all(int fd, const void *bytes, size_t len)
{
    const char *data = static_cast<const char *>(bytes);
    while (len > 0) {
        const ssize_t put = write(fd, data, len);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        data += put;
        len -= static_cast<size_t>(put);
    }
    return true;
}

namespace {

struct vorn_bytes_t {
    const void *data;
    size_t len;
};

bool vorn_fill_with_bytes(int fd, const void *context)
{
    const vorn_bytes_t *bytes = static_cast<const vorn_bytes_t *>(context);
    return vorn_write_all(fd, bytes->data, bytes->len);
}

// Makes the rename durable. Some file systems cannot sync a directory; the
// new file is in place either way.
void vorn_sync_directory_of(const char *path)
{
    char dir[PATH_MAX];
    snprintf(dir, sizeof dir, "%s", path);
    char *slash = strrchr(dir, '/');
    if (slash == nullptr)
        snprintf(dir, sizeof dir, ".");
    else if (slash == dir)
        slash[1] = '\0';
    else
        *slash = '\0';
    const unique_fd dir_fd(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir_fd)
        fsync(dir_fd.get());
}

} // namespace

bool vorn_replace_file(const char *path, mode_t mode, const struct stat *keep_owner, vorn_fill_fn fill,
                       const void *context)
{
    char tmp_path[PATH_MAX];
    if (snprintf(tmp_path, sizeof tmp_path, "%s.XXXXXX", path) >= static_cast<int>(sizeof tmp_path)) {
        errno = ENAMETOOLONG;
        return false;
    }
    unique_fd out(mkostemp(tmp_path, O_CLOEXEC));
    if (!out)
        return false;
    bool ok = fchmod(out.get(), mode) == 0;
    if (ok && keep_owner != nullptr && (keep_owner->st_uid != geteuid() || keep_owner->st_gid != getegid()))
        ok = fchown(out.get(), keep_owner->st_uid, keep_owner->st_gid) == 0 || errno == EPERM;
    ok = ok && fill(out.get(), context);
    ok = ok && fsync(out.get()) == 0;
    ok = (out.reset() == 0) && ok;
    ok = ok && rename(tmp_path, path) == 0;
    if (!ok) {
        const int saved = errno;
        unlink(tmp_path);
        errno = saved;
        return false;
    }
    vorn_sync_directory_of(path);
    return true;
}

bool vorn_write_file_atomically(const char *path, const void *data, size_t len, mode_t mode,
                                const struct stat *keep_owner)
{
    const vorn_bytes_t bytes{data, len};
    return vorn_replace_file(path, mode, keep_owner, vorn_fill_with_bytes, &bytes);
}
