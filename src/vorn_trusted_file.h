// SPDX-License-Identifier: Apache-2.0
// vorn_trusted_file.h - the state files that the manager and vornmgrctl leave
// for each other in directories every local user may write (/tmp, /var/tmp).
// Any user can create a file or a symbolic link at such a path first, so a
// file there counts only if root made it and nobody else can change it.
// Neither function logs: the caller says why a file was refused in its own way.
#ifndef VORN_TRUSTED_FILE_H
#define VORN_TRUSTED_FILE_H

#include "unique_fd.h"

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

#endif // VORN_TRUSTED_FILE_H
