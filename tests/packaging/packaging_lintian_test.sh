#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# The packages as Debian's archive checks them: lintian with every tag shown
# (errors, warnings, info, pedantic and experimental), and not one error or
# warning. Tags that only the archive's own upload can answer are suppressed,
# each with its reason, in lintian-suppressed-tags beside this script; the
# packages' own overrides (debian/*.lintian-overrides) say why they hold.
# Usage (inside tools/sandbox): packaging_lintian_test.sh OUT_DIR
set -euo pipefail
. "$(dirname "$0")/packaging_lib.sh"
[[ -n "${SANDBOX:-}" ]] || { echo "run me inside tools/sandbox" >&2; exit 2; }

out=$1
changes=("$out"/debs/*.changes)
[[ -f "${changes[0]}" ]] || { echo "no .changes file in $out/debs" >&2; exit 1; }

status=0
report=$(lintian -EvI --pedantic --suppress-tags-from-file "$(dirname "$0")/lintian-suppressed-tags" \
    "${changes[0]}" 2>&1) || status=$?
# Every tag, for the record; the notes (N:) are lintian's own progress.
grep -v '^N: ' <<<"$report" || true
expect_eq "lintian's errors and warnings" "" "$(grep -E '^[EW]: ' <<<"$report" || true)"
# Exit status 2 is lintian failing to run, not a tag.
[[ $status -ne 2 ]] || fail "lintian did not run (status $status)"

finish
