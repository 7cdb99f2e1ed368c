// SPDX-License-Identifier: Apache-2.0
// log_syslog.cpp - the syslog backend. Syslog takes whole lines, so fragments
// of a line (messages without a trailing newline) are joined in a line buffer
// until a later message brings the newline.
#define VORN_LOG_NO_CALL_MACROS  // <syslog.h> has its own LOG_ERR, LOG_INFO ...
#include "log_private.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <syslog.h>

namespace {

constexpr unsigned LOG_SYSLOG_MESSAGE_SIZE = 4096;

// Syslog priorities of CRIT, ERR, WARN, INFO, DEBUG.
constexpr std::array<int, 5> log_level_syslog_levels = {LOG_CRIT, LOG_ERR, LOG_WARNING, LOG_INFO, LOG_DEBUG};

// The pending fragment of one thread's open line. Kept per thread, because the
// line a fragment belongs to is that thread's: two threads never interleave
// their texts, and no lock is needed. A fragment still pending when its thread
// ends is sent then rather than lost.
struct log_syslog_line_t {
    char *buffered = nullptr;  // heap, NUL-terminated, or null
    int buflen = 0;            // 0 = nothing pending
    int priority = LOG_NOTICE; // of the last text appended

    void drop()
    {
        free(buffered);
        buffered = nullptr;
        buflen = 0;
    }

    ~log_syslog_line_t()
    {
        if (buflen != 0)
            syslog(priority, "%s", buffered);
        drop();
    }
};

thread_local log_syslog_line_t syslog_line;

int log_syslog_priority(log_level_e level)
{
    if (level < LOG_LEVEL_CRIT)
        return LOG_NOTICE;
    if (level > LOG_LEVEL_DEBUG)
        return LOG_DEBUG;
    return log_level_syslog_levels[level];
}

// Moves past one word of the format and its trailing space; false (and the
// format unchanged) when there is no further space.
bool log_syslog_skip_word(const char **format)
{
    const char *space = strchr(*format, ' ');
    if (space == nullptr)
        return false;
    *format = space + 1;
    return true;
}

// Sends every complete line of text[0..length) as one record; returns the
// offset of the text after the last newline.
int log_syslog_send_lines(int priority, const char *text, int length)
{
    int start = 0;
    for (int i = 0; i < length; i++) {
        if (text[i] != '\n')
            continue;
        syslog(priority, "%.*s", i - start, text + start);
        start = i + 1;
    }
    return start;
}

} // namespace

void _handle_syslog(log_level_e level, const char *format, va_list ap)
{
    log_syslog_line_t &line = syslog_line;
    int priority = log_syslog_priority(level);

    // Syslog stamps records itself: drop our stamp. A continuation contributes
    // only its text, so it also loses origin and level word.
    if (log_syslog_skip_word(&format))
        (void)va_arg(ap, const char *);
    if (line.buflen != 0) {
        if (log_syslog_skip_word(&format)) {
            (void)va_arg(ap, const char *);
            (void)va_arg(ap, int);
        }
        if (level >= LOG_LEVEL_CRIT && level <= LOG_LEVEL_WARN)
            log_syslog_skip_word(&format);
    }

    // One char more than the limit, for the newline of a truncated line.
    std::array<char, LOG_SYSLOG_MESSAGE_SIZE + 1> text;
    int needed = vsnprintf(text.data(), LOG_SYSLOG_MESSAGE_SIZE, format, ap);
    if (needed < 0)
        text[0] = '\0';
    int length = int(strlen(text.data()));
    if (needed < 0 || needed >= int(LOG_SYSLOG_MESSAGE_SIZE)) {
        syslog(LOG_WARNING, "Log message longer than %u characters, truncated (began with %.60s)",
               LOG_SYSLOG_MESSAGE_SIZE, text.data());
        // Truncation cut off the newline of a complete line: restore it, or
        // the truncated line would wait for, and merge into, the next message.
        size_t format_length = strlen(format);
        if (format_length > 0 && format[format_length - 1] == '\n') {
            text[length++] = '\n';
            text[length] = '\0';
        }
    }

    if (line.buflen == 0 && memchr(text.data(), '\n', length) != nullptr) {
        int rest = log_syslog_send_lines(priority, text.data(), length);
        if (rest == length)
            return;
        line.buffered = strndup(text.data() + rest, length - rest);
        if (line.buffered == nullptr) {
            syslog(LOG_WARNING, "Log message could not be buffered, flushing");
            syslog(priority, "%s", text.data() + rest);
            return;
        }
        line.buflen = length - rest;
        line.priority = priority;
        return;
    }

    auto *grown = static_cast<char *>(realloc(line.buffered, size_t(line.buflen) + length + 1));
    if (grown == nullptr) {
        // Send what we have rather than lose it, and start afresh so the
        // pending fragment is not sent a second time later.
        syslog(LOG_WARNING, "Log message could not be buffered, flushing");
        if (line.buflen != 0)
            syslog(priority, "%s", line.buffered);
        syslog(priority, "%s", text.data());
        line.drop();
        return;
    }
    memcpy(grown + line.buflen, text.data(), size_t(length) + 1);
    line.buffered = grown;
    line.buflen += length;
    line.priority = priority;
    if (memchr(line.buffered, '\n', line.buflen) == nullptr)
        return;

    int rest = log_syslog_send_lines(priority, line.buffered, line.buflen);
    if (rest == line.buflen) {
        line.drop();
        return;
    }
    memmove(line.buffered, line.buffered + rest, size_t(line.buflen - rest) + 1);
    line.buflen -= rest;
}

void log_syslog(log_backend_t *, log_level_e level, const char *format, int, va_list ap)
{
    syslog(LOG_WARNING, "Function %s should never be called directly", "log_syslog");
    vsyslog(log_syslog_priority(level), format, ap);
}

void log_syslog_close(log_backend_t *)
{
    closelog();
}

// Connects to the system logger at once (LOG_NDELAY), so that a later chroot
// or a full descriptor table cannot keep records from it.
void log_syslog_open(void)
{
    openlog(program_invocation_short_name, LOG_PID | LOG_CONS | LOG_NDELAY, LOG_DAEMON);
}
