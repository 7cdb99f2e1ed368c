// SPDX-License-Identifier: Apache-2.0
// unique_fd.h - sole owner of a file descriptor; closes it when it goes.
#ifndef VORN_UNIQUE_FD_H
#define VORN_UNIQUE_FD_H

#include <unistd.h>

#include <utility>

class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    unique_fd(unique_fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    unique_fd &operator=(unique_fd &&other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held; returns close()'s result (0 when none held).
    int reset(int fd = -1)
    {
        const int old = std::exchange(fd_, fd);
        return old >= 0 ? close(old) : 0;
    }

private:
    int fd_ = -1;
};

#endif // VORN_UNIQUE_FD_H
