// SPDX-License-Identifier: Apache-2.0
// vorn_atomic_file.h - replacing a file so that a crash or a full disk at any
// moment leaves either the old content or the new one, never a mix.
#ifndef VORN_ATOMIC_FILE_H
#define VORN_ATOMIC_FILE_H

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>

// Writes the new content to the open temporary file; false (errno set) on a
// failure.
typedef bool (*vorn_fill_fn)(int fd, const void *context);

// Writes a fresh file beside `path` through `fill`, gives it `mode` (and,
// with `keep_owner`, that file's owner and group where the caller may give
// them: only root may give a file away), syncs it, renames it over `path`
// and syncs the directory. A link at `path` is replaced, never followed.
// Returns false with errno set; nothing is left behind then.
bool vorn_replace_file(const char *path, mode_t mode, const struct stat *keep_owner, vorn_fill_fn fill,
                       const void *context);

// The same with `len` bytes of `data` as the new content.
bool vorn_write_file_atomically(const char *path, const void *data, size_t len, mode_t mode,
                                const struct stat *keep_owner = nullptr);

// Writes all of `len` bytes, resuming after interruptions and short writes.
bool vorn_write_all(int fd, const void *data, size_t len);

#endif // VORN_ATOMIC_FILE_H
