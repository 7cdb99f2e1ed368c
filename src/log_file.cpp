// SPDX-License-Identifier: Apache-2.0
// log_file.cpp - the stderr and file backends: one formatted message per
// write, flushed at once; the file backend reopens its path for rotation.
#include "log_private.h"

#include <cstdio>
#include <cstdlib>

void log_file(log_backend_t *backend, log_level_e, const char *format, int, va_list ap)
{
    auto *target = static_cast<log_stream_t *>(backend->userdata);
    if (target == nullptr)
        return;
    std::lock_guard<std::mutex> hold(target->lock);
    if (target->stream == nullptr)
        return;  // the file could not be opened; a later reopen may bring it back
    vfprintf(target->stream, format, ap);
    fflush(target->stream);
}

bool log_file_reopen(log_backend_t *backend)
{
    log_require(backend->params, "backend->params");
    auto *target = static_cast<log_stream_t *>(backend->userdata);
    log_require(target != nullptr, "backend->userdata");

    // Open the new stream before giving up the old one: if the path cannot be
    // opened, messages keep going to the old file instead of being dropped.
    // Close-on-exec keeps the file out of the program backend's children.
    FILE *reopened = fopen(backend->params, "ae");
    if (reopened == nullptr) {
        fprintf(stderr, "Couldn't open logfile '%s'\n", backend->params);
        return false;
    }
    FILE *old = nullptr;
    {
        std::lock_guard<std::mutex> hold(target->lock);
        old = target->stream;
        target->stream = reopened;
        target->owned = true;
    }
    if (old != nullptr)
        fclose(old);
    return true;
}

void log_file_close(log_backend_t *backend)
{
    auto *target = static_cast<log_stream_t *>(backend->userdata);
    if (target == nullptr)
        return;
    backend->userdata = nullptr;
    if (target->owned && target->stream != nullptr)
        fclose(target->stream);
    delete target;
}
