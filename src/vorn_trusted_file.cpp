// SPDX-License-Identifier: Apache-2.0
// vorn_trusted_file.cpp - opening and creating state files in directories
// that every local user may write, trusting only what root made; and files
// in a directory that only root may change, reached through its descriptor.

#include "vorn_trusted_file.h"

#include "vorn_atomic_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>

namespace {

// Why a file or directory that was opened cannot be trusted, or nullptr.
const char *vorn_distrust_of(const struct stat &st, mode_t type)
{
    if ((st.st_mode & S_IFMT) != type)
        return type == S_IFDIR ? "not a directory" : "not a regular file";
    if (st.st_uid != 0)
        return "not owned by root";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        return "writable by group or others";
    return nullptr;
}

} // namespace

vorn_trusted_file_t vorn_open_trusted_file(const char *path)
{
    return vorn_open_trusted_file_at(AT_FDCWD, path, O_RDONLY);
}

vorn_trusted_file_t vorn_open_trusted_file_at(int dir_fd, const char *name, int flags, mode_t mode)
{
    vorn_trusted_file_t result;
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    unique_fd fd(openat(dir_fd, name, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode));
    if (!fd) {
        if (errno == ELOOP)
            result.distrust = "a symbolic link";
        return result;
    }
    // The checks look at the file that was opened, not at the path again, so
    // nothing can be swapped in between.
    struct stat st {};
    if (fstat(fd.get(), &st) != 0)
        return result;
    result.distrust = vorn_distrust_of(st, S_IFREG);
    if (result.distrust == nullptr)
        result.fd = std::move(fd);
    return result;
}

bool vorn_create_trusted_file(const char *path, const char **replaced)
{
    *replaced = nullptr;
    const vorn_trusted_file_t existing = vorn_open_trusted_file(path);
    if (existing.fd)
        return true;
    if (existing.distrust != nullptr) {
        // unlink removes a link itself, never what it points at.
        if (unlink(path) != 0)
            return false;
        *replaced = existing.distrust;
    }
    // O_EXCL fails on anything planted since, a link included, instead of
    // writing through it.
    const unique_fd fd(open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd)
        return false;
    // The umask may have taken bits away; the marker is readable by all.
    return fchmod(fd.get(), 0644) == 0;
}

vorn_trusted_file_t vorn_open_trusted_dir(const char *path)
{
    vorn_trusted_file_t result;
    unique_fd fd(open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        // With O_DIRECTORY a link is refused as ENOTDIR, like a file.
        const int saved = errno;
        struct stat st {};
        if (saved == ENOTDIR || saved == ELOOP)
            result.distrust = lstat(path, &st) == 0 && S_ISLNK(st.st_mode) ? "a symbolic link" : "not a directory";
        errno = saved;
        return result;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0)
        return result;
    result.distrust = vorn_distrust_of(st, S_IFDIR);
    if (result.distrust == nullptr)
        result.fd = std::move(fd);
    return result;
}

bool vorn_read_bounded(int fd, size_t limit, std::string *text)
{
    // Room for the file as it stands and one byte past it, so that one read
    // takes it whole and the next finds its end; a file that grows meanwhile
    // is read on, and one byte past the limit tells a file that is too long
    // from one that fills it exactly.
    struct stat st {};
    const size_t size_now = fstat(fd, &st) == 0 && st.st_size > 0 ? static_cast<size_t>(st.st_size) : 0;
    text->assign(std::min(size_now, limit) + 1, '\0');
    size_t have = 0;
    for (;;) {
        if (have == text->size())
            text->resize(std::min(limit + 1, have + 8192));
        const ssize_t got = pread(fd, text->data() + have, text->size() - have, static_cast<off_t>(have));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            text->resize(have);
            return got == 0;
        }
        have += static_cast<size_t>(got);
        if (have > limit) {
            text->resize(limit);
            errno = EFBIG;
            return false;
        }
    }
}

namespace {

// Copies `len` bytes of `src` from `from` to the end of `out`, in the kernel
// where the file systems allow it.
bool vorn_copy_range(int src, off_t from, size_t len, int out)
{
    while (len > 0) {
        loff_t at = from;
        const ssize_t copied = copy_file_range(src, &at, out, nullptr, len, 0);
        if (copied < 0 && errno == EINTR)
            continue;
        if (copied < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP))
            break;  // copied below, through a buffer
        if (copied == 0)
            errno = EIO;  // the source is shorter than it was
        if (copied <= 0)
            return false;
        from += copied;
        len -= static_cast<size_t>(copied);
    }
    char buf[8192];
    while (len > 0) {
        const ssize_t got = pread(src, buf, std::min(len, sizeof buf), from);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            if (got == 0)
                errno = EIO;
            return false;
        }
        if (!vorn_write_all(out, buf, static_cast<size_t>(got)))
            return false;
        from += got;
        len -= static_cast<size_t>(got);
    }
    return true;
}

} // namespace

bool vorn_replace_file_at(int dir_fd, const char *name, mode_t mode, const void *data, size_t len)
{
    return vorn_replace_file_from(dir_fd, name, mode, -1, 0, 0, data, len);
}

bool vorn_replace_file_from(int dir_fd, const char *name, mode_t mode, int src_fd, off_t from, size_t src_len,
                            const void *data, size_t len)
{
    char tmp_name[NAME_MAX + 1];
    unique_fd out;
    // A fresh name each try: O_EXCL refuses whatever is there already.
    for (int attempt = 0; !out && attempt < 16; attempt++) {
        unsigned suffix = 0;
        if (getrandom(&suffix, sizeof suffix, 0) != static_cast<ssize_t>(sizeof suffix))
            suffix = static_cast<unsigned>(getpid()) * 16u + static_cast<unsigned>(attempt);
        if (snprintf(tmp_name, sizeof tmp_name, "%s.%08x", name, suffix) >= static_cast<int>(sizeof tmp_name)) {
            errno = ENAMETOOLONG;
            return false;
        }
        out.reset(openat(dir_fd, tmp_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!out && errno != EEXIST)
            return false;
    }
    if (!out)
        return false;
    bool ok = fchmod(out.get(), mode) == 0;
    ok = ok && (src_len == 0 || vorn_copy_range(src_fd, from, src_len, out.get()));
    ok = ok && vorn_write_all(out.get(), data, len);
    ok = ok && fsync(out.get()) == 0;
    ok = (out.reset() == 0) && ok;
    ok = ok && renameat(dir_fd, tmp_name, dir_fd, name) == 0;
    if (!ok) {
        const int saved = errno;
        unlinkat(dir_fd, tmp_name, 0);
        errno = saved;
        return false;
    }
    // Some file systems cannot sync a directory; the new file is in place
    // either way.
    fsync(dir_fd);
    return true;
}
