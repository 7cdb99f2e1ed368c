// SPDX-License-Identifier: Apache-2.0
// The wire vocabulary: the words of every log line and the bytes of the
// records, as modules and the manager must both see them.

#include "vorn_mgr_intf.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

extern "C" int intf_c_record_sizes(int *sizes, int count);

namespace {

std::string mode_text(int mode)
{
    char buf[VORNMGR_TEXT_BUF_LEN];
    return mode_to_str(static_cast<Mode>(mode), buf);
}

template <typename T>
void append(std::vector<unsigned char> &out, const T &record)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(&record);
    out.insert(out.end(), bytes, bytes + sizeof record);
}

std::vector<unsigned char> words(std::initializer_list<int32_t> values)
{
    std::vector<unsigned char> out;
    for (int32_t v : values)
        append(out, v);
    return out;
}

TEST(TextFunctions, ModuleNames)
{
    EXPECT_STREQ(mod_id_to_str(VORNMGR), "vornmgr");
    EXPECT_STREQ(mod_id_to_str(ALL_MODULES), "all");
    EXPECT_STREQ(mod_id_to_str(TRELL), "trelld");
    EXPECT_STREQ(mod_id_to_str(SYSTEM_SERVICES), "System Services");
    EXPECT_STREQ(mod_id_to_str(static_cast<Module>(10)), "max_modules");
    EXPECT_STREQ(mod_id_to_str(static_cast<Module>(11)), "Unknown");
    EXPECT_STREQ(mod_id_to_str(static_cast<Module>(-1)), "Unknown");
}

TEST(TextFunctions, StateNamesIncludingTheirOddities)
{
    EXPECT_STREQ(mod_state_to_str(GO_DOWN), "going down");
    EXPECT_STREQ(mod_state_to_str(MOD_LIST), "mode list");
    EXPECT_STREQ(mod_state_to_str(KEEP_ALIVE_RESP), "keepalive response");
    EXPECT_STREQ(mod_state_to_str(ISSU_INFO), "issu info");
    for (int unknown : {9, 99, 111, 199, 201, -1})
        EXPECT_STREQ(mod_state_to_str(static_cast<State>(unknown)), "Unknown") << unknown;
}

TEST(TextFunctions, ModeText)
{
    EXPECT_EQ(mode_text(0x104), "Maintenance, warm");
    EXPECT_EQ(mode_text(0x302), "Maintenance, Upgrade, fast");
    EXPECT_EQ(mode_text(0x200), "Upgrade, Unknown");
    EXPECT_EQ(mode_text(0x103), "Maintenance, cold");
    EXPECT_EQ(mode_text(0x400), "Unknown");
    EXPECT_EQ(mode_text(0), "Unknown");
    EXPECT_EQ(mode_text(0x6), "fast");
    EXPECT_EQ(mode_text(0x4), "warm");
}

TEST(TextFunctions, IssuTexts)
{
    char buf[VORNMGR_TEXT_BUF_LEN];
    EXPECT_STREQ(issu_action_to_str(ISSU_START, buf), "ISSU Start");
    EXPECT_STREQ(issu_action_to_str(ISSU_END, buf), "ISSU End");
    EXPECT_STREQ(issu_action_to_str(static_cast<issu_action>(3), buf), "ISSU action unknown");
    EXPECT_STREQ(issu_status_to_str(ISSU_OK, buf), "ISSU OK");
    EXPECT_STREQ(issu_status_to_str(ISSU_FAIL, buf), "ISSU Fail");
    EXPECT_STREQ(issu_status_to_str(ISSU_IN_PROGRESS, buf), "ISSU In Progress");
    EXPECT_STREQ(issu_status_to_str(static_cast<issu_action_status>(0), buf), "ISSU status unknown");
}

TEST(WireRecords, CAndCxxAgreeOnTheLayout)
{
    std::array<int, 9> sizes{};
    ASSERT_EQ(intf_c_record_sizes(sizes.data(), sizes.size()), 9);
    EXPECT_EQ(sizes, (std::array<int, 9>{4, 12, 16, 20, 4, 20, 12, 8, 4}));
}

TEST(WireRecords, LoadCompleteReplyOfTheExample)
{
    // MODE_INFO for System Services in warm mode, required state UP, then a
    // module list holding only the switch daemon.
    std::vector<unsigned char> pkg;
    append(pkg, int32_t{36});
    append(pkg, msg_t{MODE_INFO, 20});
    append(pkg, module_mode_t{SYSTEM_SERVICES, REBOOT_WARM, UP});
    append(pkg, msg_t{MOD_LIST, 12});
    append(pkg, SWIVEND);
    EXPECT_EQ(pkg, words({0x24, 0x68, 0x14, 9, 4, 0x67, 0x69, 0x0c, 7}));
}

TEST(WireRecords, BroadcastPayloads)
{
    std::vector<unsigned char> go_down;
    append(go_down, int32_t{24});
    append(go_down, msg_t{GO_DOWN, 20});
    append(go_down, module_mode_t{STP, static_cast<Mode>(0x104), GO_DOWN});
    EXPECT_EQ(go_down, words({0x18, 100, 0x14, 5, 0x104, 100}));

    std::vector<unsigned char> answer;
    append(answer, module_down_status_t{STP, {SYSTEM_SERVICES, REBOOT_WARM, GO_DOWN}, BUSY});
    EXPECT_EQ(answer, words({5, 9, 4, 100, 1}));

    std::vector<unsigned char> keepalive;
    append(keepalive, keepalive_response_t{41, {{OSPF, REBOOT_COLD, UP}, NO_ERROR}});
    EXPECT_EQ(keepalive, words({41, 4, 1, 103, 0}));

    std::vector<unsigned char> issu;
    append(issu, issu_info_t{SYSTEM_SERVICES, ISSU_END, ISSU_IN_PROGRESS});
    EXPECT_EQ(issu, words({9, 2, 3}));
}

} // namespace
