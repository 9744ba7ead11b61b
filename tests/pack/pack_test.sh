#!/usr/bin/env bash
# The test pack as a Windows user runs it: the zip unpacked into C:\ of a
# fresh Wine prefix of its own and RunTests.exe started from cmd.exe, with
# nothing of the build's setup (the environment holds only what Wine needs).
#
#   pack_test.sh <source> <build> run [RunTests arguments...]
#       unpacked under a folder name with "é", beside links that are not
#       the pack's (one in place of a test folder, one at C:\TEMP): every
#       case passes or is skipped with a reason, and the prefix's registry
#       (with the certificate stores), files and links outside the pack's
#       folder are as before; a second start during the run refuses, says
#       where the run is and changes nothing; files and a certificate that
#       another program adds to test folders (one in a cache root) and to
#       "MY" during the run stay, listed in the report, and so does the
#       link. A run cut off (in the link cases too, the Public folder
#       pointed at one of their roots): with the maker's CSP registered since, the next
#       start refuses and leaves it; with a file its tests made held open by
#       another program, the next start stops and keeps the journal; once
#       the file is free, README.txt's example puts the cut-off run back
#       first and passes, keeping the stopped run's report
#   pack_test.sh <source> <build> refuse
#       with a foreign CSP registered, and then with a foreign Korrim.dll in
#       the system folder, it refuses in one line and changes nothing; so it
#       does for a program it does not know. Every exe in the zip carries a
#       manifest. With RUNTESTS_OUT, a run writes its report and results
#       there, and nothing of them beside itself.
set -euo pipefail
src=$1 build=$2 mode=$3
shift 3
work="$build/packtest-$mode"
prefix="$work/prefix"
# In the VM the build folder is shared with the machine outside; a Wine
# prefix belongs in the VM's own memory.
[ "${VM_GUEST:-}" != 1 ] || prefix="/tmp/packtest-$mode-prefix"
rm -rf "$work" "$prefix"
mkdir -p "$work"
# TEST_PACK_DIST: the folder of a pack made already from this build (in the
# VM, scripts/test.sh makes it outside, where zipping is fast).
if [ -n "${TEST_PACK_DIST:-}" ]; then
    zip=$(ls "$TEST_PACK_DIST"/*.zip)
else
    "$src/scripts/pack-tests.sh" --no-build --build "$build" --dist "$work/dist" >/dev/null
    zip=$(ls "$work"/dist/*.zip)
fi
name=$(basename "$zip" .zip)

# What Wine needs: the prefix, the X display, a home, the path, and a UTF-8
# locale (Wine stores non-ASCII file names on Linux in the locale's charset).
on_wine() {
    env -i PATH="$PATH" HOME="$HOME" DISPLAY="${DISPLAY:-}" XAUTHORITY="${XAUTHORITY:-}" \
        LANG=C.UTF-8 WINEPREFIX="$prefix" WINEDEBUG=-all "$@"
}
# An X server of its own: the pack runs beside the other tests, and its
# windows must not meet theirs.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" >/dev/null 2>&1 &
xvfb=$!
trap 'cp "$prefix/drive_c/$name/report.txt" "$work/" 2>/dev/null || true; on_wine wineserver -k 2>/dev/null || true
      kill $xvfb 2>/dev/null || true' EXIT
for ((i = 0; i < 600; i++)); do
    [ ! -s "$work/display" ] || break
    kill -0 $xvfb 2>/dev/null || break
    sleep 0.2
done
[ -s "$work/display" ] || { echo "pack_test: FAILED: its X server did not start"; exit 1; }
DISPLAY=:$(head -n 1 "$work/display") XAUTHORITY=
# (In the VM a copy of a new prefix from its cache: making one there takes
# minutes.)
on_wine env VM_PREFIX_CACHE="${VM_PREFIX_CACHE:-}" \
    bash -c '. "$1/scripts/lib/wine.sh" && use_wine_prefix "$WINEPREFIX" win32' _ "$src" >/dev/null
# Wine's own first starts of cmd and of a virtual desktop write their keys
# before the snapshot, not during the run.
on_wine wine cmd.exe /c exit >/dev/null 2>&1
on_wine wine explorer /desktop=RunTests,1024x768 cmd.exe /c exit >/dev/null 2>&1 || true
unzip -q "$zip" -d "$prefix/drive_c"
for exe in $(unzip -Z1 "$zip" | grep -i '\.exe$'); do
    wrestool -l --type=24 "$prefix/drive_c/$exe" 2>/dev/null | grep -q . ||
        { echo "pack_test: FAILED: $exe carries no manifest"; exit 1; }
done
# Any folder name the ANSI code page holds (Wine's here: 1252).
if [ "$mode" = run ]; then
    mv "$prefix/drive_c/$name" "$prefix/drive_c/$name-é"
    name="$name-é"
fi

# The registry's keys that hold values, without Wine's time stamps and the
# hardware keys Wine writes anew at each start (its display and network
# devices), and every file outside the pack with its size and time of change
# (once the wineserver has written the registry out: a checksum of each of
# Windows' own files would take most of the test in the VM). Opening a
# certificate store makes its empty keys: those hold nothing.
export volatile='^\[(System\\\\CurrentControlSet\\\\(Enum|Control\\\\Class)\\\\|Software\\\\Microsoft\\\\Windows NT\\\\CurrentVersion\\\\NetworkCards)'
snapshot() {
    on_wine wineserver -w
    local f
    for f in system.reg user.reg userdef.reg; do
        echo "== $f"
        sed -e '/^#time=/d' -e 's/^\(\[.*\]\) [0-9]*$/\1/' "$prefix/$f" |
            awk '
                /^\[/ { key = $0; shown = 0; skip = key ~ ENVIRON["volatile"]; next }
                /^$/ || skip { next }
                { if (!shown) print key; shown = 1; print }'
    done
    echo "== files"
    (cd "$prefix/drive_c" && find . -path "./$name" -prune -o -type f -printf '%p %s %T@\n' | LC_ALL=C sort)
    (cd "$prefix/drive_c" && find . -path "./$name" -prune -o -type d -print | LC_ALL=C sort)
    (cd "$prefix/drive_c" && find . -path "./$name" -prune -o -type l -printf '%p -> %l\n' | LC_ALL=C sort)
}
same_as_before() {
    snapshot >"$work/after.txt"
    if ! diff "$work/before.txt" "$work/after.txt" >"$work/left-behind.txt"; then
        echo "pack_test: FAILED: the prefix differs after the run ($1):"
        head -40 "$work/left-behind.txt"
        exit 1
    fi
}
run_pack() {
    (cd "$prefix/drive_c" && on_wine wine cmd.exe /c "C:\\$name\\RunTests.exe" "$@" 2>&1) | tr -d '\r'
}

if [ "$mode" = refuse ]; then
    key='HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\Varkeld KSV CSP'
    on_wine wine reg add "$key" /v "Image Path" /d 'C:\Program Files\Maker\VarkeldKsvCsp.dll' /f >/dev/null 2>&1
    snapshot >"$work/before.txt"
    out=$(run_pack) && { echo "pack_test: FAILED: it ran: $out"; exit 1; }
    echo "$out"
    [ "$(printf '%s\n' "$out" | wc -l)" = 1 ] && [[ $out == *"refused, nothing was changed"*Image\ Path* ]] ||
        { echo "pack_test: FAILED: no one-line refusal naming the CSP"; exit 1; }
    same_as_before "foreign CSP"
    on_wine wine reg delete "$key" /f >/dev/null 2>&1
    cp "$prefix/drive_c/$name/tests/planted.dll" "$prefix/drive_c/windows/system32/Korrim.dll"
    snapshot >"$work/before.txt"
    out=$(run_pack) && { echo "pack_test: FAILED: it ran: $out"; exit 1; }
    echo "$out"
    [ "$(printf '%s\n' "$out" | wc -l)" = 1 ] && [[ $out == *"refused, nothing was changed"*Korrim.dll* ]] ||
        { echo "pack_test: FAILED: no one-line refusal naming Korrim.dll"; exit 1; }
    same_as_before "foreign Korrim.dll"
    [ ! -e "$prefix/drive_c/$name/report.txt" ] && [ ! -e "$prefix/drive_c/$name/RunTests.journal" ] ||
        { echo "pack_test: FAILED: it wrote into its folder"; exit 1; }
    snapshot >"$work/before.txt"
    out=$(run_pack nosuchprogram) && { echo "pack_test: FAILED: it ran: $out"; exit 1; }
    echo "$out"
    [[ $out == "RunTests: no program \"nosuchprogram\""* ]] ||
        { echo "pack_test: FAILED: no one line naming the unknown program"; exit 1; }
    same_as_before "unknown program"
    echo "pack_test: refused three times and changed nothing"
    # With RUNTESTS_OUT (as in Windows Sandbox, where the pack's folder is
    # mapped read-only), the report, results and journal go there.
    rm "$prefix/drive_c/windows/system32/Korrim.dll"
    mkdir -p "$prefix/drive_c/pack-out"
    out=$(cd "$prefix/drive_c" && on_wine env RUNTESTS_OUT='C:\pack-out' wine cmd.exe /c "C:\\$name\\RunTests.exe" \
        resources.layout 2>&1 | tr -d '\r') || true
    echo "$out"
    [ "$(tail -1 "$prefix/drive_c/pack-out/report.txt" | tr -d '\r')" = "1 passed, 0 failed, 0 skipped" ] &&
        [ -f "$prefix/drive_c/pack-out/results/resources.layout.log" ] &&
        [ ! -e "$prefix/drive_c/$name/report.txt" ] && [ ! -e "$prefix/drive_c/$name/results" ] &&
        [ -z "$(ls "$prefix/drive_c/pack-out" | grep -v -x -e report.txt -e results)" ] ||
        { echo "pack_test: FAILED: with RUNTESTS_OUT the report and results do not go there alone"; exit 1; }
    exit 0
fi

# Links that are not the pack's, as on a lab PC: the user's TEMP (the cache
# root of 2000 and XP) holds a link in place of the CSP's cache folder, and
# C:\TEMP (the fallback root) is a link to another folder. Both stay, with
# what they lead to, and the one in a journaled place is listed.
user=$(cd "$prefix/drive_c/users" && ls | grep -vx Public | head -1)
usertemp="$prefix/drive_c/users/$user/AppData/Local/Temp"
mkdir -p "$usertemp" "$prefix/drive_c/lab-cache" "$prefix/drive_c/lab-temp"
echo "another program's cache" >"$prefix/drive_c/lab-cache/other.txt"
echo "another program's temp" >"$prefix/drive_c/lab-temp/other.txt"
ln -s ../../../../../lab-cache "$usertemp/Varkeld KSV CSP"
templink=no
[ -e "$prefix/drive_c/TEMP" ] || { ln -s lab-temp "$prefix/drive_c/TEMP" && templink=yes; }
[ -d "$prefix/drive_c/users/Public/Documents/TEMP" ] && publictemp=kept || publictemp=made
snapshot >"$work/before.txt"
status=0
run_pack "$@" >"$work/out.txt" &
runner=$!
# During the run: a second start, and another program's file in a folder
# the tests use (one in a cache root, one on the system drive) and its
# certificate in "MY".
pack="$prefix/drive_c/$name"
for ((i = 0; i < 1500; i++)); do
    grep -q '^certcache ' "$pack/report.txt" 2>/dev/null && break
    kill -0 $runner 2>/dev/null || break
    sleep 0.2
done
journal=$(md5sum <"$pack/RunTests.journal")
second=$(run_pack certcache) && { echo "pack_test: FAILED: a second run started: $second"; exit 1; }
echo "$second"
[[ $second == *"refused, nothing was changed: a run is in progress"*"$name, user "* ]] ||
    { echo "pack_test: FAILED: the second start does not say where a run is in progress"; exit 1; }
[ "$(md5sum <"$pack/RunTests.journal")" = "$journal" ] ||
    { echo "pack_test: FAILED: the second start changed the journal"; exit 1; }
# The journal and its saved copies as a run cut off now would leave them.
mkdir -p "$work/cut-off" && cp -a "$pack/RunTests.journal" "$pack/RunTests.saved" "$work/cut-off/"
cachefolder="$prefix/drive_c/users/Public/Documents/TEMP/Varkeld KSV CSP"
mkdir -p "$cachefolder"
echo "another program's" >"$cachefolder/other-program.txt"
others="$prefix/drive_c/Program Files/Maker"
mkdir -p "$others"
echo "another program's" >"$others/notes.txt"
openssl req -x509 -newkey rsa:2048 -nodes -keyout /dev/null -subj "/CN=Another program" -days 2 \
    -outform DER -out "$work/other.der" 2>/dev/null
thumb=$(sha1sum "$work/other.der" | cut -c1-40 | tr a-f A-F)
# A registry-kept store's entry: the certificate as property 32 (its encoding).
size=$(stat -c %s "$work/other.der")
blob=2000000001000000$(printf '%02x%02x%02x%02x' $((size & 255)) $((size >> 8 & 255)) $((size >> 16 & 255)) \
    $((size >> 24)))$(od -An -tx1 -v "$work/other.der" | tr -d ' \n')
certkey="HKCU\\Software\\Microsoft\\SystemCertificates\\My\\Certificates\\$thumb"
on_wine wine reg add "$certkey" /v Blob /t REG_BINARY /d "$blob" /f >/dev/null 2>&1
wait $runner || status=$?
out=$(cat "$work/out.txt")

echo "$out"
last=$(printf '%s\n' "$out" | tail -1)
[ $status = 0 ] || { echo "pack_test: FAILED: RunTests.exe exited $status"; exit 1; }
[[ $last =~ ^[1-9][0-9]*\ passed,\ 0\ failed,\ [0-9]+\ skipped$ ]] ||
    { echo "pack_test: FAILED: the report does not end with 'N passed, 0 failed, K skipped'"; exit 1; }
if printf '%s\n' "$out" | grep -E '^  SKIP [^:]*$'; then
    echo "pack_test: FAILED: a case is skipped without a reason"
    exit 1
fi
[ "$(tail -1 "$prefix/drive_c/$name/report.txt" | tr -d '\r')" = "$last" ] ||
    { echo "pack_test: FAILED: report.txt does not end as the console does"; exit 1; }
[ ! -e "$prefix/drive_c/$name/RunTests.journal" ] ||
    { echo "pack_test: FAILED: the journal is left"; exit 1; }
looks() {
    printf '%s\n' "$out" | grep -qF "LOOK: $1" || { echo "pack_test: FAILED: not listed: LOOK: $1"; exit 1; }
}
[ -f "$others/notes.txt" ] && [ -f "$cachefolder/other-program.txt" ] ||
    { echo "pack_test: FAILED: another program's file in a folder of the tests is gone"; exit 1; }
looks 'C:\Program Files\Maker\notes.txt: not the tests'\'', left in place'
looks 'C:\users\Public\Documents\TEMP\Varkeld KSV CSP\other-program.txt: not the tests'\'', left in place'
looks "link C:\\users\\$user\\AppData\\Local\\TEMP\\Varkeld KSV CSP: not made by the tests, left in place"
[ $templink = no ] || looks 'link C:\TEMP: not made by the tests, left in place'
on_wine wine reg query "$certkey" >/dev/null 2>&1 && looks 'certificate "Another program" in "MY"' ||
    { echo "pack_test: FAILED: another program's certificate is gone"; exit 1; }
rm -rf "$others" "$cachefolder"
[ $publictemp = kept ] || rmdir "$prefix/drive_c/users/Public/Documents/TEMP"
on_wine wine reg delete "$certkey" /f >/dev/null 2>&1
same_as_before "run"

# A run cut off (as by a power cut) after its tests made a file in a folder
# of theirs: the journal saved during the run above put back, and the file.
# Then, before the next start, the maker's CSP is registered elsewhere: the
# start refuses, in one line, and changes nothing (the key stays).
mkdir -p "$others" && cp "$pack/simulator/Korrim.dll" "$others/Korrim.dll"
# Cut off in the link cases too: their own roots with a cache file and both
# links, as the tests make them, and the Public folder pointed at one of
# them (under Wine the tests change ProfileList's value).
links="$prefix/drive_c/certcache-test-links"
mkdir -p "$links/real-root/Varkeld KSV CSP" "$links/folder-case/Documents/TEMP" "$links/root-case/Documents"
cp "$pack/data/rsa.der" "$links/real-root/Varkeld KSV CSP/41_A.cer"
ln -s "../../../real-root/Varkeld KSV CSP" "$links/folder-case/Documents/TEMP/Varkeld KSV CSP"
ln -s ../../real-root "$links/root-case/Documents/TEMP"
profiles='HKLM\SOFTWARE\Microsoft\Windows NT\CurrentVersion\ProfileList'
on_wine wine reg add "$profiles" /v Public /t REG_EXPAND_SZ /d 'C:\certcache-test-links\folder-case' /f \
    >/dev/null 2>&1
cp -a "$work/cut-off/." "$pack/"
cspkey='HKLM\SOFTWARE\Microsoft\Cryptography\Defaults\Provider\Varkeld KSV CSP'
on_wine wine reg add "$cspkey" /v "Image Path" /d 'C:\maker\VarkeldKsvCsp.dll' /f >/dev/null 2>&1
snapshot >"$work/before-maker.txt"
status=0
out=$(run_pack) || status=$?
echo "$out"
[ $status = 2 ] && [ "$(printf '%s\n' "$out" | wc -l)" = 1 ] &&
    [[ $out == *'refused, nothing was changed'*'Image Path" C:\maker\VarkeldKsvCsp.dll'* ]] &&
    [ -f "$pack/RunTests.journal" ] ||
    { echo "pack_test: FAILED: with the maker's CSP registered after a cut-off run, it did not refuse in one line"; exit 1; }
snapshot >"$work/after-maker.txt"
diff "$work/before-maker.txt" "$work/after-maker.txt" ||
    { echo "pack_test: FAILED: the refusal changed something"; exit 1; }
on_wine wine reg delete "$cspkey" /f >/dev/null 2>&1

# With the file held open by another program, the next start (README.txt's
# example, as a lab would type it) cannot put it back: it stops, says what
# is left, and keeps the journal; the rest it puts back (the links, the
# link cases' roots and the Public folder). Once the file is free, it puts the
# cut-off run back first, runs the example's cases and passes, keeping the
# stopped run's report.
read -r -a example <<<"$(sed -n 's/^  *RunTests\.exe \(..*\)$/\1/p' "$pack/README.txt" | tr -d '\r')"
[ ${#example[@]} -gt 0 ] || { echo "pack_test: FAILED: README.txt has no example line 'RunTests.exe ...'"; exit 1; }
rm -f "$work/release"
on_wine wine "$build/tests/pack/hold_file.exe" 'C:\Program Files\Maker\Korrim.dll' "Z:$work/release" \
    </dev/null >"$work/held.txt" 2>&1 &
holder=$!
for ((i = 0; i < 600; i++)); do
    grep -q held "$work/held.txt" && break
    kill -0 $holder 2>/dev/null || break
    sleep 0.2
done
grep -q held "$work/held.txt" || { echo "pack_test: FAILED: hold_file.exe holds nothing"; exit 1; }
echo "pack_test: RunTests.exe ${example[*]}, after a cut-off run, with its file held open"
status=0
out=$(run_pack "${example[@]}") || status=$?
touch "$work/release"
wait $holder || true
echo "$out"
[ $status = 2 ] && [[ $out == *"An earlier run was cut off"* ]] &&
    [[ $out == *'NOT PUT BACK: file C:\Program Files\Maker\Korrim.dll'*'the journal is kept'* ]] &&
    [[ $out == *'  link C:\certcache-test-links\folder-case\Documents\TEMP\Varkeld KSV CSP: made by the tests, removed'* ]] &&
    [[ $out == *'  link C:\certcache-test-links\root-case\Documents\TEMP: made by the tests, removed'* ]] &&
    [[ $out == *"  registry value $profiles\\Public: changed, put back"* ]] &&
    [ ! -e "$links" ] &&
    ! printf '%s\n' "$out" | grep -q '^  file .*Korrim.dll' &&
    [ -f "$pack/RunTests.journal" ] ||
    { echo "pack_test: FAILED: it did not stop, keeping the journal, on what it could not put back (and only that, the link cases put back)"; exit 1; }
stopped=$(md5sum <"$pack/report.txt")
echo "pack_test: RunTests.exe ${example[*]}, the file free"
status=0
out=$(run_pack "${example[@]}") || status=$?
echo "$out"
[ $status = 0 ] && [[ $out == *"An earlier run was cut off"*'Korrim.dll: made by the tests, deleted'* ]] &&
    [[ $(printf '%s\n' "$out" | tail -1) =~ ^[1-9][0-9]*\ passed,\ 0\ failed ]] ||
    { echo "pack_test: FAILED: README.txt's example did not put back the cut-off run first and pass"; exit 1; }
[ ! -e "$pack/RunTests.journal" ] || { echo "pack_test: FAILED: the journal is left"; exit 1; }
kept=no
for f in "$pack"/report-*.txt; do [ "$(md5sum <"$f")" = "$stopped" ] && kept=yes; done
[ $kept = yes ] || { echo "pack_test: FAILED: the stopped run's report is not kept"; exit 1; }
same_as_before "a cut-off run put back"
echo "pack_test: the pack ran on its own, put back a cut-off run, and left the prefix as it was"
