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

namespace {

bool vorn_write_all(int fd, const char *data, size_t len)
{
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

bool vorn_write_file_atomically(const char *path, const void *data, size_t len, mode_t mode)
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
    ok = ok && vorn_write_all(out.get(), static_cast<const char *>(data), len);
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
