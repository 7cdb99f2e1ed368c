// SPDX-License-Identifier: Apache-2.0
// log.h - levelled logging shared by vornmgrd and brel-system-services.
//
// Every line reads "<stamp> <file>:<line> [CRIT |ERR |WARN ]<text>". The call-site
// macros test the gate before anything is evaluated, so a suppressed message
// costs one comparison. Unconfigured (the daemons never configure it), every
// message goes to standard error in full and is flushed at once, after its
// priority ("<6>") when standard error is the journal (log_stream_is_journal).
#ifndef VORN_LOG_H
#define VORN_LOG_H

#include <atomic>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdlib>

typedef enum log_level_e : int {
    LOG_LEVEL_ALWAYS = -1,  // dispatched as INFO, carries no level word
    LOG_LEVEL_CRIT = 0,
    LOG_LEVEL_ERR = 1,
    LOG_LEVEL_WARN = 2,
    LOG_LEVEL_INFO = 3,
    LOG_LEVEL_DEBUG = 4,
    LOG_LEVEL_LAST = 5,     // as the gate's value: every level passes
} log_level_e;

struct log_backend_s;
typedef struct log_backend_s log_backend_t;

typedef void (*log_backend_log_fn)(log_backend_t *backend, log_level_e level, const char *format,
                                   int format_len, va_list ap);
typedef bool (*log_backend_reopen_fn)(log_backend_t *backend);
typedef void (*log_backend_close_fn)(log_backend_t *backend);

// One configured backend. The dispatch hands each backend a copy of its record.
struct log_backend_s {
    log_level_e level;              // least severe level this backend takes
    log_backend_log_fn log;
    log_backend_reopen_fn reopen;   // may be null
    log_backend_close_fn close;     // may be null
    char *params;                   // owned: file path or program path, or null
    void *userdata;                 // log_stream_t of the stderr and file backends (log_private.h)
};

// "CRIT", "ERR", "WARN", "INFO", "DEBUG", indexed by level 0..4.
extern const char *const log_level_strings[5];

// The gate: a message of level L is produced only if _min_log_level >= L.
// Atomic so that a reconfiguration never races a logging thread; relaxed
// loads cost the same as a plain read.
extern std::atomic<log_level_e> _min_log_level;

// The installed configuration (null when unconfigured). The dispatch reads it
// without a lock: configure (log_setup, log_init, log_deinit) only before other
// threads log or while they are quiet. log_reopen is safe at any time.
extern log_backend_t *log_backends;

extern "C" void _log_log(log_level_e level, const char *format, int format_len, ...)
    __attribute__((format(printf, 2, 4)));
// The current time stamp; the text lives in per-thread storage until this
// thread's next call.
const char *_log_datestamp(void);
// The stamp of the given wall-clock time, in the same per-thread storage:
// what _log_datestamp returns for the time it reads.
struct timeval;
const char *log_format_datestamp(const struct timeval *now);
// Whether `fd` is the stream that JOURNAL_STREAM ("<device>:<inode>", set by
// systemd when it connects standard output or error to the journal) names.
// When standard error is, the unconfigured library starts each line with the
// journal's priority ("<3>" for ERR), but not a line that continues one.
bool log_stream_is_journal(int fd, const char *journal_stream);
log_level_e log_string_to_level(const char *string);
const char *log_level_to_string(log_level_e level);
// Logs the calling thread's stack at ALWAYS level, one "STACK <tid>: <address>"
// line per frame, innermost first.
void log_backtrace(void);
// The library also defines the C library's __assert_fail (in log.cpp, linked
// with the core): a failed assert() anywhere in a program that logs writes a
// CRIT line "<file>:<line>: <function>: Assertion `<text>' failed." and the
// stack, then aborts. (assert() itself is compiled out under NDEBUG.)

// Configuration (backends and settings "backend[:parameter]=LEVEL", the
// backend name may be abbreviated: "s=INFO" is stderr, "sy=INFO" syslog).
// Each returns false after a one-line diagnostic on standard error.
// log_setup validates every setting before it replaces the configuration.
bool log_setup(const char **settings, int count);
// Installs a configuration (replacing any installed one); on success also
// switches the profiling timers on or off from $ITIMER (itimer.h).
bool log_init(const char **settings, int count);
// Closes and drops the configuration; the gate returns to LOG_LEVEL_LAST.
void log_deinit(void);
// Reopens every file backend on its path (log rotation); false if one failed.
bool log_reopen(void);
// Checks one setting and cuts it at its '=' (writes a NUL there), so pass a
// copy. Sets *level to the setting's level.
bool log_valid_setting(char *setting, log_level_e *level);
// The syslog backend's line handler: joins a thread's fragments into lines.
void _handle_syslog(log_level_e level, const char *format, va_list ap);

// Backend operations, reached through the records. log_syslog is never called
// by the dispatch (it routes syslog backends to _handle_syslog).
void log_file(log_backend_t *backend, log_level_e level, const char *format, int format_len, va_list ap);
bool log_file_reopen(log_backend_t *backend);
void log_file_close(log_backend_t *backend);
void log_syslog(log_backend_t *backend, log_level_e level, const char *format, int format_len, va_list ap);
void log_syslog_close(log_backend_t *backend);
void log_program(log_backend_t *backend, log_level_e level, const char *format, int format_len, va_list ap);

#define VORN_LOG_PREFIX "%s %s:%d "

// The call convention: prefix, level word for CRIT/ERR/WARN, then the text.
#define VORN_LOG_AT(level, word, fmt, ...)                                                        \
    do {                                                                                          \
        if (_min_log_level.load(std::memory_order_relaxed) >= (level))                            \
            _log_log((level), VORN_LOG_PREFIX word fmt, (int)sizeof(VORN_LOG_PREFIX word fmt),    \
                     _log_datestamp(), __FILE_NAME__, __LINE__ __VA_OPT__(, ) __VA_ARGS__);       \
    } while (0)

// A file that needs <syslog.h> (whose LOG_ERR, LOG_INFO ... clash with these)
// defines VORN_LOG_NO_CALL_MACROS before including this header.
#ifndef VORN_LOG_NO_CALL_MACROS
#define LOG_CRIT(fmt, ...) VORN_LOG_AT(LOG_LEVEL_CRIT, "CRIT ", fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOG_ERR(fmt, ...) VORN_LOG_AT(LOG_LEVEL_ERR, "ERR ", fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOG_WARN(fmt, ...) VORN_LOG_AT(LOG_LEVEL_WARN, "WARN ", fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOG_INFO(fmt, ...) VORN_LOG_AT(LOG_LEVEL_INFO, "", fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOG_DEBUG(fmt, ...) VORN_LOG_AT(LOG_LEVEL_DEBUG, "", fmt __VA_OPT__(, ) __VA_ARGS__)
#define LOG_ALWAYS(fmt, ...) VORN_LOG_AT(LOG_LEVEL_ALWAYS, "", fmt __VA_OPT__(, ) __VA_ARGS__)
#endif

// Zeroed allocation that reports the caller and aborts when memory runs out.
inline void *_norvane_calloc(size_t count, size_t size, const char *file, int line)
{
    void *block = calloc(count, size);
    if (block == nullptr) {
        VORN_LOG_AT(LOG_LEVEL_CRIT, "CRIT ", "calloc returned NULL at %s:%d\n", file, line);
        abort();
    }
    return block;
}

#endif // VORN_LOG_H
