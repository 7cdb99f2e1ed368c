// SPDX-License-Identifier: Apache-2.0
// The manager's history file: one JSON record per sequence, a damaged last
// line kept apart, the bounds of 100 records and of bytes, a file that is no
// longer a history set aside, and the reboot's status added to the restart's
// record once known.

#include "log_capture.h"
#include "vorn_mgr_history.h"
#include "vorn_trusted_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;

class HistoryFile : public ::testing::Test {
protected:
    // In the build tree, one directory per case: ctest runs cases in parallel.
    fs::path dir = fs::current_path() /
                   ("vorn_mgr_history_test." + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::string path = (dir / "history.jsonl").string();

    void SetUp() override
    {
        fs::remove_all(dir);
        vornmgr_history_dir = dir.c_str();
        vornmgr_history_path = path.c_str();
    }
    void TearDown() override { fs::remove_all(dir); }

    // A line the readers take for a record.
    static std::string record(const std::string &note)
    {
        return R"({"kind":"recovery","positions":[],"note":")" + note + R"("})";
    }

    std::vector<std::string> lines() const
    {
        std::ifstream in(path);
        std::vector<std::string> found;
        for (std::string line; std::getline(in, line);)
            found.push_back(line);
        return found;
    }
};

TEST_F(HistoryFile, KeepsACutShortLineApartAndTheLast100Lines)
{
    vornmgr_history_append(record("first"));
    EXPECT_EQ(fs::status(dir).permissions() & fs::perms::all, fs::perms::owner_all);
    std::ofstream(path, std::ios::app) << "{\"cut";  // power lost while writing
    vornmgr_history_append(record("second"));
    EXPECT_EQ(lines(), (std::vector<std::string>{record("first"), "{\"cut", record("second")}));

    std::ofstream out(path, std::ios::trunc);
    for (int i = 0; i < 99; i++)
        out << record("line " + std::to_string(i)) << "\n";
    out << "{\"cut";
    out.close();
    vornmgr_history_append(record("newest"));
    const auto kept = lines();
    ASSERT_EQ(kept.size(), 100u);
    EXPECT_EQ(kept.front(), record("line 1"));
    EXPECT_EQ(kept[98], "{\"cut");
    EXPECT_EQ(kept.back(), record("newest"));
}

TEST_F(HistoryFile, AppendsWithoutRereadingYetSeesAFileChangedBehindItsBack)
{
    // Rewritten in place to the same size by someone else: judged again, and
    // what is no longer a history is set aside.
    vornmgr_history_append(record("first"));
    vornmgr_history_append(record("second"));
    const auto size = fs::file_size(path);
    std::ofstream(path, std::ios::in | std::ios::out) << std::string(size, 'x');
    ASSERT_EQ(fs::file_size(path), size);
    vornmgr_history_append(record("after"));
    EXPECT_EQ(lines(), std::vector<std::string>{record("after")});
    EXPECT_TRUE(fs::exists(path + ".damaged"));

    // Only the manager's own appends since: the 101st record pushes out the first.
    for (int i = 1; i < 101; i++)
        vornmgr_history_append(record("own " + std::to_string(i)));
    const auto kept = lines();
    ASSERT_EQ(kept.size(), 100u);
    EXPECT_EQ(kept.front(), record("own 1"));
    EXPECT_EQ(kept.back(), record("own 100"));
    // At the bound, each record rewrites the file without its oldest one.
    for (int i = 101; i < 104; i++)
        vornmgr_history_append(record("own " + std::to_string(i)));
    const auto later = lines();
    ASSERT_EQ(later.size(), 100u);
    EXPECT_EQ(later.front(), record("own 4"));
    EXPECT_EQ(later.back(), record("own 103"));
}

// A request's record is in the file when the tool is answered, even at the
// bound; the oldest line goes after the answer, in a file synced whole.
TEST_F(HistoryFile, AtTheBoundARequestsRecordIsAppendedAndTheOldestDroppedOnceSynced)
{
    for (int i = 0; i < 100; i++)
        vornmgr_history_append(record("own " + std::to_string(i)));
    const auto inode = [this] {
        struct stat st {};
        return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
    };
    const ino_t appended_to = inode();

    vornmgr_history_defer_sync(true);
    vornmgr_history_append(record("asked"));
    const auto answered = lines();
    ASSERT_EQ(answered.size(), 101u);
    EXPECT_EQ(answered.back(), record("asked"));
    EXPECT_EQ(inode(), appended_to);
    vornmgr_history_sync();
    const auto synced = lines();
    ASSERT_EQ(synced.size(), 100u);
    EXPECT_EQ(synced.front(), record("own 1"));
    EXPECT_EQ(synced.back(), record("asked"));
    EXPECT_NE(inode(), appended_to);

    // The file the sync left is known: the next record is appended again.
    vornmgr_history_append(record("next"));
    vornmgr_history_defer_sync(false);
    const auto after = lines();
    ASSERT_EQ(after.size(), 100u);
    EXPECT_EQ(after.front(), record("own 2"));
    EXPECT_EQ(after.back(), record("next"));
}

TEST_F(HistoryFile, BoundedByBytesAsWellAsRecords)
{
    // 63 records of 33000 bytes fit the bound; one more of 20000 pushes the
    // oldest out, and only it.
    const std::string padding(33000 - record("").size() - 3, 'x');
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::owner_all);
    std::ofstream out(path);
    for (int i = 0; i < 63; i++)
        out << record(std::to_string(i + 10) + padding) << "\n";
    out.close();
    ASSERT_LE(fs::file_size(path), size_t{VORNMGR_HISTORY_MAX_BYTES});
    vornmgr_history_append(record(std::string(20000, 'n')));
    EXPECT_LE(fs::file_size(path), size_t{VORNMGR_HISTORY_MAX_BYTES});
    const auto kept = lines();
    ASSERT_EQ(kept.size(), 63u);
    EXPECT_EQ(kept.front(), record("11" + padding));
    EXPECT_EQ(kept.back(), record(std::string(20000, 'n')));
    // The file as the manager left it: a record that needs the room of two
    // of the oldest pushes out those two.
    vornmgr_history_append(record(std::string(70000, 'm')));
    EXPECT_LE(fs::file_size(path), size_t{VORNMGR_HISTORY_MAX_BYTES});
    const auto after = lines();
    ASSERT_EQ(after.size(), 62u);
    EXPECT_EQ(after.front(), record("13" + padding));
    EXPECT_EQ(after.back(), record(std::string(70000, 'm')));
}

// The reader takes a file in one read sized by the file, yet still tells a
// file that fills its bound exactly from one byte longer, and an empty one.
TEST_F(HistoryFile, ReaderKeepsItsBoundAtEveryLength)
{
    fs::create_directories(dir);
    for (const size_t length : {size_t{0}, size_t{100}, size_t{20000}, size_t{20001}}) {
        std::ofstream(path, std::ios::trunc) << std::string(length, 'r');
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        std::string text = "stale";
        errno = 0;
        const bool read = vorn_read_bounded(fd, 20000, &text);
        const int error = errno;
        close(fd);
        EXPECT_EQ(read, length <= 20000) << length;
        EXPECT_EQ(text, std::string(std::min(length, size_t{20000}), 'r')) << length;
        if (!read) {
            EXPECT_EQ(error, EFBIG);
        }
    }
}

TEST_F(HistoryFile, WhatIsNoLongerAHistoryIsSetAsideAndAFreshOneStarted)
{
    vorn_test::LogCapture log;
    const std::string aside = path + ".damaged";
    fs::create_directories(dir);
    fs::permissions(dir, fs::perms::owner_all);

    // Over the bound (a single line: the line count alone never saw it).
    std::ofstream(path) << std::string(VORNMGR_HISTORY_MAX_BYTES + 1, 'x');
    vornmgr_history_append(record("after oversize"));
    EXPECT_EQ(fs::file_size(aside), size_t{VORNMGR_HISTORY_MAX_BYTES + 1});
    EXPECT_EQ(lines(), std::vector<std::string>{record("after oversize")});
    EXPECT_NE(log.take().find("ERR history file " + path + " set aside as " + aside + " (larger than " +
                              std::to_string(VORNMGR_HISTORY_MAX_BYTES) + " bytes)\n"),
              std::string::npos);

    // Mostly lines that are not records; the older copy set aside is replaced.
    std::ofstream(path) << "garbage\n\x01\x02\n" << record("good") << "\n{\"cut\n";
    vornmgr_history_append(record("after garbage"));
    EXPECT_LT(fs::file_size(aside), 100u);
    EXPECT_EQ(lines(), std::vector<std::string>{record("after garbage")});
    EXPECT_NE(log.take().find(" set aside as " + aside + " (mostly damaged lines)\n"), std::string::npos);

    // A directory others may write: nothing written, nothing set aside.
    fs::permissions(dir, fs::perms::others_write, fs::perm_options::add);
    vornmgr_history_append(record("not written"));
    EXPECT_EQ(lines(), std::vector<std::string>{record("after garbage")});
    EXPECT_NE(log.take().find("ERR untrusted directory " + dir.string() + " ignored (writable by group or others)\n"),
              std::string::npos);
}

TEST_F(HistoryFile, RecordsWhatEachPositionSawAndTheRebootsEnd)
{
    vornmgr_take_down_trace_t trace{};
    trace.positions = 1;
    trace.registered = 2;
    vornmgr_position_trace_t &frr = trace.position[0];
    frr.mod = FRR;
    frr.timeout = 10;
    frr.go_down_ms = 1796700000000;
    frr.down_ms = 1796700009500;
    frr.waited_us = 9500000;
    frr.required = 2;
    frr.received = 1;
    frr.timed_out = true;
    frr.expected = (1u << FRR) | (1u << STP);
    frr.answered = 1u << FRR;
    frr.delay_us[FRR] = 1234;
    frr.failure[FRR] = BUSY;
    vornmgr_history_record({SEQUENCE_RESTART, static_cast<Mode>(0x204), REBOOT_WARM, {true, 0, 42}, 1796700000000,
                            9600, 2, true, "sync; reboot --fast", &trace});
    vornmgr_history_record({SEQUENCE_RECOVERY, REBOOT_WARM, REBOOT_WARM, {}, 1796700010000, 1, 2, true, nullptr,
                            nullptr});
    vornmgr_history_note_reboot_end(1, 0);

    const auto kept = lines();
    ASSERT_EQ(kept.size(), 2u);
    const json restart = json::parse(kept[0]);
    EXPECT_EQ(restart["kind"], "restart");
    EXPECT_EQ(restart["boot"], "warm");
    EXPECT_EQ(restart["upgrade"], true);
    EXPECT_EQ(restart["mode"]["words"], json::array({"warm", "upgrade"}));
    EXPECT_EQ(restart["requested_by"], (json{{"uid", 0}, {"pid", 42}}));
    EXPECT_EQ(restart["reboot"],
              (json{{"command", "sync; reboot --fast"}, {"exit_status", 1}, {"signal", nullptr}, {"failure", nullptr}}));
    ASSERT_EQ(restart["positions"].size(), 1u);
    const json &position = restart["positions"][0];
    EXPECT_EQ(position["answers"], json::array({json{{"module", "frr"}, {"id", 2}, {"delay_us", 1234}}}));
    EXPECT_EQ(position["missing"], json::array({"stp"}));
    EXPECT_EQ(position["failed"], json::array({json{{"module", "frr"}, {"id", 2}, {"reason", "busy"}, {"code", 1}}}));
    EXPECT_EQ(position["down_ms"], 1796700009500);
    const json recovery = json::parse(kept[1]);
    EXPECT_EQ(recovery["requested_by"], nullptr);
    EXPECT_EQ(recovery["reboot"], nullptr);

    EXPECT_EQ(vornmgr_last_take_down(FRR).result, TAKE_DOWN_FAILED);
    EXPECT_EQ(vornmgr_last_take_down(STP).result, TAKE_DOWN_NONE);  // not a position of this take-down
}

} // namespace
