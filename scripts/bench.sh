#!/usr/bin/env bash
# Benchmark of the tool's run: builds the tool, the key simulator and the
# bench programs, and runs the tool end to end under Wine, inside a Wine
# virtual desktop (inside Xvfb when there is no DISPLAY), in a Wine prefix of
# its own (build/bench-prefix), against the simulated key, driven by the
# end-to-end tests' driver. It times each round from posting the Yes click
# until the dialog shows the outcome (looking every 1 ms); setting up a round
# is not timed. It measures
#   - the tool with --files cache files (default 8) beside a do-nothing
#     dialog built from the tool's resources (Yes only hides and shows it
#     again, finished);
#   - the tool at each of --sizes cache files (default 10,100,1000) with each
#     of --unrelated certificates (default 0,500) in "MY" that no file
#     matches, and the cost per file above the smallest size.
# Each case takes -n rounds (default 7) and reports their median; a case
# whose first round takes over 5 s takes 3 rounds at most, and a round that
# reaches --cap ms (default 60000) is ended and its case reported as
# ">cap". Prints the machine, a table, and saves both to
# build/bench/bench-<date>.txt.
#
#   scripts/bench.sh [-n rounds] [--sizes N,N,...] [--unrelated N,N,...]
#                    [--files N] [--cap ms] [--poll ms] [--tool exe] [--stored N]
#
# The same settings from the environment: BENCH_ROUNDS, BENCH_SIZES,
# BENCH_UNRELATED, BENCH_FILES, BENCH_CAP_MS, BENCH_POLL_MS (options win).
# --poll sets how often the outcome is looked for (default 1 ms). --tool
# (BENCH_TOOL) times another build of the tool instead of this one's, for
# example an earlier commit's, to compare the two on one machine. --stored
# (BENCH_STORED) installs only the first N cache files' certificates in the
# stores, so that the stores keep their size whatever the number of files
# (by default every file's certificate is there). BUILD_DIR
# chooses the build folder (default: build/ in the source tree).
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build}

rounds=${BENCH_ROUNDS:-7}
sizes=${BENCH_SIZES:-10,100,1000}
unrelated=${BENCH_UNRELATED:-0,500}
files=${BENCH_FILES:-8}
cap=${BENCH_CAP_MS:-60000}
poll=${BENCH_POLL_MS:-1}
tool=${BENCH_TOOL:-}
stored=${BENCH_STORED:-}

usage() {
    sed -n '/^#   scripts\/bench.sh/,/^#  *\[--files/p' "$0" | sed 's/^# \{0,1\}//' >&2
    exit 2
}
bench_args=("$@")
while [ $# -gt 0 ]; do
    case "$1" in
        -n|--rounds) rounds=${2:?}; shift 2 ;;
        --sizes) sizes=${2:?}; shift 2 ;;
        --unrelated) unrelated=${2:?}; shift 2 ;;
        --files) files=${2:?}; shift 2 ;;
        --cap) cap=${2:?}; shift 2 ;;
        --poll) poll=${2:?}; shift 2 ;;
        --tool) tool=${2:?}; shift 2 ;;
        --stored) stored=${2:?}; shift 2 ;;
        -h|--help) usage ;;
        *) echo "bench.sh: unknown argument $1" >&2; usage ;;
    esac
done
number='^[0-9]+$'
list='^[0-9]+(,[0-9]+)*$'
if ! [[ $rounds =~ $number && $files =~ $number && $cap =~ $number && $poll =~ $number &&
        $sizes =~ $list && $unrelated =~ $list ]] || [ "$rounds" -lt 1 ] || [ "$poll" -lt 1 ]; then
    echo "bench.sh: -n, --files, --cap and --poll take a number, --sizes and --unrelated a list like 10,100" >&2
    exit 2
fi

. "$src/scripts/lib/vm.sh"
if ! in_vm_guest && ! in_xvfb; then
    "$src/scripts/setup.sh"
    cmake --preset windows-i686 -S "$src" -B "$build" >/dev/null
    cmake --build "$build" -j "$(nproc)" --target VKKSVInitTool Korrim noop_dialog inittool_bench \
          >/dev/null
fi
# Without 32-bit support the bench runs in the VM, and its figures
# say so: they are the emulator's, many times slower than a real VM's.
continue_in_vm "$build" --scratch "$build/bench-prefix" ${tool:+--share "$(dirname "$tool")"} -- "$0" "${bench_args[@]}"
[ -n "${DISPLAY:-}" ] || continue_in_xvfb 1280x1024x24 -- "$0" "${bench_args[@]}"

# English texts whatever the machine's locale, so that runs compare.
export LANG=en_US.UTF-8 LC_ALL=en_US.UTF-8
use_wine_prefix "$build/bench-prefix"

out="$build/bench"
mkdir -p "$out"
report="$out/bench-$(date +%Y%m%d-%H%M%S).txt"
winpath() { winepath -w "$1" 2>/dev/null; }
tool_label="build/app/VKKSVInitTool.exe of commit"
if [ -n "$tool" ]; then
    tool=$(cd "$(dirname "$tool")" && pwd)/$(basename "$tool")
    tool_label="$tool; the bench of commit"
else
    tool="$build/app/VKKSVInitTool.exe"
fi
bench=$(winpath "$build/tools/bench/inittool_bench.exe")
data=$(winpath "$src/tests/data")
args=(run --tool "$(winpath "$tool")"
      --baseline "$(winpath "$build/tools/bench/noop_dialog.exe")"
      --keysim "$(winpath "$build/simulator")" --data "$data"
      --rounds "$rounds" --files "$files" --sizes "$sizes" --unrelated "$unrelated"
      --cap "$cap" --poll "$poll")
if [ -n "$stored" ]; then
    args+=(--stored "$stored")
fi

commit=$(git -C "$src" rev-parse --short HEAD 2>/dev/null || echo unknown)
if [ -n "$(git -C "$src" status --porcelain --untracked-files=no 2>/dev/null)" ]; then
    commit="$commit with local changes"
fi
{
    echo "machine: ${VM_GUEST:+MEASURED IN THE VM (not the speed of a real PC): }$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)," \
         "$(nproc) cores, $(wine --version), load average $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "date:    $(date '+%Y-%m-%d %H:%M %Z')"
    echo "tool:    $tool_label $commit"
    echo "bench:   $rounds rounds, $files files beside the do-nothing dialog;" \
         "sizes $sizes; unrelated $unrelated; cap $cap ms; looking every $poll ms;" \
         "file certificates in the stores: ${stored:-all}"
    echo
} | tee "$report"

start=$(date +%s)
# The bench program's standard output (its table) goes to the report; its
# progress (standard error) to the terminal. The desktop's explorer does not
# pass the exit code on: the last line tells.
start_wineserver
wine explorer /desktop=bench,1024x768 "$bench" "${args[@]}" | tr -d '\r' | tee -a "$report"
wineserver -k || true

# In a new wineserver: the stores hold none of the bench's certificates.
use_wine_prefix "$build/bench-prefix"
start_wineserver
left=$(wine "$bench" leftovers --data "$data" 2>/dev/null | tr -d '\r')
wineserver -k || true
elapsed=$(($(date +%s) - start))
{
    echo
    echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg); took $((elapsed / 60)) min $((elapsed % 60)) s;" \
         "bench certificates left in the stores: $left"
} | tee -a "$report"
echo "saved in ${report#"$src"/}"
grep -q '^bench finished$' "$report" && [ "$left" = 0 ]
