// SPDX-License-Identifier: Apache-2.0
// The watchdog's judgement of its threads' beats, tick by tick.

#include "vorn_mgr_notify.h"

#include <gtest/gtest.h>

namespace {

int tick(vornmgr_watchdog_view_t &view, uint32_t comm, uint32_t operator_beat)
{
    const uint32_t beats[WATCHED_THREADS] = {comm, operator_beat};
    return vornmgr_watchdog_stuck_thread(&view, beats, 2);
}

TEST(WatchdogJudgement, OnlyOneStepSeenAtThreeTicksIsStuck)
{
    vornmgr_watchdog_view_t view{};
    // Idle threads, and threads in a new step at every tick, are responsive.
    EXPECT_EQ(tick(view, 0, 0), -1);
    EXPECT_EQ(tick(view, 0, 0), -1);
    EXPECT_EQ(tick(view, 1, 3), -1);
    EXPECT_EQ(tick(view, 3, 3), -1);
    EXPECT_EQ(tick(view, 5, 4), -1);
    // The operator thread stays in the step it entered (beat 5).
    EXPECT_EQ(tick(view, 6, 5), -1);
    EXPECT_EQ(tick(view, 6, 5), -1);
    EXPECT_EQ(tick(view, 6, 5), WATCHED_OPERATOR);
    EXPECT_EQ(tick(view, 6, 5), WATCHED_OPERATOR);
    // Back to its wait: responsive at once.
    EXPECT_EQ(tick(view, 6, 6), -1);
}

} // namespace
