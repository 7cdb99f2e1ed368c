#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# The packaged maintainer scripts and bash completion, run as dpkg and bash
# run them, inside the sandbox (fresh /run, overlays on /etc, /usr and /var,
# whatever a script writes) with stub deb-systemd-helper,
# deb-systemd-invoke, systemctl, ucf and ucfr that log their calls. The
# scripts are debhelper's: what is checked is that both units are in them,
# enabled and started on installation, restarted (never stopped) by an
# upgrade and stopped on removal, that the configuration is handed to ucf,
# and that a purge cleans up after ucf and vornmgrctl. What ucf makes of the
# configuration through installations and upgrades is
# packaging_upgrade_test.sh's.
# Usage (inside tools/sandbox --writable-system): packaging_scripts_test.sh OUT_DIR
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
for name in deb-systemd-helper deb-systemd-invoke systemctl ucf ucfr; do
    cat >"$stubs/$name" <<EOF2
#!/bin/sh
echo "$name \$*" >>"$log"
[ "$name \$1 \$2" != "deb-systemd-helper --quiet was-enabled" ] || exit "\${WAS_ENABLED:-0}"
exit 0
EOF2
    chmod +x "$stubs/$name"
done

# run_script SCRIPT ARGS...: the script's exit status; its calls in $calls,
# the quotes of the unit names dropped.
run_script() {
    local script=$1 status=0
    shift
    : >"$log"
    DEBIAN_FRONTEND=noninteractive PATH=$stubs:$PATH /bin/sh "$control/$script" "$@" </dev/null || status=$?
    calls=$(tr -d "'" <"$log")
    return $status
}
# expect_calls DESCRIPTION PATTERN...: each extended regular expression
# matches a line of $calls.
expect_calls() {
    local description=$1 pattern
    shift
    for pattern in "$@"; do
        grep -qE "^($pattern)\$" <<<"$calls" || fail "$description: no call like '$pattern' in:
$calls"
    done
}
both='(brel-system-services.service vornmgrd.service|vornmgrd.service brel-system-services.service)'

mkdir -p /run/systemd/system
run_script postinst configure "" || fail "postinst configure failed"
expect_calls "postinst on a first installation" "deb-systemd-helper enable vornmgrd.service" \
    "deb-systemd-helper enable brel-system-services.service" "deb-systemd-invoke start $both"
# The metrics timer is enabled and started (it runs only where the node
# exporter's directory exists); its oneshot only ever by the timer.
expect_calls "postinst on a first installation" "deb-systemd-helper enable vornmgr-metrics.timer" \
    "deb-systemd-invoke start vornmgr-metrics.timer"
grep -q 'vornmgr-metrics.service' <<<"$calls" && fail "postinst handles vornmgr-metrics.service: $calls"
# The configuration is ucf's: the default from /usr/share, asking only when
# both it and the file changed.
config=/etc/norvane/vornmgrd.conf
expect_calls "postinst's configuration" "ucf --three-way /usr/share/vornmgr/vornmgrd.conf $config" \
    "ucfr vornmgr $config"

WAS_ENABLED=1 run_script postinst configure 1.0.0-1 || fail "postinst upgrade failed"
expect_calls "postinst on an upgrade of units the administrator disabled" \
    "deb-systemd-helper update-state vornmgrd.service" "deb-systemd-helper update-state brel-system-services.service" \
    "deb-systemd-invoke restart $both"
grep -q ' enable ' <<<"$calls" && fail "an upgrade enabled a unit the administrator disabled"

run_script prerm remove || fail "prerm remove failed"
expect_calls "prerm remove" "deb-systemd-invoke stop $both"
run_script prerm upgrade 1.0.0-3 || fail "prerm upgrade failed"
grep -q ' stop ' <<<"$calls" && fail "prerm upgrade stops the units: $calls"

# A purge removes the configuration, what ucf and vornmgrctl may have left
# beside it, ucf's records of it, and the directory when nothing else is in
# it.
mkdir -p /etc/norvane
echo boot_mode=warm >$config
echo boot_mode=warm >$config.Xy12Ab
echo boot_mode=cold >$config.ucf-dist
run_script postrm purge || fail "postrm purge failed"
expect_calls "postrm purge" "ucf --purge $config" "ucfr --purge vornmgr $config"
[[ ! -e /etc/norvane ]] || fail "purge left /etc/norvane: $(ls -A /etc/norvane)"
mkdir -p /etc/norvane
echo other >/etc/norvane/other-module.conf
run_script postrm purge || fail "second postrm purge failed"
expect_eq "purge keeps files of others" "other" "$(cat /etc/norvane/other-module.conf 2>/dev/null)"

# --- bash completion ---------------------------------------------------------------
# The words offered are the tool's actions as its own usage text lists them:
# -w{f} gives -w and -wf, -m<0|1> gives -m0 and -m1 (a line that lists
# several, "-m<0|1>, ...", describes an option that goes with them).
usage=$("$out/root/usr/sbin/vornmgrctl" 2>/dev/null || true)
expected=$(sed -n 's/^  -\([a-z]\)\([^ ,]*\) .*/\1 \2/p' <<<"$usage" | while read -r letter modifier; do
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
