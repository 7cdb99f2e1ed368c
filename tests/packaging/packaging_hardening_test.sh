#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# The packaged units' supervision and hardening: the manager's watchdog, the
# module restarted on its own and tied to the manager only by stop and
# restart, and the manager's exposure as `systemd-analyze security` rates it
# offline (this machine need not run systemd): at most 5.0.
# Usage: packaging_hardening_test.sh OUT_DIR
set -euo pipefail
. "$(dirname "$0")/packaging_lib.sh"

out=$1
manager=$out/root/$unit_dir/vornmgrd.service
module=$out/root/$unit_dir/brel-system-services.service
for unit in "$manager" "$module"; do
    [[ -f "$unit" ]] || fail "${unit#"$out/root"} is not in the packages"
done
[[ $failures -eq 0 ]] || finish

expect_eq "vornmgrd.service watchdog" "WatchdogSec=30" "$(grep '^WatchdogSec=' "$manager")"
expect_eq "brel-system-services.service supervision" \
    "After=vornmgrd.service
PartOf=vornmgrd.service
Restart=always" \
    "$(grep -E '^(After|PartOf|BindsTo|Restart)=' "$module")"

if ! report=$(systemd-analyze security --offline=yes --threshold=50 "$manager" 2>&1); then
    fail "vornmgrd.service is rated above 5.0:
$report"
fi
echo "${report##*$'\n'}"

finish
