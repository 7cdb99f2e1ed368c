// SPDX-License-Identifier: Apache-2.0
// vorn_trusted_file.h - the state files that the manager and vornmgrctl leave
// for each other in directories every local user may write (/tmp, /var/tmp).
// Any user can create a file or a symbolic link at such a path first, so a
// file there counts only if root made it and nobody else can change it.
// Neither function logs: the caller says why a file was refused in its own way.
#ifndef VORN_TRUSTED_FILE_H
#define VORN_TRUSTED_FILE_H

#include "unique_fd.h"

#include <sys/types.h>

#include <cstddef>
#include <string>

// What opening a state file found.
typedef struct vorn_trusted_file_t {
    unique_fd fd;                    // open for reading when the file is trusted
    const char *distrust = nullptr;  // why a file found at the path was refused
} vorn_trusted_file;

// Opens `path` for reading without following a symbolic link at its last
// component and keeps it only if it is a regular file owned by root (uid 0)
// that neither its group nor others may write. Three outcomes:
// - trusted: `fd` is open;
// - refused: no `fd`, `distrust` names the reason ("a symbolic link",
//   "not a regular file", "not owned by root", "writable by group or others");
//   treat the file as absent;
// - no file, or it cannot be opened: no `fd`, no `distrust`, errno tells why.
// Never blocks, even on a FIFO planted at the path.
vorn_trusted_file_t vorn_open_trusted_file(const char *path);

// Leaves an empty marker at `path` that vorn_open_trusted_file accepts when
// the caller is root: a trusted file already there is kept; anything else
// there (a link, another user's file) is removed first, without following it,
// and the marker is created afresh with mode 0644, never through a link. If
// something was removed, *replaced names why it was refused. Returns false
// with errno set when no trusted marker could be made.
bool vorn_create_trusted_file(const char *path, const char **replaced);

// ---------------------------------------------------------------------------
// Files in a directory only root may change (the service's state directory).
// A file is opened relative to the directory's descriptor, so the directory
// that was checked is the one used, even if its path is changed meanwhile.

// Opens the directory `path` without following a symbolic link at its last
// component and keeps it only if it is owned by root and neither its group
// nor others may write it. The same three outcomes as vorn_open_trusted_file,
// `fd` being the directory's; `distrust` is one of "a symbolic link", "not a
// directory", "not owned by root", "writable by group or others".
vorn_trusted_file_t vorn_open_trusted_dir(const char *path);

// Opens `name` in the directory `dir_fd` (AT_FDCWD: a path) with `flags`
// (O_RDONLY, or O_WRONLY | O_APPEND, with O_CREAT and `mode` if wanted),
// never following a symbolic link and never waiting, and keeps it under the
// rule of vorn_open_trusted_file, with the same outcomes. A FIFO opened for
// writing fails with ENXIO instead of waiting for a reader.
vorn_trusted_file_t vorn_open_trusted_file_at(int dir_fd, const char *name, int flags, mode_t mode = 0);

// Reads the open file from its start into *text, never more than `limit`
// bytes: false with errno EFBIG when it holds more (*text is then cut at
// `limit`), or errno from read.
bool vorn_read_bounded(int fd, size_t limit, std::string *text);

// Replaces `name` in the directory `dir_fd` by `len` bytes of `data` with
// `mode`, atomically: a temporary file created in the same directory (never
// through a link), synced, renamed over `name` (a link there is replaced,
// never followed), and the directory synced. False with errno set; nothing
// is left behind then.
bool vorn_replace_file_at(int dir_fd, const char *name, mode_t mode, const void *data, size_t len);
// The same, with `src_len` bytes of the open file `src_fd` from offset `from`
// before `data`: a file rewritten without its start is copied in the kernel.
bool vorn_replace_file_from(int dir_fd, const char *name, mode_t mode, int src_fd, off_t from, size_t src_len,
                            const void *data, size_t len);

#endif // VORN_TRUSTED_FILE_H
