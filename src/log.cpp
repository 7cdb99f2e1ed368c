// SPDX-License-Identifier: Apache-2.0
// log.cpp - the logging core: the gate, the time stamp, the dispatch of one
// message to the installed backends (or to standard error), the assertion
// reporter and the stack dump. Backends and settings live in log_backends.cpp.
#include "log.h"
#include "log_private.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

// The C library's declaration (hidden by <assert.h> under NDEBUG), which the
// definition below replaces.
extern "C" void __assert_fail(const char *assertion, const char *file, unsigned int line,
                              const char *function) noexcept __attribute__((__noreturn__));

const char *const log_level_strings[5] = {"CRIT", "ERR", "WARN", "INFO", "DEBUG"};

std::atomic<log_level_e> _min_log_level{LOG_LEVEL_LAST};

log_backend_t *log_backends = nullptr;
int num_backends = 0;

namespace {

constexpr size_t LOG_DATESTAMP_SIZE = 128;
constexpr int LOG_BACKTRACE_DEPTH = 256;

// Continuation is decided per thread: a message that left the line open
// continues only on the thread that opened it.
thread_local bool last_had_newline = true;

// Each thread formats its stamp into its own buffer, so a stamp handed to one
// message is never overwritten by another thread's call.
thread_local std::array<char, LOG_DATESTAMP_SIZE> datestamp_buffer;

// The local-time conversion and its formatting cost several times more than
// the rest of a log line, and a busy thread logs many lines in one second: each
// thread keeps the text of the last second it stamped, "<seconds>." before the
// microseconds and " %F %T" after them.
struct datestamp_second_t {
    bool valid = false;
    time_t second = 0;
    std::array<char, 24> epoch_text{};   // "%lu." of the second
    size_t epoch_len = 0;
    std::array<char, 64> local_text{};   // " %F %T" of the second
    size_t local_len = 0;
};
thread_local datestamp_second_t datestamp_second;

// Writes `value` in decimal, at least `min_digits` long with leading zeros
// (printf's "%0*lu"); returns the number of characters written. `out` holds 20.
size_t log_write_decimal(char *out, unsigned long value, size_t min_digits)
{
    std::array<char, 20> reversed;
    size_t count = 0;
    do {
        reversed[count++] = char('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count < min_digits)
        reversed[count++] = '0';
    for (size_t i = 0; i < count; i++)
        out[i] = reversed[count - 1 - i];
    return count;
}

// Set while this thread reports a failed assertion, so that a second failure
// inside the report (in the stamp or a backend) cannot recurse forever.
thread_local bool reporting_assertion = false;

// Number of leading words of a convention format: stamp and origin, plus the
// level word for the levels that carry one.
int log_prefix_words(log_level_e level)
{
    return level <= LOG_LEVEL_WARN ? 3 : 2;
}

// Strips the prefix of a continuation. Returns the format past the prefix
// (its terminator when the format has fewer words) and consumes the stamp,
// file and line arguments when the prefix was found.
const char *log_strip_prefix(log_level_e level, const char *format, int format_len, int *stripped_len,
                             va_list ap)
{
    int words = log_prefix_words(level);
    int spaces = 0;
    int index = 0;
    for (; format[index] != '\0'; index++) {
        if (format[index] == ' ' && ++spaces == words)
            break;
    }
    if (spaces < words) {
        *stripped_len = format_len - index;
        return format + index;
    }
    index++;  // past the space that ends the prefix
    (void)va_arg(ap, const char *);  // stamp
    (void)va_arg(ap, const char *);  // file
    (void)va_arg(ap, int);           // line
    *stripped_len = format_len - index;
    return format + index;
}

// When standard error is the journal's stream, each line starts with its
// priority, as the journal reads it: "<2>" CRIT, "<3>" ERR, "<4>" WARN, "<6>"
// INFO (and ALWAYS, dispatched as INFO), "<7>" DEBUG.
const char *const log_journal_priorities[5] = {"<2>", "<3>", "<4>", "<6>", "<7>"};

// 1 when standard error is the journal, 0 when not, -1 until first asked.
// Decided once: the daemons never point standard error elsewhere while they
// run (daemon() sends it to /dev/null, where a prefix harms nobody).
std::atomic<int> stderr_is_journal{-1};

bool log_stderr_is_journal(void)
{
    int known = stderr_is_journal.load(std::memory_order_relaxed);
    if (known < 0) {
        known = log_stream_is_journal(STDERR_FILENO, getenv("JOURNAL_STREAM")) ? 1 : 0;
        stderr_is_journal.store(known, std::memory_order_relaxed);
    }
    return known == 1;
}

// The fallback's write: the whole message in one formatted call, flushed, so
// that it reaches the stream in one piece. A line that continues an open one
// gets no second priority.
void log_fallback(log_level_e level, bool continuation, const char *format, int format_len, va_list ap)
{
    // Room for the usual format with its priority before it; a longer one
    // takes two writes under the stream's lock.
    char prefixed[512];
    const bool prefix = !continuation && log_stderr_is_journal();
    const char *priority = log_journal_priorities[level >= LOG_LEVEL_CRIT && level <= LOG_LEVEL_DEBUG ? level : LOG_LEVEL_INFO];
    if (!prefix) {
        vfprintf(stderr, format, ap);
    } else if (format_len > 0 && size_t(format_len) + 3 <= sizeof prefixed) {
        memcpy(prefixed, priority, 3);
        memcpy(prefixed + 3, format, size_t(format_len));
        vfprintf(stderr, prefixed, ap);
    } else {
        flockfile(stderr);
        fputs(priority, stderr);
        vfprintf(stderr, format, ap);
        funlockfile(stderr);
    }
    fflush(stderr);
}

} // namespace

bool log_stream_is_journal(int fd, const char *journal_stream)
{
    if (journal_stream == nullptr)
        return false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    int end = 0;
    if (sscanf(journal_stream, "%llu:%llu%n", &device, &inode, &end) != 2 || journal_stream[end] != '\0')
        return false;
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    return static_cast<unsigned long long>(st.st_dev) == device && static_cast<unsigned long long>(st.st_ino) == inode;
}

extern "C" void _log_log(log_level_e level, const char *format, int format_len, ...)
{
    bool has_newline = format_len >= 2 && format[format_len - 2] == '\n';
    if (level == LOG_LEVEL_ALWAYS)
        level = LOG_LEVEL_INFO;
    bool continuation = !last_had_newline;
    last_had_newline = has_newline;

    va_list ap;
    va_start(ap, format_len);
    if (log_backends == nullptr || num_backends <= 0) {
        log_fallback(level, continuation, format, format_len, ap);
        va_end(ap);
        return;
    }

    for (int i = 0; i < num_backends; i++) {
        if (log_backends[i].level < level)
            continue;
        // Each backend gets its own record copy and argument list, so one
        // backend's consumption never shifts what the next one sees.
        log_backend_t backend = log_backends[i];
        va_list copy;
        va_copy(copy, ap);
        if (backend.log == log_syslog) {
            _handle_syslog(level, format, copy);
        } else if (continuation) {
            int stripped_len = 0;
            const char *stripped = log_strip_prefix(level, format, format_len, &stripped_len, copy);
            backend.log(&backend, level, stripped, stripped_len, copy);
        } else {
            backend.log(&backend, level, format, format_len, copy);
        }
        va_end(copy);
    }
    va_end(ap);
}

const char *_log_datestamp(void)
{
    struct timeval now;
    if (gettimeofday(&now, nullptr) != 0)
        return "-1";
    return log_format_datestamp(&now);
}

const char *log_format_datestamp(const struct timeval *now)
{
    datestamp_second_t &cached = datestamp_second;
    if (!cached.valid || cached.second != now->tv_sec) {
        struct tm local;
        struct tm *tm = localtime_r(&now->tv_sec, &local);
        log_require(tm != NULL, "tm != NULL");
        cached.epoch_len = log_write_decimal(cached.epoch_text.data(), (unsigned long)now->tv_sec, 1);
        cached.epoch_text[cached.epoch_len++] = '.';
        cached.local_len = strftime(cached.local_text.data(), cached.local_text.size(), " %F %T", tm);
        cached.second = now->tv_sec;
        cached.valid = true;
    }

    // At most 21 + 20 + 63 characters: the buffer always has room.
    char *buffer = datestamp_buffer.data();
    size_t used = 0;
    memcpy(buffer, cached.epoch_text.data(), cached.epoch_len);
    used += cached.epoch_len;
    used += log_write_decimal(buffer + used, (unsigned long)now->tv_usec, 6);
    memcpy(buffer + used, cached.local_text.data(), cached.local_len);
    used += cached.local_len;
    buffer[used] = '\0';
    return buffer;
}

log_level_e log_string_to_level(const char *string)
{
    for (int i = LOG_LEVEL_CRIT; i < LOG_LEVEL_LAST; i++) {
        if (strcmp(string, log_level_strings[i]) == 0)
            return log_level_e(i);
    }
    return log_level_e(INT_MAX);
}

const char *log_level_to_string(log_level_e level)
{
    // ALWAYS is dispatched as INFO, so that is the word it answers to; any
    // other value outside the table is a programming error.
    if (level == LOG_LEVEL_ALWAYS)
        return log_level_strings[LOG_LEVEL_INFO];
    log_require(level >= LOG_LEVEL_CRIT && level <= LOG_LEVEL_DEBUG, "FALSE");
    return log_level_strings[level];
}

void log_backtrace(void)
{
    std::array<void *, LOG_BACKTRACE_DEPTH> frames;
    int thread_id = int(gettid());
    int depth = backtrace(frames.data(), LOG_BACKTRACE_DEPTH);
    for (int i = 0; i < depth; i++)
        LOG_ALWAYS("STACK %d: %p\n", thread_id, frames[i]);
}

void log_require_failed(const char *assertion, const char *file, unsigned int line, const char *function)
{
    __assert_fail(assertion, file, line, function);
}

// Replaces the C library's reporter, so that every failed assert() of a program
// linking this library is logged with a stack dump before it aborts.
extern "C" void __assert_fail(const char *assertion, const char *file, unsigned int line,
                              const char *function) noexcept
{
    if (reporting_assertion) {
        fprintf(stderr, "%s:%u: %s%sAssertion `%s' failed while reporting a failed assertion.\n", file, line,
                function ? function : "", function ? ": " : "", assertion);
        fflush(stderr);
        abort();
    }
    reporting_assertion = true;
    LOG_CRIT("%s:%u: %s%sAssertion `%s' failed.\n", file, line, function ? function : "", function ? ": " : "",
             assertion);
    log_backtrace();
    abort();
}
