// SPDX-License-Identifier: Apache-2.0
// vorn_pid_file.h - a daemon's PID file (vornmgrd, brel-system-services): the
// exclusive lock on it is what keeps a second instance out, so the file stays
// open, and locked, for as long as its owner lives. The descriptor is
// close-on-exec: a command the daemon started and that outlives it must not
// hold the lock that keeps its successor out.
// Only lock_or_log logs, with the words both daemons use.
#ifndef VORN_PID_FILE_H
#define VORN_PID_FILE_H

#include <sys/types.h>

#include <cstdio>
#include <memory>
#include <string>

typedef enum vorn_pid_lock_t {
    PID_FILE_LOCKED,       // ours until closed
    PID_FILE_CANNOT_OPEN,  // errno tells why
    PID_FILE_HELD,         // another process holds the lock
} vorn_pid_lock_t;

class vorn_pid_file_t {
public:
    vorn_pid_file_t() = default;
    vorn_pid_file_t(const vorn_pid_file_t &) = delete;
    vorn_pid_file_t &operator=(const vorn_pid_file_t &) = delete;

    // Opens `path` for reading and appending (created if missing, contents
    // kept) and takes an exclusive, non-blocking flock on it. When another
    // process holds it: *holder is the PID read from the file (-1 if none can
    // be read), *error flock's errno, and the file is closed again untouched.
    vorn_pid_lock_t lock(const char *path, int *holder, int *error);
    // lock(), logging a failure as the daemons do: "Couldn't open pid file
    // <path>" or "Another instance of <instance> ? (PID=<holder>, err=<why>)".
    // True when the file is locked.
    bool lock_or_log(const char *path, const char *instance);
    // Empties the locked file and writes "<pid>\n", flushed. False, with errno
    // set, when it could not be emptied; the PID is written all the same.
    bool write_pid(pid_t pid);
    // Closes the file, which releases the lock, and leaves it in place.
    void close(void);
    // Closes the file and deletes it; false, with errno set, when it could
    // not be deleted.
    bool remove(void);

private:
    std::unique_ptr<FILE, decltype(&fclose)> file_{nullptr, &fclose};
    std::string path_;
};

// Detaches a daemon started with -d from its terminal (daemon(3)), before it
// writes its PID; a failure is logged ("daemon call failed with rv <rv>").
bool vorn_daemon_detach(void);

#endif // VORN_PID_FILE_H
