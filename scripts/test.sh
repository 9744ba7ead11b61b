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
. "$src/scripts/lib/vm.sh"

# Every Windows program of the suite runs under Wine as 32-bit x86 code. On a
# machine that cannot run that (or with VM=1), everything is built here and
# the rest of this script runs inside a VM that can
# (scripts/vm-run.sh), with the Wine prefixes in its memory.
scratch=(--scratch "$build/wineprefix" --scratch "$build/wineprefix64")
if ! in_vm_guest; then
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

    # Where the rest runs in the VM, the tests that run no Windows
    # program run here, at native speed (label "native": the checks of the
    # built files, the fuzzer, and the VM's own runner, which would have to
    # boot a VM inside the VM), the releases of release.signing (its
    # WinVerifyTrust checks run in the VM) and the test pack's zip. Meanwhile
    # the VM boots and readies its Wine prefixes; it uses nothing these leave
    # (the signed tool, the pack) before the file HOST_TESTS_DONE says that
    # they passed.
    if { [ "${VM:-0}" = 1 ] || ! can_run_32bit; } && [ $# -eq 0 ]; then
        export HOST_TESTS_DONE="$build/host-tests.done"
        export TEST_PACK_DIST="$build/test-pack"
        rm -rf "$HOST_TESTS_DONE" "$TEST_PACK_DIST"
        (continue_in_vm "$build" "${scratch[@]}" -- "$0" -LE '^native$' -E '^release\.signing$' -FS signed_release) &
        vm_pid=$! signing=
        trap 'kill $vm_pid $signing 2>/dev/null || true' EXIT
        trap 'exit 130' INT
        trap 'exit 143' TERM
        phase "running the tests that need no Wine here, beside release.signing's releases"
        (cd "$build" && bash "$src/tests/app/release_signing_test.sh" "$src" "$build" \
            "$build/tests/app/verify_trust.exe" LATER) >"$build/release-signing.log" 2>&1 &
        signing=$!
        # The pack's tests in the VM unpack a pack made here.
        "$src/scripts/pack-tests.sh" --no-build --build "$build" --dist "$TEST_PACK_DIST" >/dev/null ||
            { echo "test: the test pack could not be made" >&2; exit 1; }
        rc=0 signed=0
        CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-$(nproc)} \
            ctest --test-dir "$build" --output-on-failure -L '^native$' || rc=$?
        wait $signing || signed=$?
        cat "$build/release-signing.log"
        [ $signed = 0 ] || echo "test: release.signing failed" >&2
        [ $rc = 0 ] && [ $signed = 0 ] || exit 1
        echo "test: release.signing passed here; its WinVerifyTrust checks follow in the VM"
        echo passed >"$HOST_TESTS_DONE.tmp" && mv "$HOST_TESTS_DONE.tmp" "$HOST_TESTS_DONE"
        rc=0
        wait $vm_pid || rc=$?
        trap - EXIT INT TERM
        exit $rc
    elif [ "${VM:-0}" = 1 ] || ! can_run_32bit; then
        set -- "$@" -E '^vm\.'
    fi
fi
continue_in_vm "$build" "${scratch[@]}" -- "$0" "$@"

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
xvfb-run -a -s "-screen 0 1280x1024x24" "$src/scripts/lib/test-in-xvfb.sh" "$src" "$build" "$@"
