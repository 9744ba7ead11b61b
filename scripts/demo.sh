#!/usr/bin/env bash
# Runs the tool against a simulated key, in a demo Wine prefix of its own:
# registers the simulated CSP, plugs a key and enrols two certificates on it
# as the maker's software would (on the key, as cache files, and in the
# current user's "MY" and "addressbook" stores), leaves another key's cache
# file and an unrelated file beside them, runs the tool, and shows what
# changed. With DISPLAY set the tool opens on your display and you press the
# buttons; without it, it runs under Xvfb, Yes is pressed for you and both
# states are saved as screenshots in build/demo/. Exits 0 only when the key
# is blank, exactly its files and certificates are gone, the rest is kept and
# the broadcast was seen.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$src/build}
out="$build/demo"
. "$src/scripts/lib/vm.sh"

if ! in_vm_guest && ! in_xvfb; then
    "$src/scripts/setup.sh"
    phase "building in $build"
    cmake --preset windows-i686 -S "$src" -B "$build" >/dev/null
    cmake --build "$build" -j "$(nproc)" --target VKKSVInitTool keysim_all keystate_listener \
          inittool_driver demo_helper >/dev/null
    if [ -n "${DISPLAY:-}" ] && { [ "${VM:-0}" = 1 ] || ! can_run_32bit; }; then
        phase "the demo on your display needs a machine that runs 32-bit programs: running it headless"
    fi
fi
# Without 32-bit support, the rest runs in the VM (headless); its
# pictures come back to build/demo/.
continue_in_vm "$build" --scratch "$build/demo-prefix" -- "$0" "$@"
# Headless (and in CI), the whole demo runs inside a display of its own.
if [ -z "${DISPLAY:-}" ] || [ -n "${CI:-}" ]; then
    continue_in_xvfb 1024x768x24 -- "$0" "$@"
fi

rm -rf "$out"
mkdir -p "$out"
use_wine_prefix "$build/demo-prefix"
use_display_fonts
start_wineserver

tool="$build/app/VKKSVInitTool.exe"
keysim="$build/simulator/keysim.exe"
helper="$build/tools/demo/demo_helper.exe"
data="$src/tests/data"
reader='\\?\hid#vid_1234&pid_5678#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}'
prefix=$(winrun "$helper" prefix "$reader")
other_prefix=$(winrun "$helper" prefix "Reader B")

# The simulated CSP and key, with two certificates enrolled.
phase "setting up a simulated key with two certificates"
winrun "$keysim" unregister >/dev/null || true
winrun "$keysim" reset >/dev/null
winrun "$keysim" register >/dev/null
winrun "$keysim" plug 0x11 "$reader" >/dev/null
winrun "$keysim" enrol 0x11 "Signing certificate (RSA 2048)" >/dev/null
winrun "$keysim" enrol 0x11 "Signing certificate (EC P-256)" >/dev/null

root=$(winrun "$helper" cacheroot)
cache=$(winepath -u "$root\\Varkeld KSV CSP" 2>/dev/null)
rm -rf "$cache"
mkdir -p "$cache"
cp "$data/rsa.der" "$cache/${prefix}RSA.cer"
cp "$data/ec.der" "$cache/${prefix}EC.cer"
cp "$data/twice_a.der" "$cache/${other_prefix}RSA.cer"
echo "not a certificate" > "$cache/${prefix}notes.txt"
for store_cert in "MY rsa.der" "addressbook ec.der" "MY twice_a.der"; do
    set -- $store_cert
    winrun "$helper" remove "$1" "$(winepath -w "$data/$2" 2>/dev/null)" || true
    winrun "$helper" install "$1" "$(winepath -w "$data/$2" 2>/dev/null)"
done

count() {
    winrun "$helper" count "$1" "$(winepath -w "$data/$2" 2>/dev/null)"
}

show_state() {
    echo "--- $1 ---"
    winrun "$keysim" show | sed 's/^/  /'
    echo "  cache folder $root\\Varkeld KSV CSP:"
    ls -1 "$cache" | sed 's/^/    /'
    echo "  store MY: key's RSA certificate $(count MY rsa.der)x, other key's certificate $(count MY twice_a.der)x"
    echo "  store addressbook: key's EC certificate $(count addressbook ec.der)x"
}

show_state "before"

# A listener for the key-state broadcast, as other programs would listen.
log="$out/broadcast.log"
stop="$out/listener.stop"
run_tool() {
    # On the tool's desktop: a broadcast reaches the windows of its own desktop.
    local desktop=()
    [ "$1" = "interactive" ] || desktop=(explorer /desktop=demo,640x360)
    wine "${desktop[@]}" "$(winepath -w "$build/tests/app/keystate_listener.exe")" \
        --stop-file "$(winepath -w "$stop")" \
        "$(winepath -w "$log")" "$(winepath -w "$cache/${prefix}RSA.cer")" >/dev/null 2>&1 &
    local listener=$!
    sleep 1
    if [ "$1" = "interactive" ]; then
        echo "The tool is open on your display: press Yes to initialise the key, then OK."
        wine "$tool" >/dev/null 2>&1
    else
        local shots="$out"
        local signal wait
        signal=$(winepath -w "$shots/confirm.ready")
        wait=$(winepath -w "$shots/confirm.taken")
        local signal2 wait2
        signal2=$(winepath -w "$shots/finished.ready")
        wait2=$(winepath -w "$shots/finished.taken")
        (
            for state in confirm finished; do
                for _ in $(seq 600); do [ -f "$shots/$state.ready" ] && break; sleep 0.1; done
                sleep 0.3
                import -window root -crop 640x360+0+0 +repage "$shots/$state.png"
                touch "$shots/$state.taken"
            done
        ) &
        local shooter=$!
        timeout "$(time_limit desktop_run)" \
            wine explorer /desktop=demo,640x360 "$(winepath -w "$build/tests/app/inittool_driver.exe")" \
                "$(winepath -w "$tool")" state "signal:$signal" "wait:$wait" yes finished state \
                "signal:$signal2" "wait:$wait2" ok exit 2>/dev/null | tr -d '\r'
        wait "$shooter" || true
        rm -f "$shots"/*.ready "$shots"/*.taken
    fi
    sleep 1
    touch "$stop"
    wait "$listener" || true
}
if in_xvfb; then
    phase "running the tool in Xvfb, pressing Yes and OK for you"
    run_tool automatic
else
    run_tool interactive
fi
wineserver -k || true

# Back in a new wineserver: what the stores, the disk and the key hold now.
use_wine_prefix "$build/demo-prefix"
start_wineserver
show_state "after"
echo "  broadcasts received:"
sed 's/^/    /' "$log" 2>/dev/null || true

failures=0
check() {
    if eval "$2"; then echo "ok:   $1"; else echo "FAIL: $1"; failures=$((failures + 1)); fi
}
check "the key is blank" "winrun '$keysim' show | grep -q 'blank (initialised)'"
check "the key's cache files are gone" "[ ! -e '$cache/${prefix}RSA.cer' ] && [ ! -e '$cache/${prefix}EC.cer' ]"
check "the other key's file is kept" "[ -e '$cache/${other_prefix}RSA.cer' ]"
check "the unrelated file is kept" "[ -e '$cache/${prefix}notes.txt' ]"
check "the key's RSA certificate is gone from MY" "[ \"\$(count MY rsa.der)\" = 0 ]"
check "the key's EC certificate is gone from addressbook" "[ \"\$(count addressbook ec.der)\" = 0 ]"
check "the other key's certificate is kept in MY" "[ \"\$(count MY twice_a.der)\" = 1 ]"
check "the broadcast was seen once, with 0 and 0" \
      "[ \"\$(grep -c 'wparam=0x00000000 lparam=0x00000000' '$log' 2>/dev/null)\" = 1 ]"
wineserver -k || true
[ -f "$out/confirm.png" ] && echo "screenshots: $out/confirm.png, $out/finished.png"
exit $((failures > 0))
