#!/usr/bin/env bash
# Checks a downloaded VKKSVInitTool.exe against its source: builds the commit
# the way a release does, takes the signature off a copy of the download and
# compares that copy with the build byte for byte. For a signed download it
# also checks that the signature is intact over that code, and tells who
# signed it and when.
#
#   scripts/verify-release.sh EXE [--commit C] [--signer SHA256]
#
# The commit is C, else the one in the BUILDINFO beside EXE, else this
# checkout's HEAD. --signer pins the signer: the SHA-256 of its certificate
# (as printed here; colons and case do not matter).
#
# Exit 0: the same code (and, when signed, an intact signature over it);
# 1: the code differs, the signature does not verify, or another signer;
# 2: it could not check (not a PE file, no such commit, the build failed).
# Whether this machine trusts the signer's root is told, not required: Wine
# does not require it either, and --signer is what pins the signer.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/scripts/lib/progress.sh"
. "$src/scripts/lib/release.sh"

exe= commit= pinned=
while [ $# -gt 0 ]; do
    case $1 in
        --commit|--signer)
            [ $# -ge 2 ] || fail "$1 needs a value" 2
            [ "$1" = --commit ] && commit=$2 || pinned=$2
            shift 2 ;;
        -*) fail "unknown option $1 (see the top of $0)" 2 ;;
        *) [ -z "$exe" ] || fail "one program at a time" 2; exe=$1; shift ;;
    esac
done
[ -n "$exe" ] || fail "usage: $0 EXE [--commit C] [--signer SHA256]" 2
[ -f "$exe" ] || fail "$exe: no such file" 2
# authenticode.py signed: 0 signed, 1 unsigned, 2 not a PE file.
rc=0
/usr/bin/python3 "$src/scripts/lib/authenticode.py" signed "$exe" || rc=$?
[ $rc -lt 2 ] || fail "$exe: not a PE file" 2
signed=$([ $rc = 0 ] && echo yes || echo no)

buildinfo="$(dirname "$exe")/BUILDINFO"
if [ -z "$commit" ] && [ -f "$buildinfo" ]; then
    commit=$(sed -n 's/^commit //p' "$buildinfo")
fi
commit=${commit:-HEAD}
resolved=$(git -C "$src" rev-parse --verify --quiet "$commit^{commit}") ||
    fail "no commit $commit in $src (fetch it, or give --commit)" 2
commit=$resolved

"$src/scripts/setup.sh"
if [ -f "$buildinfo" ] && [ "$(sed -n 's/^commit //p' "$buildinfo")" = "$commit" ]; then
    toolchain_versions | while read -r package version; do
        wanted=$(sed -n "s/^$package //p" "$buildinfo")
        [ -z "$wanted" ] || [ "$wanted" = "$version" ] ||
            phase "warning: $package is $version here, the release was built with $wanted: the bytes may differ for that reason alone"
    done
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/vkksv-verify.XXXXXX")
trap 'rm -rf "$work"' EXIT
phase "building commit $commit in $work"
built=$(build_commit "$src" "$commit" "$work/build") || {
    cat "$work/build/build.log" >&2
    fail "the build of commit $commit failed" 2
}

cp "$exe" "$work/download.exe"
code="$work/download.exe" what=$exe
if [ $signed = yes ]; then
    code="$work/unsigned.exe" what="$exe without its signature"
    osslsigncode remove-signature -in "$work/download.exe" -out "$code" >/dev/null 2>&1 ||
        fail "the signature cannot be taken off $exe" 2
fi
if ! /usr/bin/python3 "$src/scripts/lib/authenticode.py" compare "$code" "$built" >"$work/compare.txt"; then
    echo "verify-release: DIFFERENT: $what is not what commit $commit builds:"
    sed 's/^/  /' "$work/compare.txt"
    exit 1
fi
[ $signed = yes ] || {
    phase "the code is identical to commit $commit built here; it is unsigned"
    exit 0
}
phase "the code is identical to commit $commit built here"

check_signature "$exe" "$work"
# Its signature put onto the build gives the download byte for byte: it
# holds nothing beside its code and signature. So does the detached
# signature published beside it, if any.
signatures=("$work/signature.p7s")
[ ! -f "$exe.p7s" ] || signatures+=("$exe.p7s")
for sig in "${signatures[@]}"; do
    [ -z "$sig_problem" ] || break
    attach_signature "$sig" "$built" "$work/attached.exe" && cmp -s "$work/attached.exe" "$exe" ||
        sig_problem="the signature ${sig##*/}, put onto the build, does not give $exe byte for byte"
done
echo "  signer:      $signer_subject"
echo "  certificate: SHA-256 $signer_sha256 (expires $signer_expiry)"
echo "  time-stamp:  $sig_timestamp"
echo "  root trusted by this machine: $sig_trusted"
[ -z "$sig_problem" ] || { echo "verify-release: BAD SIGNATURE: $sig_problem"; exit 1; }
if [ -n "$pinned" ]; then
    pinned=$(tr -d ': ' <<<"$pinned" | tr 'A-F' 'a-f')
    [ "$pinned" = "$signer_sha256" ] ||
        { echo "verify-release: OTHER SIGNER: the signer's certificate is not $pinned"; exit 1; }
fi
phase "the signature is intact over that code${pinned:+, made by the certificate pinned}${signatures[1]:+; ${signatures[1]} put onto the build gives it too}"
