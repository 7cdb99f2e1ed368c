// SPDX-License-Identifier: Apache-2.0
// The registry's query and update functions: what counts as registered, and
// what vornmgr_set_mod_state changes and reports.

#include "vorn_mgr.h"

#include "log_capture.h"
#include "log_test_util.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace {

class Registry : public ::testing::Test {
protected:
    std::filesystem::path dir =
        log_test::unique_dir("vorn_mgr_registry_test");

    void SetUp() override
    {
        std::filesystem::create_directories(dir);
        setenv("TEST_TMPDIR", dir.c_str(), 1);  // captured output stays in the build tree
        std::lock_guard<std::mutex> guard(registry_lock);
        registered_mods = {};
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    static void enter(Module mod, State state)
    {
        std::lock_guard<std::mutex> guard(registry_lock);
        registered_mods[mod].mod_status.mode.mod = mod;
        registered_mods[mod].mod_status.mode.state = state;
    }
    static registered_modules_t row(Module mod) { return vornmgr_registry_snapshot()[mod]; }
};

TEST_F(Registry, AtStartOnlyTheManagerRowCountsAsRegistered)
{
    EXPECT_EQ(vornmgr_get_num_active_modules(), 0);
    EXPECT_TRUE(vornmgr_is_mod_registered(VORNMGR));
    EXPECT_FALSE(vornmgr_is_mod_registered(FRR));
    EXPECT_FALSE(vornmgr_is_mod_registered(MAX_MODULES));
    EXPECT_FALSE(vornmgr_is_mod_registered(static_cast<Module>(-1)));
    EXPECT_EQ(vornmgr_num_l3_mod_present(), 0);
}

TEST_F(Registry, CountsLookAtRowsTwoToNineOnly)
{
    enter(ALL_MODULES, UP);  // a module registering under 1 is not counted
    enter(FRR, UP);
    enter(OSPF, DOWN);
    enter(SYSTEM_SERVICES, UP);
    EXPECT_EQ(vornmgr_get_num_active_modules(), 3);
    EXPECT_EQ(vornmgr_num_l3_mod_present(), 2);
    EXPECT_EQ(vornmgr_num_mod_l3_up(), 1);
}

TEST_F(Registry, LayerThreeUpCountIgnoresRegistration)
{
    {
        std::lock_guard<std::mutex> guard(registry_lock);
        registered_mods[BGP].mod_status.mode.state = UP;  // identifier left 0: not registered
    }
    EXPECT_EQ(vornmgr_num_mod_l3_up(), 1);
    EXPECT_EQ(vornmgr_num_l3_mod_present(), 0);
}

TEST_F(Registry, SetStateOfAllModulesTouchesRegisteredRowsOnly)
{
    EXPECT_TRUE(vornmgr_set_mod_state(ALL_MODULES, REBOOT_WARM, GO_DOWN));  // nothing registered: still true
    EXPECT_EQ(row(STP).mod_status.mode.state, SUCCESS);

    enter(STP, UP);
    enter(SDK, UP);
    EXPECT_TRUE(vornmgr_set_mod_state(ALL_MODULES, REBOOT_FAST, COME_UP));
    EXPECT_EQ(row(STP).mod_status.mode.mode, REBOOT_FAST);
    EXPECT_EQ(row(STP).mod_status.mode.state, COME_UP);
    EXPECT_EQ(row(SDK).mod_status.mode.state, COME_UP);
    EXPECT_EQ(row(BGP).mod_status.mode.state, SUCCESS);
    EXPECT_EQ(row(VORNMGR).mod_status.mode.state, SUCCESS);  // the manager's row is not a module's
}

TEST_F(Registry, SetStateOfOneModuleKeepsItsOtherFields)
{
    {
        std::lock_guard<std::mutex> guard(registry_lock);
        registered_mods[SDK] = {{{SDK, REBOOT_COLD, UP}, NO_ERROR}, 3, 1234, 41};
    }
    EXPECT_TRUE(vornmgr_set_mod_state(SDK, REBOOT_WARM, DOWN));
    const registered_modules_t sdk = row(SDK);
    EXPECT_EQ(sdk.mod_status.mode.mod, SDK);
    EXPECT_EQ(sdk.mod_status.mode.mode, REBOOT_WARM);
    EXPECT_EQ(sdk.mod_status.mode.state, DOWN);
    EXPECT_EQ(sdk.num_starts, 3);
    EXPECT_EQ(sdk.start_time, 1234);
    EXPECT_EQ(sdk.last_keepalive, 41);
}

TEST_F(Registry, SetStateRefusesUnregisteredAndInvalidModules)
{
    vorn_test::LogCapture capture;
    EXPECT_FALSE(vornmgr_set_mod_state(STP, REBOOT_WARM, DOWN));
    EXPECT_FALSE(vornmgr_set_mod_state(MAX_MODULES, REBOOT_WARM, DOWN));
    EXPECT_FALSE(vornmgr_set_mod_state(static_cast<Module>(-1), REBOOT_WARM, DOWN));
    const std::string log = capture.text();
    EXPECT_NE(log.find(" ERR Module stp not registered\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" ERR Invalid Module 0xa\n"), std::string::npos) << log;
    EXPECT_NE(log.find(" ERR Invalid Module 0xffffffff\n"), std::string::npos) << log;
    EXPECT_EQ(row(STP).mod_status.mode.state, SUCCESS);
}

} // namespace
