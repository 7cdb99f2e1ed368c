// vorn_atomic_file.h - replacing a file so that a crash or a full disk at any
// moment leaves either the old content or the new one, never a mix.
#ifndef VORN_ATOMIC_FILE_H
#define VORN_ATOMIC_FILE_H

#include <sys/types.h>

#include <cstddef>

// Writes `len` bytes to a fresh file beside `path` (mode `mode`), syncs it,
// renames it over `path` and syncs the directory. A link at `path` is
// replaced, never followed. Returns false with errno set; nothing is left
// behind then.
bool vorn_write_file_atomically(const char *path, const void *data, size_t len, mode_t mode);

#endif // VORN_ATOMIC_FILE_H
