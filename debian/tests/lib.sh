# Shared by the tests of debian/tests/control; sourced, not run.
# Gives a running manager: the installed vornmgrd and brel-system-services,
# started here (and stopped when the test ends) unless a manager answers
# already.
set -eu

work=${AUTOPKGTEST_TMP:?run by autopkgtest, which sets AUTOPKGTEST_TMP}
started=""

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# wait_for SECONDS COMMAND...: polls COMMAND every 0.1 s until it succeeds.
wait_for() {
    tries=$(($1 * 10))
    shift
    while [ "$tries" -gt 0 ]; do
        "$@" && return 0
        sleep 0.1
        tries=$((tries - 1))
    done
    return 1
}

stop_started() {
    for pid in $started; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
}
trap stop_started EXIT

# module_up NAME: vornmgrctl -s shows module NAME up (", up" alone or before
# the up time).
module_up() {
    vornmgrctl -s 2>/dev/null | grep -qE "^ $1 +: [a-z]+, up(,|\$)"
}

manager_answers() {
    vornmgrctl -s >/dev/null 2>&1
}

ensure_manager() {
    if manager_answers; then
        return 0
    fi
    vornmgrd 2>"$work/vornmgrd.log" &
    manager=$!
    started=$manager
    # An answer, not the socket: a manager that ended may have left its socket.
    wait_for 30 manager_answers || fail "vornmgrd does not answer: $(cat "$work/vornmgrd.log")"
    brel-system-services 2>"$work/brel-system-services.log" &
    # Stopped in reverse order: the module before the manager.
    started="$! $manager"
    wait_for 30 module_up "System Services" || fail "brel-system-services did not come up: $(vornmgrctl -s 2>&1)"
}
