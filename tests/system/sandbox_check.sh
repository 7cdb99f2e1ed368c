#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Checks tools/sandbox from outside: what happens inside is isolated from the
# real system, and directories under the real /tmp can be kept visible.
# Usage: sandbox_check.sh PATH/TO/tools/sandbox
# Everything it creates on the real system lives in one mktemp directory of
# its own, removed on exit.
set -euo pipefail

sandbox=$(realpath "$1")
failures=0

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

expect_eq() { # description expected actual
    if [[ "$2" != "$3" ]]; then
        fail "$1: expected [$2], got [$3]"
    fi
}

scratch=$(mktemp -d /tmp/vorn-sandbox-check.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
# Unique names, so parallel runs and leftovers cannot mask a leak.
tag=$(basename "$scratch")
echo outside >"$scratch/marker"

# --- usage ------------------------------------------------------------------
status=0
"$sandbox" >/dev/null 2>"$scratch/usage" || status=$?
expect_eq "exit status without a command" 2 "$status"
grep -q '^usage: tools/sandbox' "$scratch/usage" || fail "no usage text"

# --- exit status ------------------------------------------------------------
status=0
"$sandbox" sh -c 'exit 42' || status=$?
expect_eq "command's exit status" 42 "$status"
status=0
"$sandbox" sh -c 'kill -TERM $$' || status=$?
expect_eq "status of a command ended by SIGTERM" 143 "$status"

# --- nothing inside reaches the real system ----------------------------------
etc_norvane_existed=$([[ -e /etc/norvane ]] && echo yes || echo no)
helpers_existed=$([[ -e /usr/lib/norvane/pelmar.py ]] && echo yes || echo no)
real_reboot=$(readlink -f "$(command -v reboot || echo /nonexistent)")
real_reboot_sum=$( (md5sum "$real_reboot" 2>/dev/null || echo none) | cut -d' ' -f1)
# The sandbox keeps its own project root visible: a checkout under /tmp shows
# in the fresh /tmp as the first directory of its path, and nothing else may.
project_root=$(dirname "$(dirname "$sandbox")")
real_tmp=$(realpath /tmp)
project_in_tmp=""
if [[ "$project_root" == "$real_tmp"/* ]]; then
    project_in_tmp=${project_root#"$real_tmp"/}
    project_in_tmp=${project_in_tmp%%/*}
fi

inside=$(cd / && "$sandbox" bash -c "
    ls -A /tmp | grep -vxF -e '$project_in_tmp' | tr '\n' ' '
    test -e '$scratch/marker' && echo 'marker visible'
    mkdir -p /etc/norvane && echo x > /etc/norvane/$tag
    echo y > /usr/lib/$tag
    echo z > /run/$tag
    echo w > /var/tmp/$tag
    echo u > /var/lib/vornmgr/$tag
    echo v > /tmp/$tag-inside
    reboot --fast
    test -n \"\$SANDBOX_STUB_LOG\" && cat \"\$SANDBOX_STUB_LOG\"
")
expect_eq "fresh /tmp, stub log" "reboot --fast" "$(echo "$inside" | sed 's/ *$//')"
for leaked in "/etc/norvane/$tag" "/usr/lib/$tag" "/run/$tag" "/var/tmp/$tag" "/tmp/$tag-inside" \
    "/var/lib/vornmgr/$tag"; do
    [[ ! -e "$leaked" ]] || { fail "$leaked leaked out of the sandbox"; rm -f "$leaked"; }
done
expect_eq "/etc/norvane existence" "$etc_norvane_existed" \
    "$([[ -e /etc/norvane ]] && echo yes || echo no)"
expect_eq "/usr/lib/norvane/pelmar.py existence" "$helpers_existed" \
    "$([[ -e /usr/lib/norvane/pelmar.py ]] && echo yes || echo no)"
expect_eq "real reboot binary" "$real_reboot_sum" \
    "$( (md5sum "$real_reboot" 2>/dev/null || echo none) | cut -d' ' -f1)"
[[ ! -e /run/sandbox/stubs.log ]] || fail "/run/sandbox/stubs.log exists on the real system"

# --- kept directories ---------------------------------------------------------
mkdir -p "$scratch/kept" "$scratch/cwd" "$scratch/project/tools"
cp -r "$(dirname "$sandbox")/sandbox" "$(dirname "$sandbox")/stubs" "$scratch/project/tools/"
echo cwd-file >"$scratch/cwd/file"

# The working directory, --keep directories and the sandbox's own project
# root (a clone under /tmp, as on CI) stay visible, and writes reach them.
inside=$(cd "$scratch/cwd" && "$scratch/project/tools/sandbox" --keep "$scratch/kept" bash -c "
    pwd
    cat file
    test -x '$scratch/project/tools/sandbox' && echo 'project visible'
    echo from-inside > '$scratch/kept/written'
    test -e '$scratch/marker' || echo 'marker hidden'
")
expect_eq "kept directories inside" \
    "$scratch/cwd
cwd-file
project visible
marker hidden" "$inside"
expect_eq "write to a kept directory" from-inside "$(cat "$scratch/kept/written" 2>/dev/null)"

status=0
"$sandbox" --keep "$scratch/missing" true 2>/dev/null || status=$?
[[ $status -ne 0 ]] || fail "--keep of a missing directory was accepted"

# --- parallel sandboxes share no ports -----------------------------------------
listener="import socket,sys,time
s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(('127.0.0.1', 49002)); s.listen(); print('bound', flush=True); time.sleep(2)"
if command -v python3 >/dev/null; then
    "$sandbox" python3 -c "$listener" >"$scratch/first" &
    first=$!
    second=$("$sandbox" python3 -c "$listener" 2>&1 || true)
    wait "$first" || true
    expect_eq "first sandbox binds 49002" bound "$(cat "$scratch/first")"
    expect_eq "second sandbox binds 49002 at the same time" bound "$second"
fi

if [[ $failures -ne 0 ]]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "sandbox checks passed"
