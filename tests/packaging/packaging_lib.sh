# SPDX-License-Identifier: Apache-2.0
# Shared by the packaging tests: failure counting and the layout of the
# packages built by packaging_build.sh. Sourced, not run.

failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

expect_eq() { # description expected actual
    if [[ "$2" != "$3" ]]; then
        fail "$1:
--- expected
$2
--- got
$3"
    fi
}

finish() {
    if [[ $failures -ne 0 ]]; then
        echo "$failures check(s) failed" >&2
        exit 1
    fi
    echo "${0##*/}: all checks passed"
}

# The packages' names and where packaging_build.sh leaves them:
#   OUT/debs/*.deb   OUT/root/  (the packages unpacked together, without
#                    their -dbgsym companions)
readonly PACKAGES=(vornmgr vornmgr-tools libvornmgr0 libvornmgr-dev python3-vornmgr vornmgr-ansible)
deb_of() { # OUT PACKAGE
    local found=("$1"/debs/"$2"_*.deb)
    [[ -f "${found[0]}" ]] || { echo "no package $2 in $1/debs" >&2; return 1; }
    printf '%s\n' "${found[0]}"
}

# Where the package build put what differs between Debian releases and
# architectures: the library directory under /usr, and systemd's unit
# directory (relative to the root).
libdir=lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
unit_dir=$(pkg-config --variable=systemdsystemunitdir systemd 2>/dev/null || true)
unit_dir=${unit_dir:-/usr/lib/systemd/system}
unit_dir=${unit_dir#/}
