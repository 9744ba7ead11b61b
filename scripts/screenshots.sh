#!/usr/bin/env bash
# Renders the tool's dialogs into docs/screenshots/, inside a Wine virtual
# desktop (so the caption and frame are drawn) in an X server of its own:
# for each of the tool's languages (cmake/Languages.cmake) the warning, the
# outcome after a successful initialisation and the outcome when no key is
# connected, and once the About box (Chinese (PRC) in every language).
#
#   scripts/screenshots.sh [output folder]
#
# The tool runs against the key simulator in a Wine prefix of its own inside
# the build folder; nothing outside build/ and the output folder is touched.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build}
out=$(mkdir -p "${1:-$src/docs/screenshots}" && cd "${1:-$src/docs/screenshots}" && pwd)

. "$src/scripts/lib/vm.sh"
. "$src/scripts/lib/languages.sh"
if ! in_vm_guest && ! in_xvfb; then
    "$src/scripts/setup.sh"
    cmake --preset windows-i686 -S "$src" -B "$build" >/dev/null
    cmake --build "$build" -j "$(nproc)" --target VKKSVInitTool keysim_all inittool_driver >/dev/null
fi
continue_in_vm "$build" --share "$out" --scratch "$build/screenshots-prefix" -- "$0" "$out"
continue_in_xvfb 1024x768x24 -- "$0" "$out"
use_wine_prefix "$build/screenshots-prefix"
use_display_fonts

tool=$(winepath -w "$build/app/VKKSVInitTool.exe")
driver=$(winepath -w "$build/tests/app/inittool_driver.exe")
keysim="$build/simulator/keysim.exe"
reader="\\\\?\\hid#vid_1234&pid_5678#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}"
size=480x220
signals=$(mktemp -d)
trap 'rm -rf "$signals"' EXIT
start_wineserver

# Takes the picture <name>.png whenever the driver signals <name>.ready, then
# lets the driver go on; stops when the driver has ended.
shooter() {
    while [ ! -f "$signals/done" ]; do
        for ready in "$signals"/*.ready; do
            [ -f "$ready" ] || continue
            local name
            name=$(basename "$ready" .ready)
            sleep 0.5  # let the dialog finish painting
            import -window root -crop "$size+0+0" +repage "$out/$name.png"
            rm -f "$ready"
            touch "$signals/$name.taken"
        done
        sleep 0.1
    done
}

# shot <name>: the driver steps that hold the dialog still for the picture.
shot() {
    echo "signal:$(winepath -w "$signals/$1.ready")" "wait:$(winepath -w "$signals/$1.taken")"
}

# drive <locale> <desktop> <steps...>: runs the tool through the driver on a
# virtual desktop, in the given language.
drive() {
    local locale=$1 desktop=$2
    shift 2
    rm -f "$signals/done"
    shooter &
    local shooter_pid=$!
    LANG=$locale.UTF-8 LC_ALL=$locale.UTF-8 timeout "$(time_limit desktop_run)" \
        wine explorer "/desktop=$desktop,$size" "$driver" "$tool" "$@" 2>/dev/null |
        tr -d '\r' | sed 's/^/  /'
    touch "$signals/done"
    wait "$shooter_pid"
}

for locale in $(tool_locales); do
    echo "$locale:"
    winrun "$keysim" reset >/dev/null
    winrun "$keysim" register >/dev/null
    winrun "$keysim" plug 0x11 "$reader" >/dev/null
    drive "$locale" "shot-$locale" $(shot "confirm-$locale") yes finished state \
        $(shot "success-$locale") ok exit
    winrun "$keysim" unplug 0x11 >/dev/null
    drive "$locale" "shot-$locale" yes finished state $(shot "failure-$locale") ok exit
done
echo "About box:"
drive en_US shot-about open-about $(shot about) close-about no exit
wineserver -k || true
ls -1 "$out"
