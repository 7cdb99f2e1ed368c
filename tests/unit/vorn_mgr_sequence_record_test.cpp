// SPDX-License-Identifier: Apache-2.0
// The record of the sequence in progress: what the manager writes reads back
// the same, anything else is refused, and each stage leads to its recovery.

#include "vorn_mgr.h"

#include <gtest/gtest.h>

#include <string>

namespace {

vornmgr_sequence_record_t round_trip(const vornmgr_sequence_record_t &record)
{
    char text[512];
    vornmgr_format_sequence_record(record, text, sizeof text);
    vornmgr_sequence_record_t read{};
    EXPECT_TRUE(vornmgr_parse_sequence_record(text, &read)) << text;
    return read;
}

TEST(SequenceRecord, ReadsBackWhatIsWrittenAndRefusesAnythingElse)
{
    const vornmgr_sequence_record_t written{SEQUENCE_MAINT_ENTER, STAGE_IN_MAINTENANCE,
                                            static_cast<Mode>(MAINTENANCE | REBOOT_WARM | SYS_UPGRADE), REBOOT_WARM,
                                            1796700000};
    const vornmgr_sequence_record_t read = round_trip(written);
    EXPECT_EQ(read.kind, written.kind);
    EXPECT_EQ(read.stage, written.stage);
    EXPECT_EQ(read.mode, written.mode);
    EXPECT_EQ(read.mode_before, written.mode_before);
    EXPECT_EQ(read.started, written.started);

    vornmgr_sequence_record_t reboot{SEQUENCE_RESTART, STAGE_REBOOT_STARTED, REBOOT_WARM, REBOOT_WARM, 7};
    reboot.reboot_pid = 4242;
    reboot.reboot_start = 987654321;
    reboot.reboot_boottime_ms = 123456;
    const vornmgr_sequence_record_t read_reboot = round_trip(reboot);
    EXPECT_EQ(read_reboot.reboot_pid, 4242);
    EXPECT_EQ(read_reboot.reboot_start, 987654321u);
    EXPECT_EQ(read_reboot.reboot_boottime_ms, 123456);
    vornmgr_sequence_record_t bring_up{SEQUENCE_MAINT_LEAVE, STAGE_COMING_UP, REBOOT_WARM, REBOOT_WARM, 7};
    bring_up.modules = 0x214;
    EXPECT_EQ(round_trip(bring_up).modules, 0x214u);

    const std::string whole = "kind=restart\nstage=taken-down\nmode=0x4\nmode_before=0x1\nstarted=5\n";
    vornmgr_sequence_record_t record{};
    EXPECT_TRUE(vornmgr_parse_sequence_record(whole.c_str(), &record));
    const std::string bad_records[] = {
        "",
        whole.substr(0, whole.find("started")),                                 // a field missing
        "kind=reboot\n" + whole.substr(whole.find("stage")),                    // an unknown kind
        whole + "extra=1\n",                                                    // an unknown key
        "kind=restart\nstage=taken-down\nmode=0\nmode_before=0x1\nstarted=5\n",  // no mode
        "kind=restart\nstage=taken-down\nmode=4x\nmode_before=0x1\nstarted=5\n", // not a number
        "kind=restart\nstage=taken",                                            // cut short
        whole + "stage=running\n",                                              // a key twice
        whole + "modules=0x400\n",                                              // no such module
    };
    for (const std::string &bad : bad_records)
        EXPECT_FALSE(vornmgr_parse_sequence_record(bad.c_str(), &record)) << bad;
}

TEST(SequenceRecord, ContradictionsMakeARecordDamaged)
{
    const Mode maintenance = static_cast<Mode>(MAINTENANCE | REBOOT_WARM);
    const auto contradiction = [](vornmgr_sequence_kind_t kind, vornmgr_sequence_stage_t stage, Mode mode) {
        return vornmgr_sequence_record_contradiction({kind, stage, mode, REBOOT_WARM, 0}) != nullptr;
    };
    EXPECT_FALSE(contradiction(SEQUENCE_MAINT_ENTER, STAGE_IN_MAINTENANCE, maintenance));
    EXPECT_FALSE(contradiction(SEQUENCE_RESTART, STAGE_REBOOT_STARTED, REBOOT_WARM));
    EXPECT_FALSE(contradiction(SEQUENCE_MAINT_LEAVE, STAGE_COMING_UP, REBOOT_WARM));
    EXPECT_TRUE(contradiction(SEQUENCE_MAINT_ENTER, STAGE_IN_MAINTENANCE, REBOOT_WARM));
    EXPECT_TRUE(contradiction(SEQUENCE_RESTART, STAGE_IN_MAINTENANCE, REBOOT_WARM));
    EXPECT_TRUE(contradiction(SEQUENCE_RESTART, STAGE_RUNNING, maintenance));
    EXPECT_TRUE(contradiction(SEQUENCE_MAINT_LEAVE, STAGE_RUNNING, maintenance));
    EXPECT_TRUE(contradiction(SEQUENCE_RECOVERY, STAGE_TAKEN_DOWN, REBOOT_WARM));
    vornmgr_sequence_record_t early_pid{SEQUENCE_RESTART, STAGE_TAKEN_DOWN, REBOOT_WARM, REBOOT_WARM, 0};
    early_pid.reboot_pid = 10;
    EXPECT_NE(vornmgr_sequence_record_contradiction(early_pid), nullptr);
}

TEST(SequenceRecord, EachStageLeadsToItsRecovery)
{
    const auto plan = [](vornmgr_sequence_kind_t kind, vornmgr_sequence_stage_t stage,
                         vornmgr_recovery_facts_t facts = {}, Mode before = REBOOT_COLD, unsigned modules = 0) {
        vornmgr_sequence_record_t record{kind, stage, REBOOT_WARM, before, 0};
        record.modules = modules;
        return vornmgr_plan_recovery(record, facts);
    };
    EXPECT_EQ(plan(SEQUENCE_RESTART, STAGE_RUNNING), RECOVER_BRING_UP);
    EXPECT_EQ(plan(SEQUENCE_RESTART, STAGE_TAKEN_DOWN), RECOVER_BRING_UP);
    EXPECT_EQ(plan(SEQUENCE_MAINT_ENTER, STAGE_RUNNING), RECOVER_BRING_UP);
    EXPECT_EQ(plan(SEQUENCE_MAINT_ENTER, STAGE_IN_MAINTENANCE), RECOVER_RESUME_MAINTENANCE);
    EXPECT_EQ(plan(SEQUENCE_MAINT_LEAVE, STAGE_RUNNING), RECOVER_REPEAT_BRING_UP);
    EXPECT_EQ(plan(SEQUENCE_RECOVERY, STAGE_RUNNING), RECOVER_REPEAT_BRING_UP);
    // A reboot is waited for only while its command runs.
    EXPECT_EQ(plan(SEQUENCE_RESTART, STAGE_REBOOT_STARTED, {true, 0}), RECOVER_WATCH_REBOOT);
    EXPECT_EQ(plan(SEQUENCE_RESTART, STAGE_REBOOT_STARTED, {false, 0}), RECOVER_FAILED_REBOOT);
    // A restart asked for during maintenance goes back to maintenance.
    const Mode maintenance = static_cast<Mode>(MAINTENANCE | REBOOT_WARM);
    EXPECT_EQ(plan(SEQUENCE_RESTART, STAGE_TAKEN_DOWN, {}, maintenance), RECOVER_RESUME_MAINTENANCE);
    // So does maintenance asked for over the awaited reboot of such a restart.
    EXPECT_EQ(plan(SEQUENCE_MAINT_ENTER, STAGE_RUNNING, {}, maintenance), RECOVER_RESUME_MAINTENANCE);
    EXPECT_EQ(vornmgr_recovery_maintenance_mode({SEQUENCE_RESTART, STAGE_RUNNING, REBOOT_WARM, maintenance, 0}),
              maintenance);
    // A bring-up is over when each of its modules reports up.
    EXPECT_EQ(plan(SEQUENCE_MAINT_LEAVE, STAGE_COMING_UP, {false, 0x214}, REBOOT_COLD, 0x214), RECOVER_NOTHING);
    EXPECT_EQ(plan(SEQUENCE_MAINT_LEAVE, STAGE_COMING_UP, {false, 0x014}, REBOOT_COLD, 0x214),
              RECOVER_REPEAT_BRING_UP);
    EXPECT_EQ(plan(SEQUENCE_RECOVERY, STAGE_COMING_UP, {false, 0x3fc}, REBOOT_COLD, 0), RECOVER_REPEAT_BRING_UP);
}

} // namespace
