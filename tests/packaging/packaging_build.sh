#!/bin/bash
# Builds the Debian packages of a build tree with CPack and unpacks them
# together into one tree, as an installation would lay them out; the other
# packaging tests use both. Run inside the sandbox: should an install rule
# ever name an absolute path outside the staging tree, it lands in the
# sandbox's overlay, not on this machine.
# Usage: packaging_build.sh BUILD_DIR OUT_DIR
set -euo pipefail

build=$(realpath "$1")
out=$(realpath -m "$2")
rm -rf "$out"
mkdir -p "$out/debs" "$out/root"

# CPack's own output only on failure: it is long and says nothing when all went well.
if ! (cd "$build" && cpack -G DEB -B "$out/cpack" >"$out/cpack.log" 2>&1); then
    cat "$out/cpack.log" >&2
    echo "FAIL: cpack could not build the packages" >&2
    exit 1
fi
mv "$out"/cpack/*.deb "$out"/cpack/*.ddeb "$out/debs/"
for deb in "$out"/debs/*.deb; do
    dpkg-deb -x "$deb" "$out/root"
done
ls "$out/debs"
