#!/bin/bash
# What a Debian user gets from the packages: each package's exact file list
# with modes (so no test program, no build path and nothing missing slips in),
# its control fields and dependencies, the conffile and maintainer scripts of
# the programs, the library's shlibs and exported calls, stripped binaries
# with their debug symbols split off, and the same changelog everywhere.
# Usage: packaging_contents_test.sh OUT_DIR UNIT_DIR LIBDIR
#   OUT_DIR   where packaging_build.sh left the packages
#   UNIT_DIR  systemd's unit directory (absolute), LIBDIR the library directory
#             under /usr: they differ between Debian releases and architectures
set -euo pipefail
. "$(dirname "$0")/packaging_lib.sh"

out=$1
unit_dir=${2#/}
libdir=$3
version=$(dpkg-deb -f "$(deb_of "$out" vornmgr)" Version)

# "mode path" of every file and link (directories left out), sorted.
listing() {
    dpkg-deb -c "$1" | awk '$1 !~ /^d/ { path = $6; if ($1 ~ /^l/) path = path " -> " $8; print $1, path }' | sort
}

expect_eq "vornmgr files" "$(sort <<EOF2
-rw-r--r-- ./etc/norvane/vornmgrd.conf
-rw-r--r-- ./$unit_dir/brel-system-services.service
-rw-r--r-- ./$unit_dir/vornmgrd.service
-rwxr-xr-x ./usr/sbin/brel-system-services
-rwxr-xr-x ./usr/sbin/vornmgr-modsim
-rwxr-xr-x ./usr/sbin/vornmgrctl
-rwxr-xr-x ./usr/sbin/vornmgrd
-rw-r--r-- ./usr/share/bash-completion/completions/vornmgrctl
-rw-r--r-- ./usr/share/doc/vornmgr/changelog.Debian.gz
-rw-r--r-- ./usr/share/doc/vornmgr/copyright
-rw-r--r-- ./usr/share/man/man8/brel-system-services.8.gz
-rw-r--r-- ./usr/share/man/man8/vornmgr-modsim.8.gz
-rw-r--r-- ./usr/share/man/man8/vornmgrctl.8.gz
-rw-r--r-- ./usr/share/man/man8/vornmgrd.8.gz
EOF2
)" "$(listing "$(deb_of "$out" vornmgr)")"

expect_eq "libvornmgr0 files" "$(sort <<EOF2
-rw-r--r-- ./usr/$libdir/libvornmgr.so.0
-rw-r--r-- ./usr/share/doc/libvornmgr0/changelog.Debian.gz
-rw-r--r-- ./usr/share/doc/libvornmgr0/copyright
EOF2
)" "$(listing "$(deb_of "$out" libvornmgr0)")"

expect_eq "libvornmgr-dev files" "$(sort <<EOF2
-rw-r--r-- ./usr/include/vorn_mgr_intf.h
lrwxrwxrwx ./usr/$libdir/libvornmgr.so -> libvornmgr.so.0
-rw-r--r-- ./usr/$libdir/pkgconfig/libvornmgr.pc
-rw-r--r-- ./usr/share/doc/libvornmgr-dev/changelog.Debian.gz
-rw-r--r-- ./usr/share/doc/libvornmgr-dev/copyright
-rw-r--r-- ./usr/share/doc/libvornmgr-dev/examples/example_module.c
-rw-r--r-- ./usr/share/man/man3/libvornmgr.3.gz
EOF2
)" "$(listing "$(deb_of "$out" libvornmgr-dev)")"

# --- control fields ------------------------------------------------------------
for package in "${PACKAGES[@]}"; do
    deb=$(deb_of "$out" "$package")
    expect_eq "$package Package" "$package" "$(dpkg-deb -f "$deb" Package)"
    expect_eq "$package Version" "$version" "$(dpkg-deb -f "$deb" Version)"
    [[ -n "$(dpkg-deb -f "$deb" Maintainer)" ]] || fail "$package has no Maintainer"
    description=$(dpkg-deb -f "$deb" Description)
    [[ "$description" != *"built using CMake"* ]] || fail "$package has CPack's placeholder description"
    [[ $(wc -l <<<"$description") -ge 2 ]] || fail "$package has no long description"
done
expect_eq "vornmgr Section" admin "$(dpkg-deb -f "$(deb_of "$out" vornmgr)" Section)"
expect_eq "libvornmgr0 Section" libs "$(dpkg-deb -f "$(deb_of "$out" libvornmgr0)" Section)"
expect_eq "libvornmgr-dev Section" libdevel "$(dpkg-deb -f "$(deb_of "$out" libvornmgr-dev)" Section)"

# Each package's Depends, one name per line without versions, and the exact
# versioned dependencies between our own packages.
depends_names() {
    dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/(.*)//; s/ //g' | grep -v '^$' | sort
}
has_depends() { # PACKAGE NAME...
    local deb names name
    deb=$(deb_of "$out" "$1")
    names=$(depends_names "$deb")
    shift
    for name in "$@"; do
        grep -qx "$name" <<<"$names" || fail "$(basename "$deb") does not depend on $name (Depends: $(dpkg-deb -f "$deb" Depends))"
    done
}
has_depends vornmgr libvornmgr0 libzmq5 libsystemd0 libc6 libstdc++6
has_depends libvornmgr0 libzmq5 libc6
has_depends libvornmgr-dev libvornmgr0 libzmq3-dev
for package in vornmgr libvornmgr-dev; do
    dpkg-deb -f "$(deb_of "$out" "$package")" Depends | grep -qF "libvornmgr0 (= $version)" ||
        fail "$package does not depend on exactly libvornmgr0 $version"
done
# The library needs nothing of systemd; the programs' package is not a
# dependency of the library.
depends_names "$(deb_of "$out" libvornmgr0)" | grep -qx 'libsystemd0\|vornmgr' &&
    fail "libvornmgr0 depends on more than it links"

# --- control members --------------------------------------------------------------
control=$out/contents-test
rm -rf "$control"
mkdir -p "$control"
for package in "${PACKAGES[@]}"; do
    dpkg-deb -e "$(deb_of "$out" "$package")" "$control/$package"
done
expect_eq "vornmgr conffiles" "/etc/norvane/vornmgrd.conf" "$(cat "$control/vornmgr/conffiles" 2>/dev/null)"
for script in postinst prerm postrm; do
    [[ -x "$control/vornmgr/$script" ]] || fail "vornmgr has no executable $script"
    sh -n "$control/vornmgr/$script" || fail "vornmgr $script is not valid sh"
done
expect_eq "libvornmgr0 shlibs" "libvornmgr 0 libvornmgr0 (= $version)" "$(cat "$control/libvornmgr0/shlibs" 2>/dev/null)"
grep -q ldconfig "$control/libvornmgr0/postinst" 2>/dev/null || fail "libvornmgr0 does not run ldconfig"

# --- what the files are ----------------------------------------------------------
root=$out/root
library=$root/usr/$libdir/libvornmgr.so.0
expect_eq "library soname" "libvornmgr.so.0" \
    "$(readelf -d "$library" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')"
# Every call of the shared header is exported; nothing of the library's C++
# inside is.
expect_eq "library's exported functions" "$(printf '%s\n' issu_action_to_str issu_status_to_str mod_id_to_str \
        mod_state_to_str mode_to_str vornmgr_register_cb vornmgr_send vornmgr_unregister)" \
    "$(nm -D --defined-only "$library" | awk '$2 == "T" { print $3 }' | sort)"
for binary in "$root"/usr/sbin/* "$library"; do
    if readelf -d "$binary" | grep -q 'RPATH\|RUNPATH'; then
        fail "${binary#"$root"} carries a run path: $(readelf -d "$binary" | grep 'RPATH\|RUNPATH')"
    fi
    if readelf -S "$binary" | grep -q '\.debug_info'; then
        fail "${binary#"$root"} is not stripped"
    fi
done
for package in vornmgr libvornmgr0; do
    dbgsym=("$out"/debs/"$package"-dbgsym_*.ddeb)
    if [[ ! -f "${dbgsym[0]}" ]]; then
        fail "no $package-dbgsym package"
    elif ! grep -q '/usr/lib/debug/.build-id/.*\.debug$' <<<"$(dpkg-deb -c "${dbgsym[0]}")"; then
        fail "$package-dbgsym holds no debug symbols"
    fi
done

# The configuration shipped is one the manager and the tool accept as it is.
grep -qx 'boot_mode=cold' "$root/etc/norvane/vornmgrd.conf" || fail "default configuration without boot_mode=cold"

# --- Debian's documentation ---------------------------------------------------------
for package in "${PACKAGES[@]}"; do
    changelog=$root/usr/share/doc/$package/changelog.Debian.gz
    expect_eq "$package changelog's latest version" "vornmgr ($version)" \
        "$(zcat "$changelog" | head -n 1 | cut -d' ' -f1-2)"
    grep -q '^License:' "$root/usr/share/doc/$package/copyright" || fail "$package copyright names no licence"
done
# dpkg reads the changelog: its entry lines, maintainer and date are well formed.
zcat "$root/usr/share/doc/vornmgr/changelog.Debian.gz" >"$control/changelog"
expect_eq "changelog as dpkg parses it" "$version" \
    "$(dpkg-parsechangelog -l "$control/changelog" -S Version 2>&1)"

finish
