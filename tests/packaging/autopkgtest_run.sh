#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Runs the autopkgtests of a source tree (debian/tests/control) against the
# packages installed on this system, as autopkgtest runs them on a testbed:
# each test from the tree's root with a fresh, empty AUTOPKGTEST_TMP, its
# Depends installed (checked here, never installed: "@" is every binary
# package of debian/control), and its Restrictions honoured: needs-root,
# isolation-container and breaks-testbed are met by the sandbox this runs in
# (a throw-away system, as root); without allow-stderr a test that writes to
# its standard error fails; a test with any other restriction, or a field
# this runner does not know, fails rather than pass unchecked. Prints one
# line per test, "NAME PASS" or "NAME FAIL reason", and the test's output.
# Exit status 0 when every test passed.
# Usage (inside tools/sandbox --writable-system, the packages installed):
#   autopkgtest_run.sh SOURCE_DIR
set -euo pipefail
[[ -n "${SANDBOX:-}" ]] || { echo "run me inside tools/sandbox" >&2; exit 2; }

source_dir=$(realpath "$1")
control=$source_dir/debian/tests/control
[[ -f "$control" ]] || { echo "no $control" >&2; exit 2; }

# Every binary package of the source, for "@".
mapfile -t binaries < <(sed -n 's/^Package: *//p' "$source_dir/debian/control")

# The stanzas, one per line: fields separated by \x1f as "Name=value", with
# continuation lines joined and comments dropped.
mapfile -t stanzas < <(awk '
    /^#/ { next }
    /^[ \t]*$/ { if (s != "") print s; s = ""; last = ""; next }
    /^[ \t]/ { sub(/^[ \t]+/, " "); s = s $0; next }
    { i = index($0, ":"); name = substr($0, 1, i - 1); value = substr($0, i + 1)
      sub(/^[ \t]+/, "", value); s = s (s == "" ? "" : "\037") name "=" value }
    END { if (s != "") print s }' "$control")

installed() { # PACKAGE: installed and configured
    [[ $(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null) == installed ]]
}
# Checks a Depends field: every clause needs one installed alternative
# (version restrictions are left to dpkg, which installed them).
depends_met() { # FIELD
    local clause alternative ok
    IFS=',' read -ra clauses <<<"$1"
    for clause in "${clauses[@]}"; do
        clause=$(sed -E 's/\([^)]*\)//g; s/\[[^]]*\]//g; s/<[^>]*>//g; s/^ +| +$//g' <<<"$clause")
        [[ -z "$clause" ]] && continue
        if [[ "$clause" == "@" ]]; then
            for alternative in "${binaries[@]}"; do
                installed "$alternative" || { missing="$alternative"; return 1; }
            done
            continue
        fi
        ok=""
        IFS='|' read -ra alternatives <<<"$clause"
        for alternative in "${alternatives[@]}"; do
            alternative=${alternative// /}
            installed "${alternative%%:*}" && ok=1 && break
        done
        [[ -n "$ok" ]] || { missing="$clause"; return 1; }
    done
}

failed=0
for stanza in "${stanzas[@]}"; do
    tests="" depends="@" restrictions="" unknown=""
    IFS=$'\037' read -ra fields <<<"$stanza"
    for field in "${fields[@]}"; do
        name=${field%%=*}
        value=${field#*=}
        case "${name,,}" in
        tests) tests=$value ;;
        depends) depends=$value ;;
        restrictions) restrictions=$value ;;
        *) unknown+="$name " ;;
        esac
    done
    for test in ${tests//,/ }; do
        reason=""
        missing=""
        if [[ -n "$unknown" ]]; then
            reason="fields this runner does not know: $unknown"
        elif ! depends_met "$depends"; then
            reason="dependency not installed: $missing"
        fi
        allow_stderr=""
        for restriction in ${restrictions//,/ }; do
            case "$restriction" in
            needs-root) [[ $(id -u) -eq 0 ]] || reason="needs root" ;;
            isolation-container | breaks-testbed) ;;
            allow-stderr) allow_stderr=1 ;;
            *) reason="restriction this runner does not know: $restriction" ;;
            esac
        done
        tmp=$(mktemp -d)
        if [[ -z "$reason" ]]; then
            status=0
            (cd "$source_dir" && AUTOPKGTEST_TMP=$tmp ADTTMP=$tmp "debian/tests/$test") \
                >"$tmp.out" 2>"$tmp.err" </dev/null || status=$?
            if [[ $status -ne 0 ]]; then
                reason="exit status $status"
            elif [[ -z "$allow_stderr" && -s "$tmp.err" ]]; then
                reason="standard error not empty"
            fi
            sed "s/^/$test: /" "$tmp.out"
            sed "s/^/$test (stderr): /" "$tmp.err"
        fi
        if [[ -z "$reason" ]]; then
            echo "$test PASS"
        else
            echo "$test FAIL $reason"
            failed=$((failed + 1))
        fi
        rm -rf "$tmp" "$tmp.out" "$tmp.err"
    done
done
[[ ${#stanzas[@]} -gt 0 ]] || { echo "no tests in $control" >&2; exit 1; }
exit $((failed > 0))
