// SPDX-License-Identifier: Apache-2.0
// The daemons' PID file: one holder at a time, the holder named to the one
// refused, and a descriptor that no command the daemon runs inherits.

#include "vorn_pid_file.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

class PidFile : public ::testing::Test {
protected:
    fs::path dir = fs::current_path() /
                   ("vorn_pid_file_test." + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::string path = (dir / "daemon.pid").string();

    void SetUp() override
    {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string content() const
    {
        std::ostringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
    }
};

TEST_F(PidFile, SecondHolderIsRefusedAndToldTheFirst)
{
    vorn_pid_file_t first;
    int holder = 0;
    int error = 0;
    ASSERT_EQ(first.lock(path.c_str(), &holder, &error), PID_FILE_LOCKED);
    EXPECT_TRUE(first.write_pid(4242));
    EXPECT_EQ(content(), "4242\n");

    vorn_pid_file_t second;
    EXPECT_EQ(second.lock(path.c_str(), &holder, &error), PID_FILE_HELD);
    EXPECT_EQ(holder, 4242);
    EXPECT_EQ(error, EWOULDBLOCK);
    EXPECT_EQ(content(), "4242\n") << "the refused one leaves the file alone";

    // Closing releases the lock and keeps the file; the next holder rewrites it whole.
    first.close();
    ASSERT_EQ(second.lock(path.c_str(), &holder, &error), PID_FILE_LOCKED);
    EXPECT_TRUE(second.write_pid(7));
    EXPECT_EQ(content(), "7\n");
    EXPECT_TRUE(second.remove());
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(second.remove());
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(PidFile, EmptyOrUnopenableFiles)
{
    vorn_pid_file_t first;
    int holder = 0;
    int error = 0;
    ASSERT_EQ(first.lock(path.c_str(), &holder, &error), PID_FILE_LOCKED);
    vorn_pid_file_t second;
    EXPECT_EQ(second.lock(path.c_str(), &holder, &error), PID_FILE_HELD);
    EXPECT_EQ(holder, -1) << "a locked file without a PID yet";

    EXPECT_EQ(second.lock((dir / "missing" / "daemon.pid").c_str(), &holder, &error), PID_FILE_CANNOT_OPEN);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(PidFile, DescriptorIsCloseOnExec)
{
    vorn_pid_file_t pid_file;
    int holder = 0;
    int error = 0;
    ASSERT_EQ(pid_file.lock(path.c_str(), &holder, &error), PID_FILE_LOCKED);
    int found = 0;
    for (const auto &entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code not_a_link;
        if (fs::read_symlink(entry.path(), not_a_link) != fs::path(path))
            continue;
        ++found;
        const int flags = fcntl(std::stoi(entry.path().filename().string()), F_GETFD);
        EXPECT_NE(flags & FD_CLOEXEC, 0);
    }
    EXPECT_EQ(found, 1);
}

} // namespace
