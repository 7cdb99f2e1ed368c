// SPDX-License-Identifier: Apache-2.0
// log_test_util.h - helpers of the logging library's unit tests: a scratch
// directory under the test's working directory (the build tree, never the
// machine's /tmp) and a capture of standard error at descriptor level.
#ifndef VORN_LOG_TEST_UTIL_H
#define VORN_LOG_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace log_test {

// A directory of its own under the working directory (the build tree), whose
// name no other test process can take: the test processes of one build run
// side by side, each in a pid namespace of its own, so a pid in the name would
// not tell them apart.
inline std::filesystem::path unique_dir(const std::string &prefix)
{
    std::string pattern = (std::filesystem::current_path() / (prefix + ".XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr)
        ADD_FAILURE() << "mkdtemp " << pattern << " failed";
    return pattern;
}

// A fresh directory, removed with everything in it at the end of the test.
class ScratchDir {
public:
    ScratchDir()
    {
        std::string pattern = std::filesystem::current_path().string() + "/log_scratch.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            ADD_FAILURE() << "mkdtemp " << pattern << " failed";
        path_ = pattern;
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    std::string file(const std::string &name) const { return path_ + "/" + name; }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

inline std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void write_script(const std::string &path, const std::string &body)
{
    std::ofstream(path) << "#!/bin/sh\n" << body;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

inline std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::stringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// Redirects descriptor 2 into a file of the scratch directory until text()
// is called; what the code under test wrote there is returned.
class StderrCapture {
public:
    explicit StderrCapture(const ScratchDir &dir) : path_(dir.file("stderr.capture"))
    {
        fflush(stderr);
        saved_ = dup(STDERR_FILENO);
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (saved_ < 0 || fd < 0) {
            ADD_FAILURE() << "cannot capture standard error";
            return;
        }
        dup2(fd, STDERR_FILENO);
        close(fd);
    }
    ~StderrCapture() { restore(); }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    std::string text()
    {
        restore();
        return read_file(path_);
    }

private:
    void restore()
    {
        if (saved_ < 0)
            return;
        fflush(stderr);
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        saved_ = -1;
    }

    std::string path_;
    int saved_ = -1;
};

// The start of every line: stamp "seconds.micros YYYY-MM-DD HH:MM:SS", then
// the origin. As a POSIX extended regular expression.
inline std::string origin_regex(const char *file, int line)
{
    return std::string("[0-9]+\\.[0-9]{6} [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} ") + file + ":" +
           std::to_string(line) + " ";
}

} // namespace log_test

#endif // VORN_LOG_TEST_UTIL_H
