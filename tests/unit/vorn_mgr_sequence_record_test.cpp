// SPDX-License-Identifier: Apache-2.0
// The record of the sequence in progress: what the manager writes reads back
// the same, anything else is refused, and each stage leads to its recovery.

#include "vorn_mgr.h"

#include <gtest/gtest.h>

#include <string>

namespace {

vornmgr_sequence_record_t round_trip(const vornmgr_sequence_record_t &record)
{
    char text[256];
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
    };
    for (const std::string &bad : bad_records)
        EXPECT_FALSE(vornmgr_parse_sequence_record(bad.c_str(), &record)) << bad;
}

TEST(SequenceRecord, EachStageLeadsToItsRecovery)
{
    const auto plan = [](vornmgr_sequence_kind_t kind, vornmgr_sequence_stage_t stage) {
        return vornmgr_plan_recovery({kind, stage, REBOOT_WARM, REBOOT_COLD, 0});
    };
    EXPECT_EQ(plan(SEQUENCE_RESTART, STAGE_RUNNING), RECOVER_BRING_UP);
    EXPECT_EQ(plan(SEQUENCE_RESTART, STAGE_TAKEN_DOWN), RECOVER_BRING_UP);
    EXPECT_EQ(plan(SEQUENCE_RESTART, STAGE_REBOOT_STARTED), RECOVER_NOTHING);
    EXPECT_EQ(plan(SEQUENCE_MAINT_ENTER, STAGE_RUNNING), RECOVER_BRING_UP);
    EXPECT_EQ(plan(SEQUENCE_MAINT_ENTER, STAGE_IN_MAINTENANCE), RECOVER_RESUME_MAINTENANCE);
    EXPECT_EQ(plan(SEQUENCE_MAINT_LEAVE, STAGE_RUNNING), RECOVER_REPEAT_BRING_UP);
    EXPECT_EQ(plan(SEQUENCE_RECOVERY, STAGE_RUNNING), RECOVER_REPEAT_BRING_UP);
}

} // namespace
