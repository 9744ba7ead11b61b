#!/usr/bin/env bash
# The one test command: installs what is missing, builds the tool, the key
# simulator and the tests for 32-bit Windows, builds the native fuzz target,
# and runs the whole suite under Wine (inside Xvfb, for the tests that open
# windows) in a throw-away Wine prefix inside the build folder.
#
#   scripts/test.sh [ctest arguments...]
#
# BUILD_DIR chooses the build folder (default: build/ in the source tree).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build}

"$src/scripts/setup.sh"

cmake --preset windows-i686 -S "$src" -B "$build" >/dev/null
cmake --build "$build" -j "$(nproc)"

# The reader-key code also builds natively, for the fuzzer and sanitizers.
cmake -S "$src/tests/fuzz" -B "$build/fuzz" -DCMAKE_CXX_COMPILER=clang++ \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build/fuzz" -j "$(nproc)"

. "$src/scripts/wine-env.sh"
use_wine_prefix "$build/wineprefix"

# One X server and one persistent wineserver for the whole run. Wine's own
# background programs (services, explorer) are started first, detached from
# ctest's output: started by a test they would hold its pipes open.
status=0
xvfb-run -a -s "-screen 0 1280x1024x24" bash -c '
    wineserver -p
    wine cmd /c exit >/dev/null 2>&1 </dev/null
    ctest --test-dir "$0" --output-on-failure --timeout 300 "${@}"
    rc=$?
    wineserver -k || true
    exit $rc' "$build" "$@" || status=$?
exit $status
