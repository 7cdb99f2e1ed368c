#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The benchmark's smoke run: a few hundred requests and a few cycles through
# the real manager in a sandbox of its own. It passes when every phase
# completed with valid answers (the program checks each reply, each RESP_OVER
# and each module's GO_DOWN answers, and ends with status 1 otherwise) and the
# results file holds every figure. Times are not judged here.
# Usage: bench_smoke_test.sh SANDBOX BENCH OUTPUT_DIR
set -euo pipefail
sandbox=$1 bench=$2 out=$3
mkdir -p "$out"
results=$out/bench-results.txt
rm -f "$results"

status=0
"$sandbox" "$bench" --smoke --results "$results" --log "$out/vornmgrd.log" >"$out/stdout.txt" 2>"$out/stderr.txt" ||
    status=$?
if [ "$status" -ne 0 ]; then
    echo "vornmgr_bench --smoke ended with status $status" >&2
    cat "$out/stderr.txt" "$out/stdout.txt" >&2
    exit 1
fi

missing=0
for key in startup.median memory.fresh_rss \
    rtt.keepalive.1.bare.median rtt.keepalive.1.vornmgrd.median rtt.keepalive.1.ratio \
    rtt.keepalive.8.vornmgrd.rate rtt.register.1.vornmgrd.median rtt.register.8.ratio \
    fanout.bare.last.median fanout.vornmgrd.last.median fanout.ratio \
    admin.vornmgrd.responsive.takedown.median admin.vornmgrd.responsive.share.median \
    admin.vornmgrd.responsive.all_up.median admin.vornmgrd.slow.takedown.median \
    admin.vornmgrd.slow.module_delays.median admin.vornmgrd.slow.share.median \
    admin.bare.responsive.share.median admin.bare.slow.share.median admin.overhead.responsive \
    handover.to_down.median handover.total.median \
    idle.quiet.cpu idle.quiet.wakeups memory.rss; do
    if ! grep -Eq "^$key +-?[0-9]+\.[0-9]+ " "$results"; then
        echo "figure $key missing from $results" >&2
        missing=1
    fi
done
# The run holds back each of the slow module's eight GO_DOWN answers for
# 50 ms: if the manager did not wait for them, the measured delays show it.
slow_delays=$(awk '$1 == "admin.vornmgrd.slow.module_delays.median" { print int($2) }' "$results")
if [ "${slow_delays:-0}" -lt 400 ]; then
    echo "the slow module's answer delays sum to ${slow_delays:-nothing} ms, expected at least 8 x 50" >&2
    missing=1
fi
grep -q '^Targets' "$results" || { echo "no Targets section in $results" >&2; missing=1; }
[ "$missing" -eq 0 ] || { cat "$results" >&2; exit 1; }
echo "smoke run complete: $results"
