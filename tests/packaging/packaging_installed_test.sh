#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# The packages, unpacked (never installed on this machine), work as a Debian
# user would use them, each run inside the sandbox:
#   - a module is built from libvornmgr-dev alone (its headers, its
#     pkg-config file and nothing else's, its link name) and runs against the
#     packaged manager;
#   - the packaged manager starts from the packaged default configuration and
#     the packaged /etc/default/vornmgrd with its example lines set (as
#     systemd hands them over), the packaged system-services module
#     registers, the packaged vornmgrctl reports both, and SIGTERM stops
#     everything cleanly;
#   - the packaged Python binding loads the packaged library;
#   - the demonstration (scripts/demo) runs whole on the unpacked programs.
# The programs find the packaged libvornmgr.so.0 through LD_LIBRARY_PATH, as
# they carry no run path.
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
export LD_LIBRARY_PATH=$root/usr/$libdir

# --- inside the sandbox: the default configuration and a module built from the
# development package ----------------------------------------------------------------
if [[ -n "${inside:-}" ]]; then
    [[ -n "${SANDBOX:-}" ]] || { echo "--inside runs inside tools/sandbox only" >&2; exit 2; }
    mkdir -p /etc/norvane
    cp "$root/etc/norvane/vornmgrd.conf" /etc/norvane/
    # The example settings of the environment file, uncommented: Debian's
    # own reboot for a cold restart and kexec for a fast one.
    sed 's/^#\(VORNMGR_[A-Z_]*=\)/\1/' "$root/etc/default/vornmgrd" >"$scratch/environment"
    (set -a && . "$scratch/environment" && exec "$root/usr/sbin/vornmgrd") 2>"$scratch/vornmgrd.log" &
    manager=$!
    # Up to 30 s each: a loaded machine starts programs slowly.
    for _ in $(seq 600); do [[ -S /run/vornmgr_cli.sock ]] && break; sleep 0.05; done
    [[ -S /run/vornmgr_cli.sock ]] || fail "the packaged vornmgrd did not open its operator socket"
    "$root/usr/sbin/brel-system-services" 2>"$scratch/brel.log" &
    brel=$!
    "$scratch/example_module" 2>"$scratch/example.log" &
    example=$!

    report=""
    for _ in $(seq 600); do
        report=$("$root/usr/sbin/vornmgrctl" -s 2>"$scratch/vornmgrctl.err" || true)
        # ", up time" follows every state: only ", up" alone or before it counts.
        [[ $(grep -cE ', up(,|$)' <<<"$report") -eq 2 ]] && break
        sleep 0.05
    done
    expect_eq "status report with the default configuration" " Current System Mode: cold  
 stp             : cold, up
 System Services : cold, up" "$(sed 's/, up time: .*//' <<<"$report")"
    # A valid configuration: the tool complains about neither file.
    expect_eq "vornmgrctl's complaints" "" "$(cat "$scratch/vornmgrctl.err")"
    expect_eq "startup file made from the configuration" "$(cat "$root/etc/norvane/vornmgrd.conf")" \
        "$(cat /tmp/.vornmgrd.startup.conf 2>/dev/null)"

    kill -TERM "$example" "$brel"
    status=0; wait "$example" || status=$?
    expect_eq "example module's exit status" 0 "$status"
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
    finish
    exit
fi

# --- outside: build a module against the development package -----------------------
rm -rf "$scratch"
mkdir -p "$scratch"
# pkg-config sees the unpacked packages' files only, under $root, and no
# system directory: the library's file must need no other package's.
if ! flags=$(PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_LIBDIR=$root/usr/$libdir/pkgconfig \
    PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 PKG_CONFIG_ALLOW_SYSTEM_LIBS=1 pkg-config --cflags --libs libvornmgr 2>&1); then
    fail "pkg-config cannot use libvornmgr.pc alone: $flags"
fi
expect_eq "pkg-config's flags" "-I$root/usr/include -L$root/usr/$libdir -lvornmgr" "$(echo $flags)"
# shellcheck disable=SC2086
if ! cc -std=c11 -Wall -Werror -o "$scratch/example_module" \
    "$root/usr/share/doc/libvornmgr-dev/examples/example_module.c" $flags 2>"$scratch/cc.log"; then
    fail "the example module does not build against libvornmgr-dev: $(cat "$scratch/cc.log")"
    finish
fi

"$sandbox" --keep "$out" bash "$0" --inside "$sandbox" "$project" "$out" || failures=$((failures + 1))

# The binding finds the library by its soname, as an installed system would.
if ! python_out=$(PYTHONPATH=$root/usr/lib/python3/dist-packages PYTHONDONTWRITEBYTECODE=1 \
    python3 -c 'import vornmgr; print(vornmgr.Client.__name__)' 2>&1); then
    fail "the packaged Python binding does not load: $python_out"
fi

# --- the demonstration on the unpacked programs ---------------------------------------
status=0
"$sandbox" --keep "$out" bash "$project/scripts/demo" "$root" >"$scratch/demo.out" 2>&1 || status=$?
expect_eq "demonstration's exit status" 0 "$status"
# The take-down of the warm restart: every position in layering order, every
# module's answer within its time-out.
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
