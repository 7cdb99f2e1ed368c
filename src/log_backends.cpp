// SPDX-License-Identifier: Apache-2.0
// log_backends.cpp - the setting strings "backend[:parameter]=LEVEL" and the
// life of a configuration: install, replace, reopen, drop.
#include "itimer.h"
#include "log_private.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

struct free_deleter {
    void operator()(char *text) const { free(text); }
};
using owned_text = std::unique_ptr<char, free_deleter>;

// The one target shared by every stderr backend; never closed. Constant-
// initialised (its stream is set when a backend takes it), so that a backend
// installed during static initialisation finds it ready.
log_stream_t stderr_target;

// True when the name (its first name_length chars; possibly abbreviated,
// possibly empty) selects keyword: the comparison covers the name and at most
// the keyword's terminator, so "sy" matches "syslog" and "stderrx" nothing.
bool log_backend_name_is(const char *name, size_t name_length, const char *keyword)
{
    size_t limit = std::min(name_length, strlen(keyword) + 1);
    return strncmp(name, keyword, limit) == 0;
}

// The path as an absolute name, so that a reopen after a change of working
// directory (daemon) still finds the file. Falls back to joining the working
// directory when the file does not exist yet.
char *log_absolute_path(const char *path)
{
    char *resolved = realpath(path, nullptr);
    if (resolved != nullptr || path[0] == '/')
        return resolved != nullptr ? resolved : strdup(path);
    owned_text cwd(getcwd(nullptr, 0));
    if (cwd == nullptr)
        return strdup(path);
    char *joined = nullptr;
    if (asprintf(&joined, "%s/%s", cwd.get(), path) < 0)
        return nullptr;
    return joined;
}

// Fills one record from a setting already cut at its '='.
bool log_backend_init(log_backend_t *backend, char *setting, log_level_e level)
{
    char *colon = strchr(setting, ':');
    size_t name_length = colon != nullptr ? size_t(colon - setting) : strlen(setting);
    if (colon != nullptr) {
        backend->params = strdup(colon + 1);
        if (backend->params == nullptr) {
            fprintf(stderr, "Log backend '%s' could not be stored.\n", setting);
            return false;
        }
    }
    const char *name = setting;

    if (log_backend_name_is(name, name_length, "stderr")) {
        if (backend->params != nullptr) {
            fprintf(stderr, "Log backend '%s' takes no parameter.\n", setting);
            return false;
        }
        {
            std::lock_guard<std::mutex> hold(stderr_target.lock);
            stderr_target.stream = stderr;
        }
        backend->log = log_file;
        backend->userdata = &stderr_target;
    } else if (log_backend_name_is(name, name_length, "file")) {
        if (backend->params == nullptr || backend->params[0] == '\0') {
            fprintf(stderr, "Log backend '%s' must have a file path.\n", setting);
            return false;
        }
        backend->userdata = new log_stream_t;
        backend->log = log_file;
        backend->reopen = log_file_reopen;
        backend->close = log_file_close;
        // A file that cannot be opened yet is not an error: the backend drops
        // messages until a later log_reopen succeeds.
        log_file_reopen(backend);
        char *absolute = log_absolute_path(backend->params);
        if (absolute != nullptr) {
            free(backend->params);
            backend->params = absolute;
        }
    } else if (log_backend_name_is(name, name_length, "syslog")) {
        log_syslog_open();
        backend->log = log_syslog;
        backend->close = log_syslog_close;
    } else if (log_backend_name_is(name, name_length, "program")) {
        if (backend->params == nullptr || access(backend->params, X_OK) != 0) {
            fprintf(stderr, "Program '%s' doesn't exist or is not executable\n",
                    backend->params != nullptr ? backend->params : "");
            return false;
        }
        backend->log = log_program;
    } else {
        fprintf(stderr, "Unknown log backend '%s'\n", setting);
        return false;
    }

    backend->level = level;
    if (level < _min_log_level.load())
        _min_log_level.store(level);
    return true;
}

// Closes one record's target and frees what it owns.
void log_backend_release(log_backend_t *backend)
{
    if (backend->close != nullptr)
        backend->close(backend);
    free(backend->params);
    backend->params = nullptr;
}

void log_backends_release(log_backend_t *backends, int count)
{
    for (int i = 0; i < count; i++)
        log_backend_release(&backends[i]);
    free(backends);
}

bool log_valid_settings(const char **settings, int count)
{
    for (int i = 0; i < count; i++) {
        owned_text copy(strdup(settings[i]));
        if (copy == nullptr) {
            fprintf(stderr, "Log backend '%s' could not be stored.\n", settings[i]);
            return false;
        }
        log_level_e level;
        if (!log_valid_setting(copy.get(), &level))
            return false;
    }
    return true;
}

} // namespace

bool log_valid_setting(char *setting, log_level_e *level)
{
    *level = LOG_LEVEL_LAST;
    char *equals = strchr(setting, '=');
    if (equals == nullptr) {
        fprintf(stderr, "Log backend '%s' must have a level and backend.\n", setting);
        return false;
    }
    for (int i = LOG_LEVEL_CRIT; i < LOG_LEVEL_LAST; i++) {
        if (strcmp(equals + 1, log_level_strings[i]) == 0) {
            *level = log_level_e(i);
            *equals = '\0';
            return true;
        }
    }
    *level = log_level_e(INT_MAX);
    fprintf(stderr, "Log backend '%s' has invalid level '%s'.\n", setting, equals + 1);
    return false;
}

bool log_init(const char **settings, int count)
{
    if (count < 0) {
        fprintf(stderr, "Log settings count %d is invalid.\n", count);
        return false;
    }
    // A configuration that fails leaves the fallback in force; it must not
    // leave behind a gate lowered for backends that were never installed.
    log_level_e gate_before = _min_log_level.load();
    auto *backends = static_cast<log_backend_t *>(
        _norvane_calloc(size_t(std::max(count, 1)), sizeof(log_backend_t), __FILE_NAME__, __LINE__));

    for (int i = 0; i < count; i++) {
        owned_text copy(strdup(settings[i]));
        log_level_e level;
        bool ok = copy != nullptr && log_valid_setting(copy.get(), &level) &&
                  log_backend_init(&backends[i], copy.get(), level);
        if (ok)
            continue;
        if (copy == nullptr)
            fprintf(stderr, "Log backend '%s' could not be stored.\n", settings[i]);
        // The failing record may hold a target already (a syslog connection,
        // a parameter): release it with the accepted ones, newest first.
        for (int j = i; j >= 0; j--)
            log_backend_release(&backends[j]);
        free(backends);
        _min_log_level.store(gate_before);
        return false;
    }

    log_backend_t *old_backends = log_backends;
    int old_count = num_backends;
    log_backends = backends;
    num_backends = count;
    if (old_backends != nullptr)
        log_backends_release(old_backends, old_count);
    itimer_init();
    return true;
}

bool log_setup(const char **settings, int count)
{
    if (count < 0 || !log_valid_settings(settings, count))
        return false;
    log_deinit();
    return log_init(settings, count);
}

void log_deinit(void)
{
    if (log_backends == nullptr)
        return;
    log_backend_t *backends = log_backends;
    int count = num_backends;
    log_backends = nullptr;
    num_backends = 0;
    log_backends_release(backends, count);
    _min_log_level.store(LOG_LEVEL_LAST);
}

bool log_reopen(void)
{
    bool ok = true;
    for (int i = 0; i < num_backends; i++) {
        if (log_backends[i].reopen != nullptr && !log_backends[i].reopen(&log_backends[i]))
            ok = false;
    }
    return ok;
}
