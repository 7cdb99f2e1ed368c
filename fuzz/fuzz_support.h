// SPDX-License-Identifier: Apache-2.0
// fuzz_support.h - what the fuzz targets share: the check that turns a broken
// promise of the code under test into a crash the fuzzer keeps, the way an
// input is cut into the packages of one conversation, packages laid out by
// the package codec, and quiet logging for long fuzzing runs.
//
// Every target defines LLVMFuzzerTestOneInput and LLVMFuzzerInitialize. They
// are built twice: with libFuzzer in the clang fuzz build (scripts/fuzz), and
// with fuzz/replay_test.cpp in the normal build, where every committed corpus
// input is replayed as a unit test.
#ifndef VORN_FUZZ_SUPPORT_H
#define VORN_FUZZ_SUPPORT_H

#include "vorn_mgr_pkg.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// A promise of the code under test did not hold: say which, then abort, so the
// fuzzer saves the input and a replay fails with the message.
#define FUZZ_CHECK(condition, ...)                                                     \
    do {                                                                               \
        if (!(condition)) {                                                            \
            char fuzz_check_text_[512];                                                \
            snprintf(fuzz_check_text_, sizeof fuzz_check_text_, __VA_ARGS__);          \
            vorn_fuzz::report_failed_check(__FILE__, __LINE__, #condition, fuzz_check_text_); \
        }                                                                              \
    } while (0)

namespace vorn_fuzz {

// Prints the broken promise and aborts. libFuzzer's fork mode keeps only the
// input of a crashed job, so the text also goes to the file named by
// $VORN_FUZZ_CHECK_LOG (scripts/fuzz sets it), with the process id.
[[noreturn]] void report_failed_check(const char *file, int line, const char *condition, const char *text);

inline int32_t read_int(const void *at)
{
    int32_t value;
    memcpy(&value, at, sizeof value);
    return value;
}

// The values as the wire carries them: int32s, one after another.
inline std::vector<uint8_t> ints(std::initializer_list<int32_t> values)
{
    std::vector<uint8_t> bytes(values.size() * 4);
    size_t at = 0;
    for (int32_t value : values) {
        memcpy(bytes.data() + at, &value, 4);
        at += 4;
    }
    return bytes;
}

// One message of a package to build: its type and its payload's bytes.
struct Message {
    int32_t type;
    std::vector<uint8_t> payload;
};

inline Message message(int32_t type, std::initializer_list<int32_t> payload = {})
{
    return {type, ints(payload)};
}

// A well-formed package of `messages`, laid out by the package codec as the
// manager and the modules lay out theirs.
inline std::vector<uint8_t> package(std::initializer_list<Message> messages)
{
    int capacity = VORNMGR_PKG_HDR_LEN;
    for (const Message &message : messages)
        capacity += VORNMGR_MSG_HDR_LEN + static_cast<int>(message.payload.size());
    std::vector<uint8_t> bytes(static_cast<size_t>(capacity));
    vornmgr_pkg_init(bytes.data(), capacity);
    for (const Message &message : messages)
        vornmgr_pkg_add(bytes.data(), capacity, message.type, message.payload.data(),
                        static_cast<int>(message.payload.size()));
    return bytes;
}

// The type of a package's first message, or -1 if it has none.
inline int32_t first_type(const std::vector<uint8_t> &package)
{
    const int size = static_cast<int>(package.size());
    vornmgr_pkg_message_t first;
    if (vornmgr_pkg_read_message(package.data(), VORNMGR_PKG_HDR_LEN, vornmgr_pkg_end(package.data(), size),
                                 &first) != VORNMGR_PKG_MESSAGE)
        return -1;
    return first.type;
}

// Cuts an input into the packages of one conversation, one after another. A
// package ends where its own total_len says when that lies within what is
// left; otherwise (a total_len below 4, past the end, or fewer than 4 bytes
// left) it takes everything that is left. So a seed is simply the protocol's
// packages back to back, and the last package may lie about its length.
class PackageCutter {
public:
    PackageCutter(const uint8_t *data, size_t size) : data_(data), left_(size) {}

    // The next package, or false when the input is used up.
    bool next(const uint8_t **package, size_t *size)
    {
        if (left_ == 0)
            return false;
        size_t take = left_;
        if (left_ >= 4) {
            const int32_t total_len = read_int(data_);
            if (total_len >= 4 && static_cast<size_t>(total_len) <= left_)
                take = static_cast<size_t>(total_len);
        }
        *package = data_;
        *size = take;
        data_ += take;
        left_ -= take;
        return true;
    }

private:
    const uint8_t *data_;
    size_t left_;
};

// Long fuzzing runs (scripts/fuzz sets VORN_FUZZ_QUIET) would write every log
// line of millions of inputs; the lines are still formatted, so every log
// call's arguments are exercised, but they go to /dev/null.
bool quiet_requested(void);
void quiet_logs(void);

// The shell while the code under test runs: a target that must not run real
// commands (reboots, upgrade scripts) installs a recorder, and every system()
// of the code under test reaches it while a ShellCapture lives. All other
// calls, such as libFuzzer's own fork and merge jobs, reach the real shell.
typedef int (*shell_recorder_fn)(const char *command);
class ShellCapture {
public:
    explicit ShellCapture(shell_recorder_fn recorder);
    ~ShellCapture();
    ShellCapture(const ShellCapture &) = delete;
    ShellCapture &operator=(const ShellCapture &) = delete;
};

// Targets that use the manager's fixed port or files refuse to run outside
// tools/sandbox, which gives every run its own /tmp and network.
void require_sandbox(const char *target);

} // namespace vorn_fuzz

#endif // VORN_FUZZ_SUPPORT_H
