#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The collection vornmgr.switch (ansible/) through the real ansible-playbook
# against simulated switches (tools/fleet), two fleet start-ups:
#
#   whole fleet (4 switches): the collection builds and installs, ansible-doc
#     renders every module, every playbook passes --syntax-check; a rolling
#     restart in check mode reboots nothing; entering maintenance twice
#     changes nothing the second time, and a restart is refused in it; the rolling warm restart reboots each
#     switch once, one at a time in inventory order, recap 0 failed; an
#     upgrade that installs something restarts its switch (rolling_upgrade.yml);
#     every module up in warm mode afterwards (fleet_status.yml).
#   a silent module (3 switches, bgp of sw2 never answers GO_DOWN): entering
#     maintenance fails naming bgp; the rollout stops at sw2 naming it and
#     bgp; sw3 is not restarted.
#
#   rollout_test.sh BUILD_DIR
#
# Prints the rolling restart's wall time beside each switch's own restart
# (take-down start to all modules up again). Exit status 0 when all held,
# 77 (skipped) without root, which the fleet's sshd needs.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
project=$(cd "$here/../.." && pwd)
modules=(vornmgr_info vornmgr_maintenance vornmgr_restart vornmgr_upgrade)

fail() {
    printf 'FAILED: %s\n' "$*" >&2
    exit 1
}

# The switch's stub calls of one command, counted.
calls() { grep -c "^$2\( \|$\)" "$FLEET_DIR/$1/stubs.log" 2>/dev/null || true; }
boots() { grep -c '^boot ' "$FLEET_DIR/$1/boots.log"; }

# Keeps the controller's files in this sandbox's /tmp; installs the
# collection from the tarball ansible-galaxy builds of the tree.
prepare_controller() {
    work=$(mktemp -d /tmp/ansible-test.XXXXXX)
    export HOME=$work/home ANSIBLE_HOME=$work/home/.ansible ANSIBLE_LOCAL_TEMP=$work/local
    export ANSIBLE_COLLECTIONS_PATH=$work/collections ANSIBLE_NOCOLOR=1 ANSIBLE_RETRY_FILES_ENABLED=0
    export ANSIBLE_DEPRECATION_WARNINGS=0
    mkdir -p "$HOME" "$ANSIBLE_LOCAL_TEMP"
    ansible-galaxy collection build "$project/ansible" --output-path "$work" >"$work/build.log" 2>&1 ||
        { cat "$work/build.log"; fail "ansible-galaxy collection build"; }
    ansible-galaxy collection install -p "$ANSIBLE_COLLECTIONS_PATH" "$work"/vornmgr-switch-*.tar.gz \
        >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "ansible-galaxy collection install"; }
    playbooks=$ANSIBLE_COLLECTIONS_PATH/ansible_collections/vornmgr/switch/playbooks
}

# The PLAY RECAP line of HOST in FILE.
recap() { grep "^$1 *: ok=" "$2" || true; }

inside_whole_fleet() {
    prepare_controller
    local names=() name
    for name in "${modules[@]}"; do names+=("vornmgr.switch.$name"); done
    ansible-doc "${names[@]}" >"$work/doc.txt" 2>&1 || { cat "$work/doc.txt"; fail "ansible-doc"; }
    [ "$(grep -c '^RETURN VALUES:' "$work/doc.txt")" -eq ${#modules[@]} ] ||
        fail "ansible-doc did not render RETURN VALUES of all ${#modules[@]} modules"
    ansible-playbook --syntax-check "$playbooks"/*.yml >"$work/syntax.txt" 2>&1 ||
        { cat "$work/syntax.txt"; fail "ansible-playbook --syntax-check"; }
    echo "ok: collection built, ${#modules[@]} modules documented, playbooks pass --syntax-check"

    ansible-playbook --check "$playbooks/rolling_restart.yml" >"$work/check.txt" 2>&1 ||
        { cat "$work/check.txt"; fail "the rolling restart in check mode"; }
    for sw in sw1 sw2 sw3 sw4; do
        grep -q "\"$sw: would restart" "$work/check.txt" || { cat "$work/check.txt"; fail "check mode: no summary of $sw"; }
        [ "$(calls "$sw" reboot)" -eq 0 ] || fail "check mode rebooted $sw"
        [ "$(calls "$sw" pelmar.py)" -eq 0 ] || fail "check mode ran pelmar.py on $sw"
    done
    echo "ok: check mode reboots nothing"

    ansible sw1 -o -m vornmgr.switch.vornmgr_maintenance -a state=present >"$work/m1.txt" 2>&1 ||
        { cat "$work/m1.txt"; fail "entering maintenance"; }
    ansible sw1 -o -m vornmgr.switch.vornmgr_maintenance -a state=present >"$work/m1-again.txt" 2>&1 ||
        { cat "$work/m1-again.txt"; fail "entering maintenance again"; }
    grep -q '^sw1 | CHANGED => .*"maintenance": true' "$work/m1.txt" || { cat "$work/m1.txt"; fail "first -m1 not changed"; }
    grep -q '^sw1 | SUCCESS => .*"changed": false' "$work/m1-again.txt" ||
        { cat "$work/m1-again.txt"; fail "second -m1 reported a change"; }
    # Modules down for maintenance: a restart is refused, naming them.
    if ansible sw1 -o -m vornmgr.switch.vornmgr_restart -a mode=warm >"$work/refused.txt" 2>&1 ||
        ! grep -q '^sw1 | FAILED! => .*"msg": "refusing to restart: frr: down, bgp: down' "$work/refused.txt"; then
        cat "$work/refused.txt"
        fail "a restart with modules down was not refused"
    fi
    [ "$(calls sw1 reboot)" -eq 0 ] || fail "the refused restart rebooted sw1"
    ansible sw1 -o -m vornmgr.switch.vornmgr_maintenance -a state=absent >"$work/m0.txt" 2>&1 ||
        { cat "$work/m0.txt"; fail "leaving maintenance"; }
    echo "ok: maintenance entered, then unchanged, a restart refused in it, then left with every module up"

    local started ended
    started=$(date +%s%N)
    ansible-playbook "$playbooks/rolling_restart.yml" -e vornmgr_restart_mode=warm -e vornmgr_restart_timeout=90 >"$work/rollout.txt" 2>&1 ||
        { cat "$work/rollout.txt"; fail "the rolling warm restart"; }
    ended=$(date +%s%N)
    local previous_up=""
    for sw in sw1 sw2 sw3 sw4; do
        recap "$sw" "$work/rollout.txt" | grep -q ' failed=0 ' || { cat "$work/rollout.txt"; fail "recap of $sw"; }
        [ "$(calls "$sw" reboot)" -eq 1 ] || fail "$sw rebooted $(calls "$sw" reboot) times, not once"
        [ "$(boots "$sw")" -eq 2 ] || fail "$sw booted $(boots "$sw") times, not twice"
        # One at a time, in inventory order: each switch goes down only
        # after the one before came back whole.
        local went_down came_up
        went_down=$(grep -m1 ' reboot' "$FLEET_DIR/$sw/console.log" | cut -d' ' -f1)
        came_up=$(grep ' all 8 modules up' "$FLEET_DIR/$sw/console.log" | tail -n1 | cut -d' ' -f1)
        [[ -z "$previous_up" || "$went_down" > "$previous_up" ]] ||
            fail "$sw went down at $went_down, before the switch ahead of it was up at $previous_up"
        previous_up=$came_up
    done
    echo "ok: rolling warm restart, each switch once and one at a time"
    grep -A6 'Rollout summary' "$work/rollout.txt" | grep '"sw' || true
    /usr/bin/python3 "$here/rollout_times.py" "$FLEET_DIR" "$(((ended - started) / 1000000))" sw1 sw2 sw3 sw4

    # An upgrade that installs something (the apt-get stub of sw4 writes the
    # package manager's log) restarts sw4 in its configured mode, now warm.
    # The stubs are first on PATH only for the programs the switch booted.
    ansible sw4 -o -m ansible.builtin.shell \
        -a 'echo "echo Start-Date: test >>/var/log/apt/history.log" >/run/sandbox/stub.apt-get.sh' \
        >"$work/stub.txt" 2>&1 || { cat "$work/stub.txt"; fail "setting the apt-get stub of sw4"; }
    ansible-playbook "$playbooks/rolling_upgrade.yml" -l sw4 -e vornmgr_restart_timeout=90 \
        -e '{"vornmgr_environment": {"PATH": "/run/sandbox/bin:/usr/local/sbin:/usr/sbin:/usr/bin:/sbin:/bin"}}' \
        >"$work/upgrade.txt" 2>&1 || { cat "$work/upgrade.txt"; fail "the rolling upgrade of sw4"; }
    grep -q '"sw4: done, upgraded: yes, warm restart' "$work/upgrade.txt" || { cat "$work/upgrade.txt"; fail "sw4's upgrade"; }
    [ "$(calls sw4 reboot)" -eq 2 ] && [ "$(calls sw4 qorfwupgrade.vek)" -eq 1 ] ||
        fail "sw4 was not upgraded and restarted once more"
    echo "ok: an upgrade of sw4 restarts it"

    ansible-playbook "$playbooks/fleet_status.yml" >"$work/status.txt" 2>&1 ||
        { cat "$work/status.txt"; fail "fleet_status.yml"; }
    [ "$(grep -c '^ *"sw[1-4]: mode warm, 8 of 8 modules up, maintenance off, last take-down (restart)' \
        "$work/status.txt")" -eq 4 ] || { cat "$work/status.txt"; fail "not every switch whole in warm mode"; }
    echo "ok: every switch whole in warm mode"
}

inside_silent_module() {
    prepare_controller
    if ansible sw2 -o -m vornmgr.switch.vornmgr_maintenance -a state=present >"$work/m1.txt" 2>&1 ||
        ! grep -q '^sw2 | FAILED! => .*"msg": "maintenance entered, but modules did not go down cleanly: bgp ' \
            "$work/m1.txt"; then
        cat "$work/m1.txt"
        fail "entering maintenance past a silent module did not fail naming it"
    fi
    ansible sw2 -o -m vornmgr.switch.vornmgr_maintenance -a state=absent >"$work/m0.txt" 2>&1 ||
        { cat "$work/m0.txt"; fail "leaving maintenance"; }
    echo "ok: maintenance past a silent module fails naming it"
    local status=0
    ansible-playbook "$playbooks/rolling_restart.yml" -e vornmgr_restart_mode=warm -e vornmgr_restart_timeout=90 >"$work/rollout.txt" 2>&1 ||
        status=$?
    [ "$status" -ne 0 ] || { cat "$work/rollout.txt"; fail "the rollout over a silent module succeeded"; }
    grep -q 'fatal: \[sw2\]: FAILED! => .*"msg": "rollout stopped at sw2: restart of sw2: bgp did not answer GO_DOWN in time"' \
        "$work/rollout.txt" || { cat "$work/rollout.txt"; fail "the failure does not name sw2 and bgp"; }
    grep -q '"sw3: not restarted"' "$work/rollout.txt" || { cat "$work/rollout.txt"; fail "no summary for sw3"; }
    recap sw1 "$work/rollout.txt" | grep -q ' failed=0 ' || { cat "$work/rollout.txt"; fail "recap of sw1"; }
    recap sw2 "$work/rollout.txt" | grep -q ' failed=1 ' || { cat "$work/rollout.txt"; fail "recap of sw2"; }
    [ "$(calls sw1 reboot)" -eq 1 ] && [ "$(calls sw2 reboot)" -eq 1 ] || fail "sw1 and sw2 were not rebooted once each"
    [ "$(calls sw3 reboot)" -eq 0 ] && [ "$(calls sw3 pelmar.py)" -eq 0 ] && [ "$(boots sw3)" -eq 1 ] ||
        fail "sw3 was restarted after the rollout stopped at sw2"
    echo "ok: the rollout stops at sw2 naming bgp; sw3 untouched"
}

case "${1:-}" in
--inside-whole-fleet) inside_whole_fleet ;;
--inside-silent-module) inside_silent_module ;;
*)
    [ $# -eq 1 ] || { echo "usage: rollout_test.sh BUILD_DIR" >&2; exit 2; }
    build=$(cd "$1" && pwd)
    if [ "$(id -u)" -ne 0 ]; then
        echo "SKIP: the fleet's sshd needs root"
        exit 77
    fi
    "$project/tools/fleet" -n 4 --build "$build" --dir "$build/ansible-test-fleet" \
        run -- "$here/rollout_test.sh" --inside-whole-fleet
    "$project/tools/fleet" -n 3 --build "$build" --dir "$build/ansible-test-fleet-silent" \
        --switch sw2:bgp=--silent run -- "$here/rollout_test.sh" --inside-silent-module
    ;;
esac
