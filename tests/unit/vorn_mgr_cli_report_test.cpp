// SPDX-License-Identifier: Apache-2.0
// The status report as the operator reads it: the text of each record, and
// the records as they arrive on the connection, also when it breaks.

#include "vorn_mgr_cli_server.h"

#include "log_capture.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr time_t now = 1700000000;

struct Record {
    int32_t status;
    int32_t len;
    std::string text;
};

Record parse(const vornmgr_cli_record_t &record, int len)
{
    Record r{};
    memcpy(&r.status, record.data(), 4);
    memcpy(&r.len, record.data() + 4, 4);
    EXPECT_EQ(r.len, len);
    r.text.assign(record.data() + 8, static_cast<size_t>(len - 8));
    return r;
}

registered_modules_t row(Module mod, Mode mode, State state, int num_starts, time_t start_time)
{
    registered_modules_t r{};
    r.mod_status.mode = {mod, mode, state};
    r.num_starts = num_starts;
    r.start_time = start_time;
    return r;
}

std::string module_line(Module mod, const registered_modules_t &r)
{
    vornmgr_cli_record_t record;
    return parse(record, vornmgr_build_module_record(record, mod, r, now)).text;
}

std::string ctime_text(time_t t)
{
    char buf[64];
    ctime_r(&t, buf);
    buf[strcspn(buf, "\n")] = '\0';
    return buf;
}

vornmgr_report_t report(Mode mode)
{
    vornmgr_report_t r{};
    r.mode = mode;
    r.now = now;
    return r;
}

std::string summary_text(const vornmgr_report_t &r)
{
    vornmgr_cli_record_t record;
    const Record parsed = parse(record, vornmgr_build_summary_record(record, r));
    EXPECT_EQ(parsed.status, SHOW_IN_PROGRESS);
    return parsed.text;
}

TEST(ReportSummary, NothingRegisteredGivesOnlyTheModeLineWhateverTheMaintenanceState)
{
    vornmgr_report_t r = report(static_cast<Mode>(MAINTENANCE | REBOOT_WARM));
    r.maintenance_start_time = now - 60;
    r.ports_in_maint = true;
    r.rows[VORNMGR] = row(VORNMGR, REBOOT_WARM, UP, 1, now);          // the manager's own row
    r.rows[ALL_MODULES] = row(ALL_MODULES, REBOOT_WARM, UP, 1, now);  // a bogus registration under 1
    EXPECT_EQ(summary_text(r), " Current System Mode: Maintenance, warm  \n No Actively Registered Modules\n");
}

TEST(ReportSummary, ModeLineShowsAPendingUpgradeEveryModeBitAndThePorts)
{
    vornmgr_report_t r = report(static_cast<Mode>(0x304));
    r.rows[SDK] = row(SDK, REBOOT_WARM, UP, 1, now);
    r.upgraded = true;
    EXPECT_EQ(summary_text(r), " Current System Mode: Maintenance, Upgrade, warm (pending upgrade)\n"
                               " Maintenance mode on (unknown duration)\n");

    // Ports shut without maintenance; a start time left from an earlier window is not shown.
    r = report(UNKNOWN_MODE);
    r.rows[SDK] = row(SDK, REBOOT_WARM, UP, 1, now);
    r.ports_in_maint = true;
    r.maintenance_start_time = now - 10;
    EXPECT_EQ(summary_text(r), " Current System Mode: Unknown  \n Ports shutdown for Maintenance\n");
}

TEST(ReportSummary, MaintenanceDurationRunsPastADay)
{
    vornmgr_report_t r = report(static_cast<Mode>(MAINTENANCE | REBOOT_COLD));
    r.rows[FRR] = row(FRR, REBOOT_COLD, DOWN, 1, now);
    r.maintenance_start_time = now - (25 * 3600 + 60 + 1);
    r.ports_in_maint = true;
    EXPECT_EQ(summary_text(r), " Current System Mode: Maintenance, cold  \n"
                               " Maintenance mode since " + ctime_text(r.maintenance_start_time) +
                                   " (Duration: 25:01:01)\n"
                                   " Ports shutdown for Maintenance\n");

    r.maintenance_start_time = now - 123 * 3600;
    r.ports_in_maint = false;
    EXPECT_NE(summary_text(r).find("(Duration: 123:00:00)\n"), std::string::npos);
}

TEST(ReportSummary, UnconvertibleStartTimeStopsTheReport)
{
    vornmgr_report_t r = report(static_cast<Mode>(MAINTENANCE | REBOOT_WARM));
    r.rows[FRR] = row(FRR, REBOOT_WARM, UP, 1, now);
    r.maintenance_start_time = LLONG_MAX;
    vornmgr_cli_record_t record;
    vorn_test::LogCapture capture;
    EXPECT_EQ(vornmgr_build_summary_record(record, r), -1);
    EXPECT_NE(capture.text().find("ERR ctime error"), std::string::npos);
}

TEST(ReportModuleLine, NamePaddedThenModeStateUpTimeAndRestarts)
{
    EXPECT_EQ(module_line(FRR, row(FRR, REBOOT_WARM, UP, 1, now - (12 * 60 + 5))),
              " frr             : warm, up, up time: 00:12:05\n");
    EXPECT_EQ(module_line(SYSTEM_SERVICES, row(SYSTEM_SERVICES, REBOOT_WARM, UP, 2, now - (3 * 60 + 41))),
              " System Services : warm, up, up time: 00:03:41 (1 restart)\n");
    EXPECT_EQ(module_line(SWIVEND, row(SWIVEND, static_cast<Mode>(0x201), GO_DOWN, 1, now - (26 * 3600 + 7))),
              " swivend         : Upgrade, cold, going down, up time: 26:00:07\n");
}

TEST(ReportModuleLine, RestartCountIsStartsLessOne)
{
    const char *expected_tail[] = {"\n", "\n", " (1 restart)\n", " (2 restarts)\n"};
    for (int starts = 0; starts <= 3; ++starts) {
        const std::string line = module_line(BGP, row(BGP, REBOOT_COLD, UP, starts, now - 1));
        EXPECT_EQ(line, std::string(" bgp             : cold, up, up time: 00:00:01") + expected_tail[starts])
            << "num_starts " << starts;
    }
    EXPECT_EQ(module_line(BGP, row(BGP, REBOOT_COLD, UP, -4, now - 1)), " bgp             : cold, up, up time: 00:00:01\n");
}

TEST(ReportModuleLine, NoUpTimeWithoutStartTimeAndUnknownWordsForBadValues)
{
    EXPECT_EQ(module_line(OSPF, row(OSPF, REBOOT_FAST, MODULE_UNREGISTER, 3, 0)),
              " ospf            : fast, module unregister (2 restarts)\n");
    EXPECT_EQ(module_line(TRELL, row(TRELL, UNKNOWN_MODE, static_cast<State>(999), 1, 0)),
              " trelld          : Unknown, Unknown\n");
}

// ---------------------------------------------------------------------------
// The records on the connection

class ReportOnConnection : public ::testing::Test {
protected:
    int fds[2] = {-1, -1};

    void SetUp() override
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    }
    void TearDown() override
    {
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
    }

    // Everything the manager wrote, split into records.
    std::vector<Record> records()
    {
        shutdown(fds[0], SHUT_WR);
        std::string bytes;
        char buf[4096];
        ssize_t n;
        while ((n = read(fds[1], buf, sizeof buf)) > 0)
            bytes.append(buf, static_cast<size_t>(n));
        std::vector<Record> out;
        size_t at = 0;
        while (at + 8 <= bytes.size()) {
            Record r{};
            memcpy(&r.status, bytes.data() + at, 4);
            memcpy(&r.len, bytes.data() + at + 4, 4);
            if (r.len < 8 || at + static_cast<size_t>(r.len) > bytes.size()) {
                ADD_FAILURE() << "bad record length " << r.len;
                break;
            }
            r.text = bytes.substr(at + 8, static_cast<size_t>(r.len) - 8);
            out.push_back(r);
            at += static_cast<size_t>(r.len);
        }
        EXPECT_EQ(at, bytes.size()) << "trailing bytes";
        return out;
    }
};

TEST_F(ReportOnConnection, OneRecordPerRegisteredModuleInIdentifierOrder)
{
    vornmgr_report_t r = report(REBOOT_WARM);
    r.rows[ALL_MODULES] = row(ALL_MODULES, REBOOT_WARM, UP, 1, now);
    r.rows[SYSTEM_SERVICES] = row(SYSTEM_SERVICES, REBOOT_WARM, UP, 2, now - 221);
    r.rows[FRR] = row(FRR, REBOOT_WARM, UP, 1, now - 725);
    r.rows[SDK] = row(STP, REBOOT_WARM, UP, 1, now);  // registered under another identifier: not SDK's
    ASSERT_TRUE(vornmgr_write_report(fds[0], r));

    const auto got = records();
    ASSERT_EQ(got.size(), 3u);
    for (const Record &rec : got) {
        EXPECT_EQ(rec.status, SHOW_IN_PROGRESS);
        EXPECT_EQ(rec.len, 8 + static_cast<int32_t>(rec.text.size()));
    }
    EXPECT_EQ(got[0].text, " Current System Mode: warm  \n");
    EXPECT_EQ(got[1].text, " frr             : warm, up, up time: 00:12:05\n");
    EXPECT_EQ(got[2].text, " System Services : warm, up, up time: 00:03:41 (1 restart)\n");
}

TEST_F(ReportOnConnection, ClosedConnectionEndsTheReportWithoutKillingTheManager)
{
    vornmgr_report_t r = report(REBOOT_WARM);
    r.rows[FRR] = row(FRR, REBOOT_WARM, UP, 1, now);
    close(fds[1]);
    fds[1] = -1;

    vorn_test::LogCapture capture;
    EXPECT_FALSE(vornmgr_write_report(fds[0], r));  // a SIGPIPE would end the test program here
    const std::string log = capture.take();
    EXPECT_NE(log.find("ERR Error in header write (len 37) to ctl Broken pipe\n"), std::string::npos) << log;

    r.rows[FRR] = {};
    EXPECT_TRUE(vornmgr_write_report(fds[0], r));  // the short form reports success regardless
    const std::string short_log = capture.take();
    EXPECT_NE(short_log.find("ERR Error in null response to ctl Broken pipe\n"), std::string::npos) << short_log;
}

} // namespace
