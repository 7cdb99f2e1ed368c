#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# What a Debian user gets from the packages: each package's exact file list
# with modes (so no test program, no build path and nothing missing slips in;
# the module simulator stays out of the production package), the control
# fields and dependencies (versioned by the library's symbols file, never
# pinned to one build), the conffiles, the library's ldconfig trigger, shlibs
# and symbols file against what it really exports, hardened and stripped
# binaries with their debug symbols split off, and Debian's documentation.
# Usage: packaging_contents_test.sh OUT_DIR
set -euo pipefail
. "$(dirname "$0")/packaging_lib.sh"

out=$1
root=$out/root
version=$(dpkg-deb -f "$(deb_of "$out" vornmgr)" Version)
upstream_version=${version%-*}

# "mode path" of every file and link (directories left out), sorted.
listing() {
    dpkg-deb -c "$1" | awk '$1 !~ /^d/ { path = $6; if ($1 ~ /^l/) path = path " -> " $8; print $1, path }' | sort
}
expect_files() { # PACKAGE, then the expected listing on standard input
    expect_eq "$1 files" "$(sort)" "$(listing "$(deb_of "$out" "$1")")"
}
docs() { # PACKAGE: what every package has in its documentation directory
    printf -- '-rw-r--r-- ./usr/share/doc/%s/%s\n' "$1" changelog.Debian.gz "$1" copyright
}

expect_files vornmgr <<EOF2
-rw-r--r-- ./etc/default/vornmgrd
-rw-r--r-- ./$unit_dir/brel-system-services.service
-rw-r--r-- ./$unit_dir/vornmgr-metrics.service
-rw-r--r-- ./$unit_dir/vornmgr-metrics.timer
-rw-r--r-- ./$unit_dir/vornmgrd.service
-rwxr-xr-x ./usr/sbin/brel-system-services
-rwxr-xr-x ./usr/sbin/vornmgrctl
-rwxr-xr-x ./usr/sbin/vornmgrd
-rw-r--r-- ./usr/share/bash-completion/completions/vornmgrctl
$(docs vornmgr)
-rw-r--r-- ./usr/share/doc/vornmgr/examples/vornmgr.rules.yml
-rw-r--r-- ./usr/share/lintian/overrides/vornmgr
-rw-r--r-- ./usr/share/man/man8/brel-system-services.8.gz
-rw-r--r-- ./usr/share/man/man8/vornmgrctl.8.gz
-rw-r--r-- ./usr/share/man/man8/vornmgrd.8.gz
-rw-r--r-- ./usr/share/vornmgr/vornmgrd.conf
-rw-r--r-- ./usr/share/vornmgr/vornmgrd.conf.md5sum
EOF2
expect_files vornmgr-tools <<EOF2
-rwxr-xr-x ./usr/sbin/vornmgr-modsim
$(docs vornmgr-tools)
-rw-r--r-- ./usr/share/man/man8/vornmgr-modsim.8.gz
EOF2
expect_files libvornmgr0 <<EOF2
-rw-r--r-- ./usr/$libdir/libvornmgr.so.0
$(docs libvornmgr0)
EOF2
expect_files libvornmgr-dev <<EOF2
-rw-r--r-- ./usr/include/vorn_mgr_intf.h
-rw-r--r-- ./usr/include/vorn_mgr_pkg.h
lrwxrwxrwx ./usr/$libdir/libvornmgr.so -> libvornmgr.so.0
-rw-r--r-- ./usr/$libdir/pkgconfig/libvornmgr.pc
$(docs libvornmgr-dev)
-rw-r--r-- ./usr/share/doc/libvornmgr-dev/examples/example_module.c
-rw-r--r-- ./usr/share/man/man3/libvornmgr.3.gz
EOF2
# The binding's modules come and go with it: only where they lie is checked.
expect_eq "python3-vornmgr files out of place" "" "$(listing "$(deb_of "$out" python3-vornmgr)" |
    grep -vE ' \./usr/(lib/python3/dist-packages/(vornmgr/([a-z_]+\.py|py\.typed)|vornmgr-[0-9.]+\.dist-info/[A-Za-z_.]+)|share/doc/python3-vornmgr/.*|share/man/man7/vornmgr-python\.7\.gz)$' || true)"
# So does the collection: all of it in the one place Debian's Ansible looks,
# as ansible-galaxy installs it (its manifest beside it).
collection=./usr/share/ansible/collections/ansible_collections/vornmgr/switch
expect_eq "vornmgr-ansible files out of place" "" "$(listing "$(deb_of "$out" vornmgr-ansible)" |
    grep -vE " ($collection/.+|\./usr/share/doc/vornmgr-ansible/(changelog\.Debian\.gz|copyright)|\./usr/share/lintian/overrides/vornmgr-ansible)\$" || true)"
listing "$(deb_of "$out" vornmgr-ansible)" | grep -qE " $collection/MANIFEST\.json\$" ||
    fail "vornmgr-ansible holds no installed collection: $(listing "$(deb_of "$out" vornmgr-ansible)")"

# --- control fields ------------------------------------------------------------
for package in "${PACKAGES[@]}"; do
    deb=$(deb_of "$out" "$package")
    expect_eq "$package Version" "$version" "$(dpkg-deb -f "$deb" Version)"
    [[ -n "$(dpkg-deb -f "$deb" Maintainer)" ]] || fail "$package has no Maintainer"
    [[ $(dpkg-deb -f "$deb" Description | wc -l) -ge 2 ]] || fail "$package has no long description"
done
for section in vornmgr=admin vornmgr-tools=admin libvornmgr0=libs libvornmgr-dev=libdevel python3-vornmgr=python; do
    expect_eq "${section%=*} Section" "${section#*=}" "$(dpkg-deb -f "$(deb_of "$out" "${section%=*}")" Section)"
done

# Each package's Depends, one "name (version)" per line.
depends() {
    dpkg-deb -f "$(deb_of "$out" "$1")" Depends | tr ',' '\n' | sed 's/^ *//; s/ *$//' | grep -v '^$' | sort
}
has_depends() { # PACKAGE NAME...
    local package=$1 names name
    names=$(depends "$package" | sed 's/ *(.*//')
    shift
    for name in "$@"; do
        grep -qx "$name" <<<"$names" || fail "$package does not depend on $name (Depends: $(depends "$package" | paste -sd,))"
    done
}
has_depends vornmgr ucf adduser libvornmgr0 libzmq5 libsystemd0 libc6 libstdc++6
has_depends vornmgr-tools libvornmgr0 libc6
has_depends libvornmgr0 libzmq5 libc6
has_depends python3-vornmgr libvornmgr0 python3:any
grep -qE '^ansible-core( \| ansible)?$' <<<"$(depends vornmgr-ansible)" || fail "vornmgr-ansible does not depend on Ansible: $(depends vornmgr-ansible)"
# The programs take any library at least as new as the symbols they use; the
# development package goes with its own library only, and needs no other
# package's development files.
for package in vornmgr vornmgr-tools; do
    grep -qE '^libvornmgr0 \(>= [0-9]' <<<"$(depends "$package")" || fail "$package does not take a newer libvornmgr0: $(depends "$package" | grep libvornmgr0)"
done
expect_eq "libvornmgr-dev Depends" "libvornmgr0 (= $version)" "$(depends libvornmgr-dev)"
grep -q '^libsystemd0\|^vornmgr' <<<"$(depends libvornmgr0)" && fail "libvornmgr0 depends on more than it links"

# --- control members --------------------------------------------------------------
control=$out/contents-test
rm -rf "$control"
mkdir -p "$control"
for package in vornmgr libvornmgr0; do
    dpkg-deb -e "$(deb_of "$out" "$package")" "$control/$package"
done
# The configuration vornmgrctl rewrites is ucf's, not dpkg's (debian/vornmgr.postinst).
expect_eq "vornmgr conffiles" "/etc/default/vornmgrd" "$(sort "$control/vornmgr/conffiles" 2>/dev/null)"
expect_eq "libvornmgr0 shlibs" "libvornmgr 0 libvornmgr0 (>= $upstream_version)" "$(cat "$control/libvornmgr0/shlibs" 2>/dev/null)"
grep -qx 'activate-noawait ldconfig' "$control/libvornmgr0/triggers" 2>/dev/null || fail "libvornmgr0 has no ldconfig trigger"
for script in preinst postinst prerm postrm; do
    [[ ! -e "$control/libvornmgr0/$script" ]] || fail "libvornmgr0 has a $script: the trigger does its work"
done

# --- the library's interface ---------------------------------------------------------
library=$root/usr/$libdir/libvornmgr.so.0
expect_eq "library soname" "libvornmgr.so.0" \
    "$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')"
# The symbols file lists exactly what the library exports, and that is the C
# interface alone: no C++ name, no typeinfo or vtable of its inside.
exported=$(nm -D --defined-only "$library" | awk '{ print $3 }' | sort)
expect_eq "symbols file against the library's exports" "$exported" \
    "$(sed -n 's/^ \([^@ ]*\)@Base .*/\1/p' "$control/libvornmgr0/symbols" | sort)"
expect_eq "exports outside the C interface" "" "$(grep -vE '^(vornmgr_[a-z0-9_]+|[a-z_]+_to_str)$' <<<"$exported")"
grep -q '^\* Build-Depends-Package: libvornmgr-dev$' "$control/libvornmgr0/symbols" ||
    fail "the symbols file names no Build-Depends-Package"

# --- the programs and the library ------------------------------------------------------
for binary in "$root"/usr/sbin/* "$library"; do
    name=${binary#"$root"}
    dynamic=$(readelf -d "$binary")
    headers=$(readelf -lhW "$binary")
    grep -q 'RPATH\|RUNPATH' <<<"$dynamic" && fail "$name carries a run path"
    readelf -S "$binary" | grep -q '\.debug_info' && fail "$name is not stripped"
    # Hardening: relocations read-only once bound, all bound at start; the
    # programs are position-independent.
    grep -q 'GNU_RELRO' <<<"$headers" || fail "$name has no read-only relocations"
    grep -q 'BIND_NOW' <<<"$dynamic" || fail "$name does not bind at start"
    grep -q 'Type: *DYN' <<<"$headers" || fail "$name is not position-independent"
done
for package in vornmgr vornmgr-tools libvornmgr0; do
    dpkg-deb -c "$(deb_of "$out" "$package-dbgsym")" | grep '/usr/lib/debug/.build-id/.*\.debug$' >/dev/null ||
        fail "$package-dbgsym holds no debug symbols"
done

# --- configuration -------------------------------------------------------------------
# Shipped as the manager and the tool accept it; the service's environment
# file changes nothing until an administrator sets a line.
grep -qx 'boot_mode=cold' "$root/usr/share/vornmgr/vornmgrd.conf" || fail "default configuration without boot_mode=cold"
# ucf's list of the defaults ever shipped names this one too, so that a
# later version knows it unchanged.
sum=$(md5sum <"$root/usr/share/vornmgr/vornmgrd.conf" | cut -d' ' -f1)
grep -q "^$sum " "$root/usr/share/vornmgr/vornmgrd.conf.md5sum" ||
    fail "the default configuration's md5sum $sum is not in debian/vornmgrd.conf.md5sum"
expect_eq "settings of /etc/default/vornmgrd" "" "$(grep -v '^#' "$root/etc/default/vornmgrd" | grep -v '^$' || true)"
grep -q 'systemctl kexec' "$root/etc/default/vornmgrd" || fail "/etc/default/vornmgrd does not name Debian's fast reboot"

# --- Debian's documentation ---------------------------------------------------------
for package in "${PACKAGES[@]}"; do
    doc=$root/usr/share/doc/$package
    expect_eq "$package changelog's latest version" "vornmgr ($version)" \
        "$(zcat "$doc/changelog.Debian.gz" | head -n 1 | cut -d' ' -f1-2)"
    grep -qx 'License: Apache-2.0' "$doc/copyright" || fail "$package is not under the Apache License 2.0"
    grep -q '/usr/share/common-licenses/Apache-2.0' "$doc/copyright" || fail "$package's copyright does not point at the licence text"
done
zcat "$root/usr/share/doc/vornmgr/changelog.Debian.gz" >"$control/changelog"
expect_eq "changelog as dpkg parses it" "$version" \
    "$(dpkg-parsechangelog -l "$control/changelog" -S Version 2>&1)"

finish
