#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# systemd accepts the packaged units as installed: `systemd-analyze verify`
# against the unpacked packages, so that the programs they start and the
# manual pages they name are the packaged ones, never the machine's. The
# manager's unit reads the packaged environment file.
# Usage: packaging_units_test.sh OUT_DIR
set -euo pipefail
. "$(dirname "$0")/packaging_lib.sh"

out=$1
# Scratch space in the build tree, never in the machine's /tmp.
scratch=$out/units-test
rm -rf "$scratch"
mkdir -p "$scratch"

# The root holds the packages and, beside their units, systemd's own (the
# targets every service is ordered against); the package's units win.
root=$scratch/root
cp -a "$out/root" "$root"
cp -rn "/$unit_dir/." "$root/$unit_dir/"

units=("$root/$unit_dir/vornmgrd.service" "$root/$unit_dir/brel-system-services.service"
       "$root/$unit_dir/vornmgr-metrics.service" "$root/$unit_dir/vornmgr-metrics.timer")
for unit in "${units[@]}"; do
    [[ -f "$unit" ]] || fail "${unit#"$root"} is not in the packages"
done
if ! output=$(MANPATH="$root/usr/share/man" systemd-analyze verify --man=yes --root="$root" "${units[@]}" 2>&1); then
    fail "systemd-analyze verify failed"
fi
expect_eq "systemd-analyze verify output" "" "$output"

# Each unit starts the packaged program of its name.
expect_eq "vornmgrd.service ExecStart" "ExecStart=/usr/sbin/vornmgrd" \
    "$(grep '^ExecStart=' "${units[0]}")"
expect_eq "brel-system-services.service ExecStart" "ExecStart=/usr/sbin/brel-system-services" \
    "$(grep '^ExecStart=' "${units[1]}")"
# The metrics go to the node exporter's textfile directory, through the
# packaged tool, and only where that directory exists.
expect_eq "vornmgr-metrics.service ExecStart" \
    "ExecStart=/usr/sbin/vornmgrctl --metrics=/var/lib/prometheus/node-exporter/vornmgr.prom" \
    "$(grep '^ExecStart=' "${units[2]}")"
for unit in "${units[2]}" "${units[3]}"; do
    expect_eq "${unit##*/} condition" "ConditionPathIsDirectory=/var/lib/prometheus/node-exporter" \
        "$(grep '^ConditionPathIsDirectory=' "$unit")"
done
# The manager's environment (its reboot commands) comes from the packaged
# file, and is optional.
expect_eq "vornmgrd.service EnvironmentFile" "EnvironmentFile=-/etc/default/vornmgrd" \
    "$(grep '^EnvironmentFile=' "${units[0]}")"
[[ -f "$root/etc/default/vornmgrd" ]] || fail "/etc/default/vornmgrd is not in the packages"

finish
