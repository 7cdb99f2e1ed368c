// SPDX-License-Identifier: Apache-2.0
// Quiet logging and the sandbox guard shared by the fuzz targets.

#include "fuzz_support.h"

#include "log.h"

#include <dlfcn.h>
#include <unistd.h>

namespace vorn_fuzz {

namespace {

// Set only while a ShellCapture lives; the targets run on one thread.
shell_recorder_fn shell_recorder = nullptr;

} // namespace

ShellCapture::ShellCapture(shell_recorder_fn recorder)
{
    shell_recorder = recorder;
}

ShellCapture::~ShellCapture()
{
    shell_recorder = nullptr;
}

bool quiet_requested(void)
{
    const char *quiet = getenv("VORN_FUZZ_QUIET");
    return quiet != nullptr && *quiet != '\0' && strcmp(quiet, "0") != 0;
}

void quiet_logs(void)
{
    if (!quiet_requested())
        return;
    const char *settings[] = {"file:/dev/null=DEBUG"};
    if (!log_init(settings, 1))
        fprintf(stderr, "fuzz: could not send the log to /dev/null; logging to stderr\n");
}

void report_failed_check(const char *file, int line, const char *condition, const char *text)
{
    fprintf(stderr, "fuzz check failed at %s:%d: %s: %s\n", file, line, condition, text);
    const char *log_path = getenv("VORN_FUZZ_CHECK_LOG");
    if (log_path != nullptr && *log_path != '\0') {
        FILE *log = fopen(log_path, "a");
        if (log != nullptr) {
            fprintf(log, "pid %d: %s:%d: %s: %s\n", int(getpid()), file, line, condition, text);
            fclose(log);
        }
    }
    abort();
}

void require_sandbox(const char *target)
{
    if (getenv("SANDBOX") != nullptr)
        return;
    fprintf(stderr, "%s uses the manager's fixed port and files: run it inside tools/sandbox (scripts/fuzz does)\n",
            target);
    exit(2);
}

} // namespace vorn_fuzz

// Every system() of the program comes here first.
extern "C" int system(const char *command)
{
    if (vorn_fuzz::shell_recorder != nullptr)
        return vorn_fuzz::shell_recorder(command);
    using system_fn = int (*)(const char *);
    static const auto real_system = reinterpret_cast<system_fn>(dlsym(RTLD_NEXT, "system"));
    if (real_system == nullptr)
        return -1;
    return real_system(command);
}
