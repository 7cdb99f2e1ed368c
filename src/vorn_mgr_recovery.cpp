// SPDX-License-Identifier: Apache-2.0
// Keeping the switch whole: bring-ups that are only over once every module
// reported up, the recovery a restarted manager runs from the record its
// predecessor left, the way back after a reboot that did not happen, and
// bringing modules in step with the system's mode when one is found out of
// it. Everything here runs on the operator thread, where requests run, so
// that no two sequences ever overlap.

#include "log.h"
#include "vorn_mgr_cli_server.h"
#include "vorn_mgr_history.h"
#include "vorn_mgr_notify.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

// The modules of the watched bring-up that have not reported up yet: set by
// the operator thread before the COME_UP broadcast, cleared bit by bit by the
// comm receive thread.
std::atomic<unsigned> bring_up_awaiting{0};

// The watched bring-up's record and bound. Operator thread only.
struct vornmgr_watched_bring_up_t {
    bool active = false;
    vornmgr_sequence_record_t record{};
    long long deadline_ms = 0;  // boot clock
};
vornmgr_watched_bring_up_t watched_bring_up;

void vornmgr_end_bring_up(void)
{
    watched_bring_up.active = false;
    bring_up_awaiting = 0;
    vornmgr_remove_sequence_record();
}

// Registered modules that report themselves in one of the states of `wanted`.
unsigned vornmgr_modules_in(std::initializer_list<State> wanted)
{
    const auto rows = vornmgr_registry_snapshot();
    unsigned modules = 0;
    for (int mod = FRR; mod < MAX_MODULES; mod++) {
        const module_mode_t &mode = rows[mod].mod_status.mode;
        if (mode.mod != mod || mode.state == MODULE_UNREGISTER)
            continue;
        for (State state : wanted)
            if (mode.state == state)
                modules |= 1u << mod;
    }
    return modules;
}

} // namespace

long long vornmgr_boottime_ms(void)
{
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool vornmgr_bring_all_up(vornmgr_sequence_kind_t kind, Mode mode, Mode mode_before, unsigned modules)
{
    const int64_t started_ms = vornmgr_wall_ms();
    vornmgr_forget_bring_up();
    const unsigned registered = vornmgr_registered_set();
    const unsigned awaited = modules != 0 ? (modules & registered) : registered;
    // Written once, before the broadcast, and kept until every module of the
    // bring-up reported up: a manager that dies before then brings up again
    // whoever is not, which before the broadcast is every module, as for a
    // bring-up cut short while it ran.
    vornmgr_sequence_record_t record{kind, STAGE_COMING_UP, mode, mode_before, time(nullptr)};
    record.modules = awaited;
    vornmgr_write_sequence_record(record);
    vornmgr_note_up_mode(mode);
    watched_bring_up = {true, record, vornmgr_boottime_ms() + 1000LL * bring_up_max_time.load()};
    // Before the broadcast: the first INIT_COMPLETE may follow it at once.
    bring_up_awaiting = awaited;
    // The history's record, too, is written before the broadcast, which is
    // all that is left of the sequence: once the modules wake to it they
    // take the CPUs, and the answer would wait for the record behind them.
    vornmgr_history_record({kind, mode, mode_before, vornmgr_history_requester(), started_ms,
                            vornmgr_wall_ms() - started_ms, std::popcount(registered), true, nullptr, nullptr});
    bool announced = true;
    if (modules == 0) {
        announced = vornmgr_admin_modules(mode, ALL_MODULES, true);
    } else {
        for (int mod = FRR; mod < MAX_MODULES; mod++)
            if (awaited & (1u << mod))
                announced = vornmgr_admin_modules(mode, static_cast<Module>(mod), true) && announced;
    }
    if (bring_up_awaiting.load() == 0)
        vornmgr_end_bring_up();
    // systemd's status line: the operator's bring-up sends it once answered,
    // as a take-down does; the others answer nobody.
    if (kind != SEQUENCE_MAINT_LEAVE)
        vornmgr_notify_activity_done();
    return announced;
}

void vornmgr_note_bring_up_progress(Module mod)
{
    const unsigned bit = 1u << mod;
    if (!(bring_up_awaiting.load(std::memory_order_relaxed) & bit))
        return;
    if ((bring_up_awaiting.fetch_and(~bit) & ~bit) == 0)
        vornmgr_cli_request_bring_up_check();
}

long long vornmgr_bring_up_wait_ms(void)
{
    if (!watched_bring_up.active)
        return -1;
    return std::max(0LL, watched_bring_up.deadline_ms - vornmgr_boottime_ms());
}

void vornmgr_check_bring_up(void)
{
    if (!watched_bring_up.active)
        return;
    const vornmgr_sequence_record_t &record = watched_bring_up.record;
    char mode_text[VORNMGR_TEXT_BUF_LEN];
    mode_to_str(record.mode, mode_text);
    const unsigned missing = bring_up_awaiting.load();
    if (missing == 0) {
        LOG_INFO("%s to %s mode: every module reported up\n", vornmgr_sequence_kind_name(record.kind), mode_text);
        vornmgr_end_bring_up();
        return;
    }
    if (vornmgr_boottime_ms() < watched_bring_up.deadline_ms)
        return;
    char names[VORNMGR_TEXT_BUF_LEN];
    LOG_ERR("%s to %s mode: %s did not report up within %d s\n", vornmgr_sequence_kind_name(record.kind), mode_text,
            vornmgr_module_names(missing, names, sizeof names), bring_up_max_time.load());
    vornmgr_end_bring_up();
}

void vornmgr_forget_bring_up(void)
{
    watched_bring_up.active = false;
    bring_up_awaiting = 0;
}

void vornmgr_recover_from_failed_reboot(Mode mode_before, time_t started)
{
    char mode_text[VORNMGR_TEXT_BUF_LEN];
    mode_to_str(mode_before, mode_text);
    if (!vornmgr_is_maintenance(mode_before)) {
        LOG_ERR("no reboot is coming: bringing all modules back up in %s mode\n", mode_text);
        vornmgr_bring_all_up(SEQUENCE_RECOVERY, mode_before, mode_before);
        return;
    }
    // Asked during maintenance, the restart found every module down: the
    // switch stays in maintenance, mode and modules agreeing.
    LOG_ERR("no reboot is coming: staying in maintenance in %s mode, every module down\n", mode_text);
    operative_mode = mode_before;
    required_state = DOWN;
    // A module that answered the restart's GO_DOWN with a failure shows it,
    // as after any take-down; the others are down.
    const unsigned failed = vornmgr_modules_in({FAILURE});
    vornmgr_set_mod_state(ALL_MODULES, mode_before, DOWN);
    for (int mod = FRR; mod < MAX_MODULES; mod++)
        if (failed & (1u << mod))
            vornmgr_set_mod_state(static_cast<Module>(mod), mode_before, FAILURE);
    if (maintenance_start_time == 0)
        maintenance_start_time = started;
    const Mode left_to = vornmgr_without_maintenance(mode_before);
    vornmgr_write_sequence_record({SEQUENCE_MAINT_ENTER, STAGE_IN_MAINTENANCE, mode_before, left_to,
                                   maintenance_start_time});
}

void vornmgr_reconcile_modules(void)
{
    if (vornmgr_discovery_running || vornmgr_cli_reboot_pending())
        return;
    const Mode mode = operative_mode;
    char mode_text[VORNMGR_TEXT_BUF_LEN];
    char names[VORNMGR_TEXT_BUF_LEN];
    mode_to_str(mode, mode_text);
    if (!vornmgr_is_maintenance(mode)) {
        required_state = UP;
        const unsigned down = vornmgr_modules_in({DOWN, GO_DOWN, FAILURE});
        if (down == 0)
            return;
        LOG_WARN("%s down while the system runs in %s mode: bringing it up\n",
                 vornmgr_module_names(down, names, sizeof names), mode_text);
        vornmgr_bring_all_up(SEQUENCE_RECOVERY, mode, mode, down);
        return;
    }
    // A module up, or left half way down by a take-down the manager did not
    // finish, is taken down; one that failed its take-down stays as it said.
    required_state = DOWN;
    const unsigned up = vornmgr_modules_in({UP, GO_DOWN});
    if (up == 0)
        return;
    LOG_WARN("%s not down during maintenance in %s mode: taking it down\n",
             vornmgr_module_names(up, names, sizeof names), mode_text);
    for (const Module mod : mod_layering_order)
        if (up & (1u << mod))
            vornmgr_admin_modules(mode, mod, false);
}

void vornmgr_recover_interrupted_sequence(void)
{
    vornmgr_sequence_record_t record{};
    if (vornmgr_load_sequence_record(&record)) {
        char mode_text[VORNMGR_TEXT_BUF_LEN];
        char before_text[VORNMGR_TEXT_BUF_LEN];
        mode_to_str(record.mode, mode_text);
        mode_to_str(record.mode_before, before_text);
        const char *kind = vornmgr_sequence_kind_name(record.kind);
        const char *stage = vornmgr_sequence_stage_name(record.stage);
        const long long started = static_cast<long long>(record.started);
        const vornmgr_recovery_facts_t facts{
            record.stage == STAGE_REBOOT_STARTED && vornmgr_reboot_still_runs(record),
            vornmgr_modules_in({UP}),
        };
        switch (vornmgr_plan_recovery(record, facts)) {
        case RECOVER_NOTHING:
            LOG_INFO("%s to %s mode started at %lld had brought every module up\n", kind, mode_text, started);
            // The modules run in the bring-up's mode, which need not be the
            // boot's (maintenance taken in a restart's kind, then left).
            operative_mode = record.mode;
            vornmgr_remove_sequence_record();
            break;
        case RECOVER_WATCH_REBOOT:
            LOG_INFO("%s to %s mode started at %lld: its reboot command (pid %d) still runs; waiting up to %d s for "
                     "the machine to go down\n",
                     kind, mode_text, started, record.reboot_pid, reboot_grace_time.load());
            vornmgr_cli_adopt_reboot(record);
            break;
        case RECOVER_FAILED_REBOOT:
            LOG_ERR("%s to %s mode started at %lld ran its reboot command, which is no longer running, and the "
                    "machine is still up\n",
                    kind, mode_text, started);
            vornmgr_history_note_reboot_end(-1, 0, "the reboot command ended while the manager was away");
            vornmgr_recover_from_failed_reboot(record.mode_before, record.started);
            break;
        case RECOVER_RESUME_MAINTENANCE: {
            // The modules are down for maintenance: carry on in that mode so
            // that leaving maintenance brings them up.
            const Mode maintenance = vornmgr_recovery_maintenance_mode(record);
            mode_to_str(maintenance, mode_text);
            LOG_INFO("resuming maintenance in %s mode, entered at %lld\n", mode_text, started);
            operative_mode = maintenance;
            required_state = DOWN;
            maintenance_start_time = record.started;
            if (record.stage != STAGE_IN_MAINTENANCE) {
                const Mode left_to = vornmgr_without_maintenance(maintenance);
                vornmgr_write_sequence_record(
                    {SEQUENCE_MAINT_ENTER, STAGE_IN_MAINTENANCE, maintenance, left_to, record.started});
            }
            break;
        }
        case RECOVER_BRING_UP:
            LOG_WARN("%s to %s mode started at %lld was interrupted (%s): bringing every module back up in %s mode\n",
                     kind, mode_text, started, stage, before_text);
            vornmgr_bring_all_up(SEQUENCE_RECOVERY, record.mode_before, record.mode_before);
            break;
        case RECOVER_REPEAT_BRING_UP:
            LOG_WARN("%s to %s mode started at %lld was interrupted (%s): bringing every module up again\n", kind,
                     mode_text, started, stage);
            vornmgr_bring_all_up(SEQUENCE_RECOVERY, record.mode, record.mode_before);
            break;
        }
    } else {
        // A damaged record is not acted on later either.
        vornmgr_remove_sequence_record();
        // No sequence under way: the modules run in the mode they were last
        // brought up in, which need not be the boot's (maintenance taken in
        // a restart's kind, then left).
        Mode up_mode = UNKNOWN_MODE;
        if (vornmgr_read_up_mode(&up_mode) && up_mode != operative_mode) {
            char mode_text[VORNMGR_TEXT_BUF_LEN];
            LOG_INFO("modules last brought up in %s mode within this boot: running in it\n",
                     mode_to_str(up_mode, mode_text));
            operative_mode = up_mode;
        }
    }
    // Requests that change modes may run from now on; the modules are
    // brought in step with the mode the switch is now in.
    vornmgr_discovery_running = false;
    vornmgr_reconcile_modules();
}
