// SPDX-License-Identifier: Apache-2.0
// log_private.h - what the logging core and its backends share, and nothing
// outside the logging library should use.
#ifndef VORN_LOG_PRIVATE_H
#define VORN_LOG_PRIVATE_H

#include "log.h"

#include <cstdio>
#include <mutex>

// Length of the installed backend array (0 when unconfigured). Changed only by
// log_init/log_deinit, which run while no other thread logs.
extern int num_backends;

// The target of a stderr or file backend. The record's userdata points at it
// for the record's whole life, so the dispatch's record copies stay valid while
// log_reopen swaps the stream underneath.
typedef struct log_stream_t {
    std::mutex lock;          // guards stream: writers and log_reopen
    FILE *stream = nullptr;   // null while the file cannot be opened
    bool owned = false;       // closed on teardown (not standard error)
} log_stream_t;

// Opens the connection to the system logger for a syslog backend.
void log_syslog_open(void);

// Reports a failed internal check through __assert_fail whatever NDEBUG says:
// these checks guard array indexes and must not vanish in release builds.
[[noreturn]] void log_require_failed(const char *assertion, const char *file, unsigned int line,
                                     const char *function);
#define log_require(condition, text)                                                              \
    do {                                                                                          \
        if (!(condition))                                                                         \
            log_require_failed((text), __FILE_NAME__, __LINE__, __func__);                        \
    } while (0)

#endif // VORN_LOG_PRIVATE_H
