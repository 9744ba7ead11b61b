#!/usr/bin/env bash
# The one test command: installs what is missing, builds the tool, the key
# simulator and the tests for 32-bit Windows, builds the native fuzz target,
# and runs the whole suite under Wine (inside Xvfb, for the tests that open
# windows) in a throw-away Wine prefix inside the build folder. It prints one
# line per phase; the build's own output goes to <build>/build.log (its
# errors still show).
#
#   scripts/test.sh [ctest arguments...]
#
# BUILD_DIR chooses the build folder (default: build/ in the source tree).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build}
. "$src/scripts/wine-env.sh"

# Every Windows program of the suite runs under Wine as 32-bit x86 code. On a
# machine that cannot run that (or with VM=1), everything is built here and
# the rest of this script runs inside an emulated PC that can
# (scripts/vm-run.sh), with the Wine prefixes in its memory.
scratch=(--scratch "$build/wineprefix" --scratch "$build/wineprefix64")
if [ "${VM_GUEST:-}" != 1 ]; then
    "$src/scripts/setup.sh"

    phase "building in $build"
    mkdir -p "$build"
    log="$build/build.log"
    # (Chained with &&: on the left of || a failing step would not stop the
    # group under set -e.)
    {
        cmake --preset windows-i686 -S "$src" -B "$build" &&
        cmake --build "$build" -j "$(nproc)" &&
        # The reader-key code also builds natively, for the fuzzer and sanitizers.
        cmake -S "$src/tests/fuzz" -B "$build/fuzz" -DCMAKE_CXX_COMPILER=clang++ \
              -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
        cmake --build "$build/fuzz" -j "$(nproc)"
    } >"$log" || { echo "test: the build failed (its output: $log)" >&2; exit 1; }

    # Where the rest runs in the emulated PC, the tests that run no Windows
    # program run here, at native speed (label "native": the checks of the
    # built files, the fuzzer, and the PC's own runner, which would have to
    # boot a PC inside the PC), the releases of release.signing (its
    # WinVerifyTrust checks run in the PC) and the test pack's zip. Meanwhile
    # the PC boots and readies its Wine prefixes; it uses nothing these leave
    # (the signed tool, the pack) before the file HOST_TESTS_DONE says that
    # they passed.
    if { [ "${VM:-0}" = 1 ] || ! can_run_32bit; } && [ $# -eq 0 ]; then
        export HOST_TESTS_DONE="$build/host-tests.done"
        export TEST_PACK_DIST="$build/test-pack"
        rm -rf "$HOST_TESTS_DONE" "$TEST_PACK_DIST"
        (continue_in_pc "${scratch[@]}" -- "$0" -LE '^native$' -E '^release\.signing$' -FS signed_release) &
        in_pc=$! signing=
        trap 'kill $in_pc $signing 2>/dev/null || true' EXIT
        trap 'exit 130' INT
        trap 'exit 143' TERM
        phase "running the tests that need no Wine here, beside release.signing's releases"
        (cd "$build" && bash "$src/tests/app/release_signing_test.sh" "$src" "$build" \
            "$build/tests/app/verify_trust.exe" LATER) >"$build/release-signing.log" 2>&1 &
        signing=$!
        # The pack's tests in the PC unpack a pack made here.
        "$src/scripts/pack-tests.sh" --no-build --build "$build" --dist "$TEST_PACK_DIST" >/dev/null ||
            { echo "test: the test pack could not be made" >&2; exit 1; }
        rc=0 signed=0
        CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)} \
            ctest --test-dir "$build" --output-on-failure --timeout 300 -L '^native$' || rc=$?
        wait $signing || signed=$?
        cat "$build/release-signing.log"
        [ $signed = 0 ] || echo "test: release.signing failed" >&2
        [ $rc = 0 ] && [ $signed = 0 ] || exit 1
        echo "test: release.signing passed here; its WinVerifyTrust checks follow in the PC"
        echo passed >"$HOST_TESTS_DONE.tmp" && mv "$HOST_TESTS_DONE.tmp" "$HOST_TESTS_DONE"
        rc=0
        wait $in_pc || rc=$?
        trap - EXIT INT TERM
        exit $rc
    elif [ "${VM:-0}" = 1 ] || ! can_run_32bit; then
        set -- "$@" -E '^vm\.'
    fi
fi
continue_in_pc "${scratch[@]}" -- "$0" "$@"

# A 32-bit Windows for most tests, and a 64-bit one (WOW64) for the
# end-to-end tests that run there too, made side by side.
(use_wine_prefix "$build/wineprefix64" win64) &
use_wine_prefix "$build/wineprefix"
wait $! || { echo "test: creating the Wine prefix $build/wineprefix64 failed" >&2; exit 1; }

# One X server and one persistent wineserver for the whole run. Wine's own
# background programs (services, explorer) and the tests' virtual desktop are
# started first, detached from ctest's output: started by a test they would
# hold its pipes open. Starting them first also takes the slow first start of
# Wine on a fresh machine out of the listing of the tests.
status=0
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
    . "$1/scripts/wine-env.sh"
    src=$1 build=$2
    shift 2
    phase "starting Wine and the virtual desktops"
    # The desktops stay open for the whole run (the default one and the
    # virtual one of the tests), each held by a program that waits on it:
    # opening one anew for each test that shows a window costs seconds in the
    # emulated PC, and its explorer would hold that test'"'"'s output open.
    start_wine() {
        wineserver -p
        wine cmd /c exit >/dev/null 2>&1 </dev/null
        local holder="$build/tests/support/desktop_holder.exe" held waited=0
        "$build/wine-run.sh" "$holder" >"$WINEPREFIX.default-desktop" 2>/dev/null </dev/null &
        "$build/wine-desktop-run.sh" "$holder" >"$WINEPREFIX.tests-desktop" 2>/dev/null </dev/null &
        for held in "$WINEPREFIX.default-desktop" "$WINEPREFIX.tests-desktop"; do
            until grep -q "desktop held" "$held" 2>/dev/null; do
                [ $waited -lt 300 ] || { echo "test: a desktop of $WINEPREFIX did not open" >&2; return 1; }
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
            phase "waiting for the tests outside the PC"
            until [ -f "$HOST_TESTS_DONE" ]; do sleep 1; done
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

    # The tests that share the build'"'"'s Wine prefixes run one at a time (their
    # lock "wineprefix"); the others (the pack'"'"'s, each in a prefix and an X
    # server of its own, and the checks of files) run beside them.
    export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)}
    phase "running $total tests"
    rc=0
    ctest --test-dir "$build" --output-on-failure --timeout 300 "$@" || rc=$?
    stop_wine
    # A test is a whole test program: the cases it skipped are named here.
    skipped=$(grep -ho "^\[  SKIPPED \] [A-Za-z_][^ ]*" "$build/Testing/Temporary/LastTest.log" 2>/dev/null |
              cut -c14- | sort -u | sed "s/^/  /")
    [ -z "$skipped" ] || printf "test: cases skipped (their reasons: %s):\n%s\n" \
        "$build/Testing/Temporary/LastTest.log" "$skipped"
    exit $rc' "$0" "$src" "$build" "$@" || status=$?
exit $status
