// SPDX-License-Identifier: Apache-2.0
// log_capture.h - the lines the code under test logs, read back through the
// logging library's own file backend: the capture installs a configuration
// "file:<path>=DEBUG" for its lifetime and drops it (back to standard error)
// when it ends. Configure only while no other thread logs.
#ifndef VORN_LOG_CAPTURE_H
#define VORN_LOG_CAPTURE_H

#include "log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace vorn_test {

class LogCapture {
public:
    LogCapture()
    {
        // Under the working directory (the build tree or the sandbox), with a
        // name no other test process of the same build can take.
        std::string pattern = (std::filesystem::current_path() / "log_capture.XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            ADD_FAILURE() << "mkdtemp " << pattern << " failed";
            return;
        }
        dir_ = pattern;
        path_ = dir_ + "/log";
        const std::string setting = "file:" + path_ + "=DEBUG";
        const char *settings[] = {setting.c_str()};
        installed_ = log_init(settings, 1);
        if (!installed_)
            ADD_FAILURE() << "cannot log to " << path_;
    }
    ~LogCapture()
    {
        if (installed_)
            log_deinit();
        std::error_code ignored;
        if (!dir_.empty())
            std::filesystem::remove_all(dir_, ignored);
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // Everything logged so far (each line is flushed as it is written).
    std::string text() const
    {
        std::ifstream in(path_, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // Everything logged since the last take(): for a test that checks the
    // lines of one step at a time.
    std::string take()
    {
        std::string all = text();
        std::string fresh = all.substr(std::min(taken_, all.size()));
        taken_ = all.size();
        return fresh;
    }

private:
    std::string dir_;
    std::string path_;
    bool installed_ = false;
    size_t taken_ = 0;
};

} // namespace vorn_test

#endif // VORN_LOG_CAPTURE_H
