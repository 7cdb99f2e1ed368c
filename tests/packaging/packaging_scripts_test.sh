#!/bin/bash
# The packaged maintainer scripts and bash completion, run as dpkg and bash
# run them, inside the sandbox (fresh /run and an overlay on /etc) with stub
# deb-systemd-helper, deb-systemd-invoke and systemctl that log their calls.
# Usage (inside tools/sandbox): packaging_scripts_test.sh OUT_DIR
set -euo pipefail
. "$(dirname "$0")/packaging_lib.sh"
[[ -n "${SANDBOX:-}" ]] || { echo "run me inside tools/sandbox" >&2; exit 2; }

out=$1
scratch=$(mktemp -d)
control=$scratch/control
dpkg-deb -e "$(deb_of "$out" vornmgr)" "$control"

# Stubs: every call is one line of the log; `deb-systemd-helper was-enabled`
# answers as $WAS_ENABLED says (0: enabled, as on a first installation).
stubs=$scratch/stubs
log=$scratch/calls.log
mkdir -p "$stubs"
for name in deb-systemd-helper deb-systemd-invoke systemctl; do
    cat >"$stubs/$name" <<EOF2
#!/bin/sh
echo "$name \$*" >>"$log"
[ "$name \$1 \$2" != "deb-systemd-helper --quiet was-enabled" ] || exit "\${WAS_ENABLED:-0}"
exit 0
EOF2
    chmod +x "$stubs/$name"
done
# Without the helpers: only the tools a minimal system has, and systemctl.
bare=$scratch/bare
mkdir -p "$bare"
for tool in rm rmdir; do ln -s "$(command -v "$tool")" "$bare/$tool"; done
ln -s "$stubs/systemctl" "$bare/systemctl"

# run_script SCRIPT PATH ARGS...: the script's exit status and its calls.
run_script() {
    local script=$1 path=$2 status=0
    shift 2
    : >"$log"
    PATH=$path /bin/sh "$control/$script" "$@" || status=$?
    calls=$(cat "$log")
    return $status
}

units="vornmgrd.service brel-system-services.service"

# --- systemd running, helpers present ------------------------------------------
mkdir -p /run/systemd/system
run_script postinst "$stubs:$PATH" configure "" || fail "postinst configure failed"
expect_eq "postinst on a first installation" "deb-systemd-helper unmask vornmgrd.service
deb-systemd-helper --quiet was-enabled vornmgrd.service
deb-systemd-helper enable vornmgrd.service
deb-systemd-helper unmask brel-system-services.service
deb-systemd-helper --quiet was-enabled brel-system-services.service
deb-systemd-helper enable brel-system-services.service
systemctl --system daemon-reload
deb-systemd-invoke start $units" "$calls"

WAS_ENABLED=1 run_script postinst "$stubs:$PATH" configure 1.0.0-1 || fail "postinst upgrade failed"
expect_eq "postinst on an upgrade of units the administrator disabled" "deb-systemd-helper unmask vornmgrd.service
deb-systemd-helper --quiet was-enabled vornmgrd.service
deb-systemd-helper update-state vornmgrd.service
deb-systemd-helper unmask brel-system-services.service
deb-systemd-helper --quiet was-enabled brel-system-services.service
deb-systemd-helper update-state brel-system-services.service
systemctl --system daemon-reload
deb-systemd-invoke restart $units" "$calls"

run_script prerm "$stubs:$PATH" remove || fail "prerm remove failed"
expect_eq "prerm remove" "deb-systemd-invoke stop brel-system-services.service vornmgrd.service" "$calls"
run_script prerm "$stubs:$PATH" upgrade 1.0.1-1 || fail "prerm upgrade failed"
expect_eq "prerm upgrade (the units keep running)" "" "$calls"

run_script postrm "$stubs:$PATH" remove || fail "postrm remove failed"
expect_eq "postrm remove" "systemctl --system daemon-reload
deb-systemd-helper mask vornmgrd.service
deb-systemd-helper mask brel-system-services.service" "$calls"

# A purge removes what vornmgrctl may have left beside the configuration
# (dpkg has removed the conffile itself by then), and the directory when
# nothing else is in it.
mkdir -p /etc/norvane
echo boot_mode=warm >/etc/norvane/vornmgrd.conf.Xy12Ab
run_script postrm "$stubs:$PATH" purge || fail "postrm purge failed"
expect_eq "postrm purge" "deb-systemd-helper purge vornmgrd.service
deb-systemd-helper unmask vornmgrd.service
deb-systemd-helper purge brel-system-services.service
deb-systemd-helper unmask brel-system-services.service" "$calls"
[[ ! -e /etc/norvane ]] || fail "purge left /etc/norvane: $(ls -A /etc/norvane)"
mkdir -p /etc/norvane
echo other >/etc/norvane/other-module.conf
run_script postrm "$stubs:$PATH" purge || fail "second postrm purge failed"
expect_eq "purge keeps files of others" "other" "$(cat /etc/norvane/other-module.conf 2>/dev/null)"

# --- without the helpers, and without systemd --------------------------------------
run_script postinst "$bare" configure "" || fail "postinst without helpers failed"
expect_eq "postinst without helpers, systemd running" "systemctl --system daemon-reload
systemctl start $units" "$calls"
rmdir /run/systemd/system
for call in "postinst configure" "prerm remove" "postrm remove" "postrm purge"; do
    # shellcheck disable=SC2086
    run_script $call "$bare" || fail "$call fails without helpers and systemd"
    expect_eq "$call without helpers and systemd" "" "$calls"
done

# --- bash completion ---------------------------------------------------------------
# The words offered are the tool's actions as its own usage text lists them:
# -w{f} gives -w and -wf, -m<0|1> gives -m0 and -m1.
usage=$("$out/root/usr/sbin/vornmgrctl" 2>/dev/null || true)
expected=$(sed -n 's/^  -\([a-z]\)\([^ ]*\) .*/\1 \2/p' <<<"$usage" | while read -r letter modifier; do
    case "$modifier" in
    "") echo "-$letter" ;;
    "{f}") printf '%s\n' "-$letter" "-${letter}f" ;;
    "<0|1>") printf '%s\n' "-${letter}0" "-${letter}1" ;;
    *) echo "unknown modifier $modifier of -$letter" ;;
    esac
done | sort)
[[ $(wc -l <<<"$expected") -ge 10 ]] || fail "usage text not understood: $usage"

complete_words() { # CWORD WORDS...: what the completion offers
    bash -c '
        . "$1"
        shift
        COMP_CWORD=$1
        shift
        COMP_WORDS=("$@")
        _vornmgrctl
        printf "%s\n" "${COMPREPLY[@]}"' \
        completion "$out/root/usr/share/bash-completion/completions/vornmgrctl" "$@" | grep -v '^$' | sort || true
}
expect_eq "completion of the action" "$expected" "$(complete_words 1 vornmgrctl "")"
expect_eq "completion of -m" "$(printf '%s\n' -m0 -m1)" "$(complete_words 1 vornmgrctl -m)"
expect_eq "completion after the one argument" "" "$(complete_words 2 vornmgrctl -s "")"
bash -c '. "$1"; complete -p vornmgrctl' completion "$out/root/usr/share/bash-completion/completions/vornmgrctl" \
    >/dev/null || fail "the completion is not registered for vornmgrctl"

rm -rf "$scratch"
finish
