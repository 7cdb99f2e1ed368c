#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# The packaged manual pages: one for every program and for the library, each
# rendering without a single groff or man warning, naming only pages that
# exist, and vornmgrctl(8) naming every action its usage text lists.
# Usage (inside tools/sandbox): packaging_manpages_test.sh OUT_DIR
set -euo pipefail
. "$(dirname "$0")/packaging_lib.sh"
[[ -n "${SANDBOX:-}" ]] || { echo "run me inside tools/sandbox" >&2; exit 2; }

root=$1/root
man_dir=$root/usr/share/man
export LC_ALL=C.UTF-8 MANWIDTH=80

# Debian's rule: every program has its page, in the section of its directory.
for program in "$root"/usr/sbin/*; do
    [[ -f "$man_dir/man8/${program##*/}.8.gz" ]] || fail "no manual page for ${program#"$root"}"
done
[[ -f "$man_dir/man3/libvornmgr.3.gz" ]] || fail "no manual page libvornmgr(3)"

# The pages carry the packages' upstream version in their footer.
deb_version=$(dpkg-deb -f "$(deb_of "$1" vornmgr)" Version)
upstream_version=${deb_version%-*}

pages=("$man_dir"/man*/*.gz)
for page in "${pages[@]}"; do
    name=${page##*/}
    name=${name%.gz}
    zcat "$page" | grep -q "^\.TH .* \"vornmgr $upstream_version\"" || fail "$name is not marked vornmgr $upstream_version"
    warnings=$(man --warnings -l "$page" 2>&1 >/dev/null)
    expect_eq "warnings rendering $name" "" "$warnings"
    text=$(man -l "$page" 2>/dev/null)
    grep -q '^NAME' <<<"$text" || fail "$name renders without a NAME section"

    # References to pages of this system resolve to a packaged page.
    while read -r reference; do
        ref_name=${reference%(*}
        ref_section=${reference#*(}
        ref_section=${ref_section%)}
        [[ -f "$man_dir/man$ref_section/$ref_name.$ref_section.gz" ]] ||
            fail "$name refers to $reference, which is not packaged"
    done < <(grep -oE '\b(vornmgr[a-z-]*|brel-system-services|libvornmgr)\([0-9]\)' <<<"$text" | sort -u)
done

# Every action of vornmgrctl's usage text (-w{f}: -w and -wf; -m<0|1>: -m0
# and -m1) is explained in its page.
usage=$("$root/usr/sbin/vornmgrctl" 2>/dev/null || true)
actions=$(sed -n 's/^  -\([a-z]\)\([^ ]*\) .*/\1 \2/p' <<<"$usage" | while read -r letter modifier; do
    case "$modifier" in
    "") echo "-$letter" ;;
    "{f}") printf '%s\n' "-$letter" "-${letter}f" ;;
    "<0|1>") printf '%s\n' "-${letter}0" "-${letter}1" ;;
    esac
done)
[[ $(wc -l <<<"$actions") -ge 10 ]] || fail "usage text not understood: $usage"
page_text=$(man -l "$man_dir/man8/vornmgrctl.8.gz" 2>/dev/null)
for action in $actions; do
    grep -qE -- "(^|[^a-z0-9-])$action([^a-z0-9]|\$)" <<<"$page_text" || fail "vornmgrctl(8) does not mention $action"
done

finish
