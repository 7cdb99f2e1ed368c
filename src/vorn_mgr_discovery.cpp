// SPDX-License-Identifier: Apache-2.0
// Finding the modules again after a restart of the manager within one boot:
// the discovery wait, which probes until the modules registered before the
// restart have answered, the probing that goes on in the background for the
// late ones, and the known-modules file that tells a restarted manager whom
// to wait for.

#include "log.h"
#include "vorn_mgr.h"
#include "vorn_mgr_notify.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>

std::atomic<bool> vornmgr_discovery_running{false};
std::atomic<unsigned> vornmgr_unaccounted_modules{0};

namespace {

constexpr int discovery_passes = 5;
constexpr int discovery_pass_ms = 5000;
// The modules' subscribers lost the previous manager and reconnect on their
// own (the library keeps ZeroMQ's 100 ms reconnect interval, plus up to as much
// again of jitter), then send their subscription; a probe published before
// that never reaches them. The first probe waits this long, within its pass.
constexpr int discovery_reconnect_grace_ms = 1000;
constexpr int discovery_step_ms = 100;
// After the discovery wait, a module registered before the restart that is
// still silent is probed for this long after the manager's start; a module
// stopped for longer has to register again.
constexpr int late_probe_interval_ms = 5000;
constexpr int late_probe_bound_s = 120;

// Modules registered before the restart, as the known-modules file said.
unsigned modules_before_restart = 0;  // written before any thread starts
// The set last written to the known-modules file; ~0: none written yet.
std::mutex known_lock;  // guards known_written and the file's writes
unsigned known_written = ~0u;

void vornmgr_warn_unaccounted(const char *what)
{
    const unsigned missing = vornmgr_unaccounted_modules.load();
    for (int mod = FRR; mod < MAX_MODULES; mod++)
        if (missing & (1u << mod))
            LOG_WARN("%s, registered before the manager restarted, %s\n", mod_id_to_str(static_cast<Module>(mod)),
                     what);
}

} // namespace

const char *vornmgr_module_names(unsigned modules, char *text, size_t size)
{
    size_t used = 0;
    text[0] = '\0';
    for (int mod = 0; mod < MAX_MODULES && used < size; mod++) {
        if (!(modules & (1u << mod)))
            continue;
        const int added = snprintf(text + used, size - used, "%s%s", used > 0 ? ", " : "",
                                   mod_id_to_str(static_cast<Module>(mod)));
        if (added < 0)
            break;
        used += static_cast<size_t>(added);
    }
    return text;
}

void vornmgr_load_modules_before_restart(void)
{
    if (!vornmgr_restarted)
        return;
    unsigned modules = 0;
    if (vornmgr_read_known_modules(&modules)) {
        modules_before_restart = modules;
        vornmgr_unaccounted_modules = modules;
    }
    vornmgr_discovery_running = true;
}

void vornmgr_save_known_modules(void)
{
    // Modules still awaited stay in the file, so that a second restart in
    // the middle of discovery still waits for them.
    const unsigned known = vornmgr_registered_set() | vornmgr_unaccounted_modules.load();
    std::lock_guard<std::mutex> guard(known_lock);
    if (known == known_written)
        return;
    vornmgr_write_known_modules(known);
    known_written = known;
}

bool vornmgr_enter_reported_module(const module_mode_t &reported)
{
    const Module mod = reported.mod;
    if (!vornmgr_is_valid_module(mod) || mod < FRR)
        return false;
    {
        std::lock_guard<std::mutex> guard(registry_lock);
        if (vornmgr_row_is_registered(mod))
            return false;
        registered_modules_t &row = registered_mods[mod];
        row.mod_status.mode = reported;
        if (row.num_starts == 0)
            row.num_starts = 1;
        // It just spoke: silence before it was entered does not count.
        row.keepalive_awaited = false;
        row.keepalive_missed = 0;
    }
    char mode_text[VORNMGR_TEXT_BUF_LEN];
    LOG_INFO("%s entered as it reports itself: %s, %s\n", mod_id_to_str(mod), mode_to_str(reported.mode, mode_text),
             mod_state_to_str(reported.state));
    vornmgr_save_known_modules();
    // Found after discovery: its state may disagree with the system's.
    if (!vornmgr_discovery_running)
        vornmgr_cli_request_reconcile();
    return true;
}

void vornmgr_wait_for_init_complete(void)
{
    if (!vornmgr_restarted)
        return;
    // The probe goes out before each pause, so that the count after the pause
    // sees the answers to it; the first one only once the modules' subscribers
    // can be back, so that modules answering it end the wait after one pass.
    // Known who was registered before, the wait ends when all of them have
    // answered; otherwise once more than one module answered.
    int discovered = vornmgr_get_num_active_modules();
    for (int pass = 0; pass < discovery_passes; pass++) {
        LOG_INFO(" discovered %d modules\n", discovered);
        vornmgr_notify_activity("discovering modules (pass %d of %d)", pass + 1, discovery_passes);
        const int grace_ms = pass == 0 ? discovery_reconnect_grace_ms : 0;
        if (vornmgr_wait_for_stop(grace_ms))
            return;
        vornmgr_discover_modules();
        // Known whom to wait for, the pass ends as soon as all have answered.
        bool all_answered = false;
        for (int waited = grace_ms; waited < discovery_pass_ms && !all_answered; waited += discovery_step_ms) {
            if (vornmgr_wait_for_stop(std::min(discovery_step_ms, discovery_pass_ms - waited)))
                return;
            all_answered = modules_before_restart != 0 && vornmgr_unaccounted_modules.load() == 0;
        }
        discovered = vornmgr_get_num_active_modules();
        if (modules_before_restart != 0 ? all_answered : discovered > 1)
            break;
    }
    LOG_INFO(" %d registered modules)\n", discovered);
    vornmgr_warn_unaccounted("has not answered yet");
    vornmgr_save_known_modules();
    vornmgr_notify_activity_done();
    if (vornmgr_num_l3_mod_present() == 0) {
        LOG_INFO(" No L3 modules, (%d registered modules)\n", discovered);
        broadcast_l3_up = vornmgr_publish_dummy_nl_status();
    }
}

void vornmgr_probe_unaccounted_modules(void)
{
    const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(late_probe_bound_s);
    while (vornmgr_unaccounted_modules.load() != 0 && std::chrono::steady_clock::now() < bound) {
        if (vornmgr_wait_for_stop(late_probe_interval_ms))
            return;
        vornmgr_discover_modules();
    }
    if (vornmgr_unaccounted_modules.load() == 0)
        return;
    vornmgr_warn_unaccounted("never answered: no longer awaited");
    vornmgr_unaccounted_modules = 0;
    vornmgr_save_known_modules();
}
