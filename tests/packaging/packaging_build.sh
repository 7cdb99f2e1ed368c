#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Builds the Debian source and binary packages as a distribution would, with
# dpkg-buildpackage (debhelper, debian/), from a copy of the source tree in
# OUT_DIR and an upstream tarball made of it, so that
# nothing of the build lands in the tree or beside it; then unpacks them all
# into one throwaway root, as an installation would lay them out. The other
# packaging tests read both. Never installs anything on this machine.
# Usage: packaging_build.sh SOURCE_DIR OUT_DIR
#   OUT_DIR/debs   the .deb, .buildinfo and .changes files, and the source
#                  package (.dsc, .orig.tar.gz, .debian.tar.xz)
#   OUT_DIR/root   the packages unpacked together
set -euo pipefail

source=$(realpath "$1")
out=$(realpath -m "$2")
rm -rf "$out"
mkdir -p "$out/src/vornmgr" "$out/debs" "$out/root"

# The tracked files and the new ones not ignored, as they are in the working
# tree: what a clean clone would hold once the work is committed.
git -C "$source" ls-files -z --cached --others --exclude-standard |
    tar -C "$source" --null --files-from=- --ignore-failed-read -cf - 2>/dev/null |
    tar -C "$out/src/vornmgr" -xf -
# The upstream tarball: the same tree without debian/, so that the source
# package's patches are empty.
upstream_version=$(cd "$out/src/vornmgr" && dpkg-parsechangelog -SVersion | sed 's/-[^-]*$//')
tar -C "$out/src" --exclude=vornmgr/debian -czf "$out/src/vornmgr_$upstream_version.orig.tar.gz" vornmgr

# The tree is built once, without its tests, on two jobs, and at the lowest
# priority: the tests that run beside it wait on timers and must get the CPU
# when they wake. The build's own output only on failure: it is long and says
# nothing when all went well.
if ! (cd "$out/src/vornmgr" &&
    DEB_BUILD_OPTIONS="parallel=2 ${DEB_BUILD_OPTIONS:-}" nice -n 19 dpkg-buildpackage -us -uc) >"$out/build.log" 2>&1; then
    tail -n 60 "$out/build.log" >&2
    echo "FAIL: dpkg-buildpackage could not build the packages (log: $out/build.log)" >&2
    exit 1
fi
mv "$out"/src/*.deb "$out"/src/*.buildinfo "$out"/src/*.changes "$out"/src/*.dsc "$out"/src/*.tar.* "$out/debs/"
# The copy and its build tree are of no further use, and a program looking
# for a library in the build tree must not find theirs.
rm -rf "$out/src"
for deb in "$out"/debs/*.deb; do
    [[ $deb == *-dbgsym_* ]] || dpkg-deb -x "$deb" "$out/root"
done
ls "$out/debs"
