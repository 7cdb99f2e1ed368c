// SPDX-License-Identifier: Apache-2.0
// A daemon's locked PID file (vorn_pid_file.h).

#include "vorn_pid_file.h"

#include "log.h"

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

vorn_pid_lock_t vorn_pid_file_t::lock(const char *path, int *holder, int *error)
{
    close();
    file_.reset(fopen(path, "a+e"));
    if (!file_)
        return PID_FILE_CANNOT_OPEN;
    if (flock(fileno(file_.get()), LOCK_EX | LOCK_NB) != 0) {
        *error = errno;
        if (fscanf(file_.get(), "%d", holder) != 1)
            *holder = -1;
        close();
        return PID_FILE_HELD;
    }
    path_ = path;
    return PID_FILE_LOCKED;
}

bool vorn_pid_file_t::lock_or_log(const char *path, const char *instance)
{
    int holder = -1;
    int error = 0;
    switch (lock(path, &holder, &error)) {
    case PID_FILE_CANNOT_OPEN:
        LOG_ERR("Couldn't open pid file %s\n", path);
        return false;
    case PID_FILE_HELD:
        LOG_ERR("Another instance of %s ? (PID=%d, err=%s)\n", instance, holder, strerror(error));
        return false;
    case PID_FILE_LOCKED:
        break;
    }
    return true;
}

bool vorn_pid_file_t::write_pid(pid_t pid)
{
    const bool emptied = ftruncate(fileno(file_.get()), 0) == 0;
    const int saved_errno = errno;
    fprintf(file_.get(), "%d\n", static_cast<int>(pid));
    fflush(file_.get());
    errno = saved_errno;
    return emptied;
}

void vorn_pid_file_t::close(void)
{
    file_.reset();
}

bool vorn_pid_file_t::remove(void)
{
    close();
    return unlink(path_.c_str()) == 0;
}

bool vorn_daemon_detach(void)
{
    const int rv = daemon(0, 0);
    if (rv != 0) {
        LOG_ERR("daemon call failed with rv %d\n", rv);
        return false;
    }
    return true;
}
