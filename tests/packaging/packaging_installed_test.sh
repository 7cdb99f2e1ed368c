#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# The packages, installed with dpkg inside the sandbox (tools/sandbox
# --writable-system: /usr, /var and /etc are overlays there, so nothing of
# this machine changes), work as a Debian user would use them:
#   - the first installation makes /etc/norvane/vornmgrd.conf from the
#     default and the group vornmgr;
#   - the autopkgtests of debian/tests run against the installed packages
#     (autopkgtest_run.sh): manager, tool and a simulated module with a
#     maintenance cycle; a Python module on the binding; a C module built
#     with pkg-config against libvornmgr-dev;
#   - the installed manager starts with the packaged /etc/default/vornmgrd's
#     example lines set (as systemd hands them over), and SIGTERM stops it
#     and the system-services module cleanly;
#   - Debian's Ansible finds the installed collection;
#   - the demonstration (scripts/demo) runs whole on the installed programs.
# And, on the unpacked packages: libvornmgr.pc needs no other package's
# pkg-config file.
# Usage: packaging_installed_test.sh SANDBOX PROJECT_DIR OUT_DIR
set -euo pipefail
. "$(dirname "$0")/packaging_lib.sh"

if [[ "${1:-}" == --inside ]]; then
    inside=1
    shift
fi
sandbox=$1
project=$2
out=$(realpath "$3")
root=$out/root
scratch=$out/installed-test

# --- inside the sandbox: install, then use ---------------------------------------------
if [[ -n "${inside:-}" ]]; then
    [[ -n "${SANDBOX:-}" ]] || { echo "--inside runs inside tools/sandbox only" >&2; exit 2; }
    export DEBIAN_FRONTEND=noninteractive
    # The manual pages' index is of no use here and the slowest trigger.
    echo 'man-db man-db/auto-update boolean false' | debconf-set-selections
    debs=()
    for deb in "$out"/debs/*.deb; do
        [[ $deb == *-dbgsym_* ]] || debs+=("$deb")
    done
    if ! timeout 300 dpkg -i "${debs[@]}" </dev/null >"$scratch/dpkg.log" 2>&1; then
        cat "$scratch/dpkg.log" >&2
        fail "dpkg could not install the packages"
        finish
    fi
    expect_eq "configuration made by the installation" "$(cat /usr/share/vornmgr/vornmgrd.conf)" \
        "$(cat /etc/norvane/vornmgrd.conf 2>&1)"
    getent group vornmgr >/dev/null || fail "the installation made no group vornmgr"

    status=0
    bash "$(dirname "$0")/autopkgtest_run.sh" "$project" >"$scratch/autopkgtest.log" 2>&1 || status=$?
    grep -E '^[a-z0-9-]+ (PASS|FAIL)' "$scratch/autopkgtest.log" || true
    if [[ $status -ne 0 ]]; then
        cat "$scratch/autopkgtest.log" >&2
        fail "the autopkgtests failed"
    fi
    [[ $(grep -c ' PASS$' "$scratch/autopkgtest.log") -eq 3 ]] || fail "not all three autopkgtests ran"

    # What the managers of the tests kept for the rest of the boot (in /run
    # and /tmp) goes, as a reboot would take it, so that the next manager
    # starts as on a fresh boot rather than as restarted within this one.
    forget_boot() {
        rm -rf /run/vornmgr /tmp/.vornmgrd.startup.conf /tmp/.ports_in_maint
    }
    forget_boot

    # The example settings of the environment file, uncommented: Debian's
    # own reboot for a cold restart and kexec for a fast one.
    sed 's/^#\(VORNMGR_[A-Z_]*=\)/\1/' /etc/default/vornmgrd >"$scratch/environment"
    (set -a && . "$scratch/environment" && exec /usr/sbin/vornmgrd) 2>"$scratch/vornmgrd.log" &
    manager=$!
    # Up to 30 s each: a loaded machine starts programs slowly.
    for _ in $(seq 600); do [[ -S /run/vornmgr_cli.sock ]] && break; sleep 0.05; done
    [[ -S /run/vornmgr_cli.sock ]] || fail "the installed vornmgrd did not open its operator socket"
    /usr/sbin/brel-system-services 2>"$scratch/brel.log" &
    brel=$!
    report=""
    for _ in $(seq 600); do
        report=$(vornmgrctl -s 2>"$scratch/vornmgrctl.err" || true)
        grep -qE ', up(,|$)' <<<"$report" && break
        sleep 0.05
    done
    expect_eq "status report with the default configuration" " Current System Mode: cold  
 System Services : cold, up" "$(sed 's/, up time: .*//' <<<"$report")"
    # A valid configuration: the tool complains about neither file.
    expect_eq "vornmgrctl's complaints" "" "$(cat "$scratch/vornmgrctl.err")"
    expect_eq "startup file made from the configuration" "$(cat /etc/norvane/vornmgrd.conf)" \
        "$(cat /tmp/.vornmgrd.startup.conf 2>/dev/null)"
    kill -TERM "$brel"
    status=0; wait "$brel" || status=$?
    expect_eq "brel-system-services' exit status" 0 "$status"
    kill -TERM "$manager"
    status=0; wait "$manager" || status=$?
    expect_eq "vornmgrd's exit status on SIGTERM" 0 "$status"
    grep -q 'Vorn manager starting in cold mode' "$scratch/vornmgrd.log" || fail "vornmgrd did not start cold"
    grep -q 'reboot commands: cold "sync; reboot", fast "systemctl kexec"$' "$scratch/vornmgrd.log" ||
        fail "vornmgrd did not take the reboot commands of /etc/default/vornmgrd"
    grep -q 'Vorn manager exiting\.' "$scratch/vornmgrd.log" || fail "vornmgrd did not log its exit"
    if grep -E ' (ERR|CRIT|WARN) |Unknown parameter' "$scratch/vornmgrd.log"; then
        fail "vornmgrd complained about the default configuration"
    fi
    grep -q 'Quitting brel-system-services' "$scratch/brel.log" || fail "brel-system-services did not quit cleanly"

    # Debian's Ansible looks in /usr/share/ansible/collections by itself.
    if ! collections=$(HOME=$scratch ansible-galaxy collection list vornmgr.switch 2>&1); then
        fail "ansible-galaxy does not list the installed collection: $collections"
    fi
    grep -q '^# /usr/share/ansible/collections/ansible_collections$' <<<"$collections" ||
        fail "the collection is not where Debian's Ansible looks: $collections"

    # --- the demonstration on the installed programs -----------------------------------
    forget_boot
    status=0
    bash "$project/scripts/demo" /usr >"$scratch/demo.out" 2>&1 || status=$?
    expect_eq "demonstration's exit status" 0 "$status"
    # The take-down of the warm restart: every position in layering order,
    # every module's answer within its time-out.
    expect_eq "demonstration's timeline" "System Services 8 of 8
frr 8 of 8
bgp 8 of 8
ospf 8 of 8
trelld 8 of 8
stp 8 of 8
swivend 8 of 8
sdk 8 of 8" "$(sed -nE 's/^ +[0-9] +(.+[^ ]) +[0-9:.]{12} +[0-9:.]{12} +[0-9]+ ms +([0-9]+ of [0-9]+)$/\1 \2/p' "$scratch/demo.out")"
    grep -q 'every module answered every GO_DOWN in time' "$scratch/demo.out" || fail "not every module answered"
    grep -q "^== demonstration complete" "$scratch/demo.out" || fail "the demonstration did not complete"
    if [[ $failures -ne 0 ]]; then
        echo "--- demonstration output" >&2
        cat "$scratch/demo.out" >&2
    fi
    finish
    exit
fi

# --- outside -------------------------------------------------------------------------
rm -rf "$scratch"
mkdir -p "$scratch"
# pkg-config sees the unpacked packages' files only, under $root, and no
# system directory: the library's file must need no other package's.
if ! flags=$(PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$root/usr/$libdir/pkgconfig \
    PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 PKG_CONFIG_ALLOW_SYSTEM_LIBS=1 pkg-config --cflags --libs libvornmgr 2>&1); then
    fail "pkg-config cannot use libvornmgr.pc alone: $flags"
fi
expect_eq "pkg-config's flags" "-I$root/usr/include -L$root/usr/$libdir -lvornmgr" "$(echo $flags)"

"$sandbox" --writable-system --keep "$out" bash "$0" --inside "$sandbox" "$project" "$out" || failures=$((failures + 1))
finish
