#!/usr/bin/env bash
# The part of scripts/test.sh that runs inside Xvfb, on a machine that runs
# 32-bit programs or in the VM: starts Wine and its desktops for the
# whole run, runs release.signing's WinVerifyTrust checks where the tests
# outside the VM left them, then ctest with the given arguments, and
# names the cases that were skipped.
#
#   test-in-xvfb.sh <source> <build> [ctest arguments...]
src=$1 build=$2
shift 2
. "$src/scripts/lib/wine.sh"
. "$src/scripts/lib/time-limits.sh"
# Its progress lines are the test command's.
phase() {
    echo "test: $*"
}
phase "starting Wine and the virtual desktops"
# The desktops stay open for the whole run (the default one and the
# virtual one of the tests), each held by a program that waits on it:
# opening one anew for each test that shows a window costs seconds in the
# VM, and its explorer would hold that test's output open.
start_wine() {
    wineserver -p
    wine cmd /c exit >/dev/null 2>&1 </dev/null
    local holder="$build/tests/support/desktop_holder.exe" held waited=0 limit
    limit=$(time_limit desktop)
    "$build/in-wine.sh" "$holder" >"$WINEPREFIX.default-desktop" 2>/dev/null </dev/null &
    "$build/in-wine-desktop.sh" "$holder" >"$WINEPREFIX.tests-desktop" 2>/dev/null </dev/null &
    for held in "$WINEPREFIX.default-desktop" "$WINEPREFIX.tests-desktop"; do
        until grep -q "desktop held" "$held" 2>/dev/null; do
            [ $waited -lt "$limit" ] ||
                { echo "test: a desktop of $WINEPREFIX did not open within $limit s" >&2; return 1; }
            sleep 1
            waited=$((waited + 1))
        done
    done
}
stop_wine() {
    wineserver -k || true
    WINEPREFIX="$build/wineprefix64" WINEARCH=win64 wineserver -k || true
}
(export WINEPREFIX="$build/wineprefix64" WINEARCH=win64; start_wine) &
started64=$!
start_wine && wait $started64 || { stop_wine; exit 1; }

if [ -n "${HOST_TESTS_DONE:-}" ]; then
    if [ ! -f "$HOST_TESTS_DONE" ]; then
        phase "waiting for the tests outside the VM"
        limit=$(time_limit host_tests) waited=0
        until [ -f "$HOST_TESTS_DONE" ]; do
            [ $waited -lt "$limit" ] ||
                { echo "test: the tests outside the VM did not pass within $limit s" >&2; stop_wine; exit 1; }
            sleep 1
            waited=$((waited + 1))
        done
    fi
    phase "running the WinVerifyTrust checks of release.signing"
    (cd "$build" && bash "$src/tests/app/release_signing_test.sh" "$src" "$build" \
        "$build/tests/app/verify_trust.exe" TRUST) ||
        { echo "test: release.signing failed" >&2; stop_wine; exit 1; }
    echo "test: release.signing passed"
fi

rc=0
listing=$(ctest --test-dir "$build" -N "$@" 2>&1) || rc=$?
total=$(printf "%s\n" "$listing" | sed -n "s/^Total Tests: *\([0-9]*\).*/\1/p")
if [ $rc -ne 0 ] || [ -z "$total" ] || printf "%s\n" "$listing" | grep -q "^CMake Error"; then
    printf "%s\n" "$listing" >&2
    echo "test: ctest could not list the tests" >&2
    stop_wine
    exit 1
fi

# The tests that share the build's Wine prefixes run one at a time (their
# lock "wineprefix"); the others (the pack's, each in a prefix and an X
# server of its own, and the checks of files) run beside them.
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}
phase "running $total tests"
rc=0
ctest --test-dir "$build" --output-on-failure "$@" || rc=$?
stop_wine
# A test is a whole test program: the cases it skipped are named here.
skipped=$(grep -ho "^\[  SKIPPED \] [A-Za-z_][^ ]*" "$build/Testing/Temporary/LastTest.log" 2>/dev/null |
          cut -c14- | sort -u | sed "s/^/  /")
[ -z "$skipped" ] || printf "test: cases skipped (their reasons: %s):\n%s\n" \
    "$build/Testing/Temporary/LastTest.log" "$skipped"
exit $rc
