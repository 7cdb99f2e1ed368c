// SPDX-License-Identifier: Apache-2.0
// The manager's table of modules: one row per Module value, with the module's
// last known mode and state, its start count, its last registration time and
// the sequence number of its last keepalive answer.

#include "log.h"
#include "vorn_mgr.h"

#include <bit>

std::array<registered_modules_t, MAX_MODULES> registered_mods{};
std::mutex registry_lock;
const std::array<Module, 3> mod_l3_list{FRR, BGP, OSPF};

namespace {

// Row 0 counts as registered from the start (its zero identifier equals its
// index) and row 1 is the broadcast target, so counts look at rows 2 to 9.
constexpr int first_counted_row = FRR;

} // namespace

bool vornmgr_is_mod_l3(Module mod)
{
    for (Module l3 : mod_l3_list)
        if (l3 == mod)
            return true;
    return false;
}

int vornmgr_num_mod_l3_up(void)
{
    std::lock_guard<std::mutex> guard(registry_lock);
    int up = 0;
    for (Module l3 : mod_l3_list)
        up += registered_mods[l3].mod_status.mode.state == UP;
    return up;
}

bool vornmgr_is_mod_registered(Module mod)
{
    if (!vornmgr_is_valid_module(mod))
        return false;
    std::lock_guard<std::mutex> guard(registry_lock);
    return vornmgr_row_is_registered(mod);
}

unsigned vornmgr_registered_set(void)
{
    std::lock_guard<std::mutex> guard(registry_lock);
    unsigned set = 0;
    for (int row = first_counted_row; row < MAX_MODULES; row++)
        if (vornmgr_row_is_registered(row))
            set |= 1u << row;
    return set;
}

int vornmgr_get_num_active_modules(void)
{
    return std::popcount(vornmgr_registered_set());
}

int vornmgr_num_l3_mod_present(void)
{
    std::lock_guard<std::mutex> guard(registry_lock);
    int present = 0;
    for (Module l3 : mod_l3_list)
        present += vornmgr_row_is_registered(l3);
    return present;
}

bool vornmgr_set_mod_state(Module module, Mode mode, State state)
{
    if (!vornmgr_is_valid_module(module)) {
        LOG_ERR("Invalid Module 0x%x\n", static_cast<unsigned>(module));
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(registry_lock);
        if (module == ALL_MODULES) {
            for (int row = first_counted_row; row < MAX_MODULES; row++) {
                if (!vornmgr_row_is_registered(row))
                    continue;
                registered_mods[row].mod_status.mode.mode = mode;
                registered_mods[row].mod_status.mode.state = state;
            }
            return true;
        }
        if (vornmgr_row_is_registered(module)) {
            registered_mods[module].mod_status.mode.mode = mode;
            registered_mods[module].mod_status.mode.state = state;
            return true;
        }
    }
    // Logged after the lock is released: the registry lock never spans I/O.
    LOG_ERR("Module %s not registered\n", mod_id_to_str(module));
    return false;
}

void vornmgr_set_mod_state_from(Module module, State from, Mode mode, State state)
{
    if (!vornmgr_is_valid_module(module) || module == ALL_MODULES)
        return;
    std::lock_guard<std::mutex> guard(registry_lock);
    if (vornmgr_row_is_registered(module) && registered_mods[module].mod_status.mode.state == from) {
        registered_mods[module].mod_status.mode.mode = mode;
        registered_mods[module].mod_status.mode.state = state;
    }
}

std::array<registered_modules_t, MAX_MODULES> vornmgr_registry_snapshot(void)
{
    std::lock_guard<std::mutex> guard(registry_lock);
    return registered_mods;
}
