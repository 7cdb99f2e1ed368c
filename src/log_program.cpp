// SPDX-License-Identifier: Apache-2.0
// log_program.cpp - the program backend: each message runs the configured
// program once, with the message text as its one argument, and waits for it.
#include "log_private.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr size_t LOG_PROGRAM_MESSAGE_SIZE = 4096;
// A count above this many fork failures in a row disables the backend.
constexpr int LOG_PROGRAM_MAX_FORK_FAILURES = 10;
// Stored after a failing run: disables every program backend for good.
constexpr int LOG_PROGRAM_DISABLED = 1000;

// Shared by every program backend and every logging thread. Atomic, and a
// success only resets a count that has not disabled the backend, so a run
// that succeeds on one thread cannot revive a backend another thread disabled.
std::atomic<int> failed_count{0};

void log_program_note_success()
{
    int seen = failed_count.load();
    while (seen <= LOG_PROGRAM_MAX_FORK_FAILURES && seen != 0 && !failed_count.compare_exchange_weak(seen, 0)) {
    }
}

// Only async-signal-safe calls between fork and exec: another thread of the
// parent may hold the allocator's or stdio's lock at the moment of the fork.
[[noreturn]] void log_program_exec(const char *program, const char *text)
{
    execl(program, program, text, (char *)nullptr);
    static const char what[] = "Failed to exec logging program: ";
    const char *why = strerrordesc_np(errno);
    if (why == nullptr)
        why = "unknown error";
    ssize_t ignored = write(STDERR_FILENO, what, sizeof what - 1);
    ignored = write(STDERR_FILENO, why, strlen(why));
    ignored = write(STDERR_FILENO, "\n", 1);
    (void)ignored;
    _exit(100);
}

} // namespace

void log_program(log_backend_t *backend, log_level_e, const char *format, int, va_list ap)
{
    if (failed_count.load() > LOG_PROGRAM_MAX_FORK_FAILURES)
        return;

    // Formatted before the fork, for the same reason as above.
    std::array<char, LOG_PROGRAM_MESSAGE_SIZE> text;
    int length = vsnprintf(text.data(), LOG_PROGRAM_MESSAGE_SIZE - 1, format, ap);
    text[LOG_PROGRAM_MESSAGE_SIZE - 1] = '\0';
    if (length < 0) {
        fputs("vsnprintf of log message failed\n", stderr);
        return;
    }

    pid_t child = fork();
    if (child < 0) {
        perror("Failed to fork logging program");
        failed_count.fetch_add(1);
        return;
    }
    if (child == 0)
        log_program_exec(backend->params, text.data());

    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(child, &status, 0);
    } while (waited < 0 && errno == EINTR);
    if (waited == child && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        log_program_note_success();
        return;
    }
    fprintf(stderr, "Logging program '%s' returned failure\n", backend->params);
    failed_count.store(LOG_PROGRAM_DISABLED);
}
