// SPDX-License-Identifier: Apache-2.0
// vorn_trusted_file.cpp - opening and creating state files in directories
// that every local user may write, trusting only what root made.

#include "vorn_trusted_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

vorn_trusted_file_t vorn_open_trusted_file(const char *path)
{
    vorn_trusted_file_t result;
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
    unique_fd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
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
    if (!S_ISREG(st.st_mode))
        result.distrust = "not a regular file";
    else if (st.st_uid != 0)
        result.distrust = "not owned by root";
    else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        result.distrust = "writable by group or others";
    else
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
