#!/bin/bash
# The packages, unpacked (never installed on this machine), work as a Debian
# user would use them, each run inside the sandbox:
#   - a module is built from libvornmgr-dev alone (its header, pkg-config file
#     and link name) and runs against the packaged manager;
#   - the packaged manager starts from the packaged default configuration,
#     the packaged system-services module registers, the packaged vornmgrctl
#     reports both, and SIGTERM stops everything cleanly;
#   - the demonstration (scripts/demo) runs whole on the unpacked programs.
# The programs find the packaged libvornmgr.so.0 through LD_LIBRARY_PATH, as
# they carry no run path.
# Usage: packaging_installed_test.sh SANDBOX PROJECT_DIR OUT_DIR LIBDIR [CFLAGS]
#   CFLAGS: the sanitizer flags of the build, which a program loading its
#           instrumented library needs too
set -euo pipefail
. "$(dirname "$0")/packaging_lib.sh"

if [[ "${1:-}" == --inside ]]; then
    inside=1
    shift
fi
sandbox=$1
project=$2
out=$(realpath "$3")
libdir=$4
sanitizer_flags=${5:-}
root=$out/root
scratch=$out/installed-test
export LD_LIBRARY_PATH=$root/usr/$libdir

# --- inside the sandbox: the default configuration and a module built from the
# development package ----------------------------------------------------------------
if [[ -n "${inside:-}" ]]; then
    [[ -n "${SANDBOX:-}" ]] || { echo "--inside runs inside tools/sandbox only" >&2; exit 2; }
    mkdir -p /etc/norvane
    cp "$root/etc/norvane/vornmgrd.conf" /etc/norvane/
    "$root/usr/sbin/vornmgrd" 2>"$scratch/vornmgrd.log" &
    manager=$!
    # Up to 30 s each: sanitizer builds on a loaded machine start slowly.
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
# The files are under $root: pkg-config prefixes every directory with it (the
# system's ZeroMQ's too, harmlessly) and must not leave them out as the
# system's own directories.
flags=$(PKG_CONFIG_SYSROOT_DIR=$root PKG_CONFIG_PATH=$root/usr/$libdir/pkgconfig \
    PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 PKG_CONFIG_ALLOW_SYSTEM_LIBS=1 pkg-config --cflags --libs libvornmgr)
for flag in "-I$root/usr/include" "-L$root/usr/$libdir" -lvornmgr; do
    [[ " $flags " == *" $flag "* ]] || fail "pkg-config gives no $flag: $flags"
done
# shellcheck disable=SC2086
if ! cc -std=c11 -Wall -Werror $sanitizer_flags -o "$scratch/example_module" \
    "$root/usr/share/doc/libvornmgr-dev/examples/example_module.c" $flags 2>"$scratch/cc.log"; then
    fail "the example module does not build against libvornmgr-dev: $(cat "$scratch/cc.log")"
    finish
fi

"$sandbox" --keep "$out" bash "$0" --inside "$sandbox" "$project" "$out" "$libdir" "$sanitizer_flags" || failures=$((failures + 1))

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
sdk 8 of 8" "$(sed -nE 's/^  [0-9] +(.+[^ ]) +[0-9:.]{12} +[0-9:.]{12} +[0-9]+ ms  ([0-9]+ of [0-9]+)$/\1 \2/p' "$scratch/demo.out")"
grep -q 'every module answered every GO_DOWN in time' "$scratch/demo.out" || fail "not every module answered"
grep -q "^== demonstration complete" "$scratch/demo.out" || fail "the demonstration did not complete"
if [[ $failures -ne 0 ]]; then
    echo "--- demonstration output" >&2
    cat "$scratch/demo.out" >&2
fi

finish
