#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# The configuration vornmgrctl rewrites, through installations, upgrades and
# a purge of the package vornmgr, done with dpkg in the sandbox (tools/sandbox
# --writable-system: dpkg's database, ucf's and debconf's state and /etc are
# the sandbox's own). The versions around the built one are the built
# package repacked:
#   1.0.0-2        as that version shipped the configuration: a dpkg conffile
#                  (its maintainer scripts left out: they touched only the
#                  units and the group; its default is the built one, as
#                  debian/vornmgrd.conf.md5sum says)
#   built          the default in /usr/share/vornmgr, installed by ucf
#   built+1        the same with a changed default
# With DEBIAN_FRONTEND=noninteractive and no terminal, no step may ask:
#   - the boot mode the operator chose (vornmgrctl -wf) survives the upgrade
#     from the conffile, which has nothing to ask (the default did not
#     change), and an upgrade to a changed default, which is left beside it
#     as vornmgrd.conf.ucf-dist (the answer an operator would be asked for);
#   - a file nobody changed follows the new default;
#   - a purge removes the file, ucf's copies and records, and /etc/norvane.
# Usage (inside tools/sandbox --writable-system): packaging_upgrade_test.sh OUT_DIR
set -euo pipefail
. "$(dirname "$0")/packaging_lib.sh"
[[ -n "${SANDBOX:-}" ]] || { echo "run me inside tools/sandbox --writable-system" >&2; exit 2; }

out=$(realpath "$1")
scratch=$(mktemp -d)
config=/etc/norvane/vornmgrd.conf
default=/usr/share/vornmgr/vornmgrd.conf
built=$(deb_of "$out" vornmgr)
version=$(dpkg-deb -f "$built" Version)
newer=${version%-*}-$((${version##*-} + 1))
export DEBIAN_FRONTEND=noninteractive
# The manual pages' index is of no use here and the slowest trigger.
echo 'man-db man-db/auto-update boolean false' | debconf-set-selections

# repack VERSION EDIT: the built vornmgr with another version, changed by the
# function EDIT (given the unpacked tree); prints the new package's path.
repack() {
    local tree=$scratch/vornmgr-$1
    dpkg-deb -R "$built" "$tree"
    sed -i "s/^Version: .*/Version: $1/" "$tree/DEBIAN/control"
    "$2" "$tree"
    (cd "$tree" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0 md5sum >DEBIAN/md5sums)
    dpkg-deb --root-owner-group -b "$tree" "$scratch/vornmgr_$1.deb" >/dev/null
    echo "$scratch/vornmgr_$1.deb"
}
as_conffile() {
    mkdir -p "$1/etc/norvane"
    mv "$1$default" "$1$config"
    echo "$config" >>"$1/DEBIAN/conffiles"
    rm -f "$1"/DEBIAN/{preinst,postinst,prerm,postrm}
}
changed_default() {
    echo '# A later default.' >>"$1$default"
}
old=$(repack 1.0.0-2 as_conffile)
later=$(repack "$newer" changed_default)
tree=$scratch/vornmgr-$newer

# dpkg_do WHAT ARGS...: dpkg with no terminal to ask on, and a bound in case
# something asks anyway; its output goes to the log.
dpkg_do() {
    local what=$1 status=0
    shift
    echo "--- dpkg $*" >>"$scratch/dpkg.log"
    timeout 300 dpkg "$@" </dev/null >>"$scratch/dpkg.log" 2>&1 || status=$?
    [[ $status -eq 0 ]] || fail "$what: dpkg $* ended with status $status"
}
registered_to() { # the package ucfr registered the configuration to
    sed -n "s|^\([^[:space:]]*\)[[:space:]]*$config\$|\1|p" /var/lib/ucf/registry 2>/dev/null
}

dpkg_do "installing libvornmgr0" -i "$(deb_of "$out" libvornmgr0)"

# --- the operator's boot mode, from the conffile through two upgrades -----------------------
dpkg_do "installing 1.0.0-2" -i "$old"
status=0
vornmgrctl -wf >"$scratch/ctl.out" 2>&1 || status=$?
# No manager runs: the tool fails after writing the boot mode.
[[ $status -ne 0 ]] || fail "vornmgrctl -wf succeeded without a manager"
grep -qx 'boot_mode=warm' "$config" || fail "vornmgrctl -wf did not write the boot mode: $(cat "$config"; cat "$scratch/ctl.out")"
cp "$config" "$scratch/operator.conf"

dpkg_do "upgrading from the conffile" -i "$built"
expect_eq "configuration after the upgrade from the conffile" "$(cat "$scratch/operator.conf")" "$(cat "$config" 2>&1)"
expect_eq "package the configuration is registered to" vornmgr "$(registered_to)"
# ucf leaves the new default beside the file when it keeps it for want of an
# answer: here there was no question.
[[ ! -e "$config.ucf-dist" ]] || fail "the upgrade from the conffile wanted to ask about the configuration"

dpkg_do "upgrading to a changed default" -i "$later"
expect_eq "configuration after an upgrade to a changed default" "$(cat "$scratch/operator.conf")" "$(cat "$config" 2>&1)"
expect_eq "the new default beside it" "$(cat "$tree$default")" "$(cat "$config.ucf-dist" 2>&1)"

dpkg_do "purging" --purge vornmgr
[[ ! -e /etc/norvane ]] || fail "purge left /etc/norvane: $(ls -A /etc/norvane)"
expect_eq "ucf's registration after the purge" "" "$(registered_to)"
grep -q " $config\$" /var/lib/ucf/hashfile 2>/dev/null && fail "purge left ucf's checksum of the configuration"

# --- a configuration nobody changed -------------------------------------------------------------
dpkg_do "installing on a fresh system" -i "$built"
expect_eq "configuration made by the first installation" "$(cat "$out/root$default")" "$(cat "$config" 2>&1)"
dpkg_do "upgrading an unchanged configuration" -i "$later"
expect_eq "unchanged configuration after an upgrade" "$(cat "$tree$default")" "$(cat "$config" 2>&1)"
[[ ! -e "$config.ucf-dist" ]] || fail "an unchanged configuration got a .ucf-dist beside it"
dpkg_do "purging" --purge vornmgr

if [[ $failures -ne 0 ]]; then
    echo "--- dpkg's output" >&2
    cat "$scratch/dpkg.log" >&2
fi
rm -rf "$scratch"
finish
