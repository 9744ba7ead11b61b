#!/usr/bin/env bash
# A command that fails inside the VM fails vm-run.sh with the
# command's own exit status and output; one that hangs is stopped at the time
# limit.
set -u
src=$1
out=$(mktemp)
trap 'rm -f "$out"' EXIT
fail() { echo "FAIL: $*"; cat "$out"; exit 1; }

rc=0
"$src/scripts/vm-run.sh" --timeout 300 -- sh -c 'echo "inside $(uname -m)"; exit 7' >"$out" 2>&1 || rc=$?
[ $rc -eq 7 ] || fail "a command that exits 7 in the VM gave $rc"
grep -qx "inside x86_64" "$out" || fail "the command's output did not come back"

rc=0
"$src/scripts/vm-run.sh" --timeout 20 -- sleep 600 >"$out" 2>&1 || rc=$?
[ $rc -eq 124 ] || fail "a command that hangs gave $rc, not the time limit's 124"
grep -q "did not finish within 20 s" "$out" || fail "no line said the VM was stopped"
