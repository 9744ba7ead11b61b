#!/usr/bin/env bash
# Builds the shipped tool for a release and checks that the build is
# reproducible: the checked-out commit (uncommitted changes are left out) is
# exported and built twice, each time from a clean copy in a clean build
# folder at another path, and the two programs must be the same bytes and
# hold no time stamp, folder, user or host name. Given a key, it then signs
# the program (Authenticode, SHA-256), so that the signature covers those
# reproducible bytes.
#
#   scripts/release.sh [--dist DIR]
#       [--pkcs11-module LIB --key URI --cert FILE [--pin-file FILE] |
#        --pkcs12 FILE --pass-file FILE]
#       [--timestamp URL]... [--no-test-pack]
#
# --pkcs11-module, --key, --cert: the key in a token, reached through the
#     PKCS#11 module LIB (through OpenSSL's pkcs11 engine) and named by an
#     RFC 7512 URI ("pkcs11:token=...;object=..."). Its PIN is in the URI
#     (pin-value=...), in --pin-file, or asked for by the token. FILE holds
#     the signer's certificate (PEM), then any intermediate certificates.
# --pkcs12, --pass-file: the key and its certificates in a PKCS#12 file.
# --timestamp: an RFC 3161 time-stamp server; several are tried in turn.
#     Without one the signature expires with the certificate.
# --dist: where the release goes (default: dist/ in the source tree).
# --no-test-pack: leaves out the test pack (and the build of the test
#     programs it takes).
#
# Writes to the dist folder: VKKSVInitTool.exe; when signed, its detached
# signature VKKSVInitTool.exe.p7s (PKCS#7 DER: attached to an unsigned build
# of the commit with osslsigncode attach-signature, it gives the signed exe);
# BUILDINFO (the commit and the versions of the packages that built it); the
# test pack VKKSVInitTool-tests-<version>-<commit>.zip (scripts/pack-tests.sh:
# the released program, the commit's test programs and RunTests.exe, signed
# like the program); and SHA256SUMS over them (check with: cd dist && sha256sum -c SHA256SUMS).
# Anyone can check a release against its source with scripts/verify-release.sh.
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/scripts/lib/progress.sh"
. "$src/scripts/lib/release.sh"

dist="$src/dist" module= key= cert= pin_file= pkcs12= pass_file= timestamps=() test_pack=1
while [ $# -gt 0 ]; do
    if [ "$1" = --no-test-pack ]; then
        test_pack=0
        shift
        continue
    fi
    [ $# -ge 2 ] || fail "$1 needs a value (see the top of $0)"
    case $1 in
        --dist) dist=$2 ;;
        --pkcs11-module) module=$2 ;;
        --key) key=$2 ;;
        --cert) cert=$2 ;;
        --pin-file) pin_file=$2 ;;
        --pkcs12) pkcs12=$2 ;;
        --pass-file) pass_file=$2 ;;
        --timestamp) timestamps+=("$2") ;;
        *) fail "unknown option $1 (see the top of $0)" ;;
    esac
    shift 2
done
dist=$(realpath -m "$dist")
# SHA256SUMS, which vouches for the others, last.
files=(VKKSVInitTool.exe VKKSVInitTool.exe.p7s BUILDINFO SHA256SUMS)
# A failed release leaves no earlier one behind that could pass for it.
for f in "${files[@]}"; do
    rm -f "$dist/$f"
done
rm -f "$dist"/VKKSVInitTool-tests-*.zip

work=$(mktemp -d "${TMPDIR:-/tmp}/vkksv-release.XXXXXX")
keep=0
cleanup() {
    [ "$keep" = 1 ] || rm -rf "$work"
}
trap cleanup EXIT

# What signing takes, checked before anything is built.
readable() {
    [ -f "$2" ] && [ -r "$2" ] || fail "$1 $2: no such readable file"
}
sign_args=()
if [ -n "$module$key$cert$pin_file" ]; then
    [ -z "$pkcs12$pass_file" ] || fail "give either a token (--pkcs11-module) or --pkcs12, not both"
    [ -n "$module" ] && [ -n "$key" ] && [ -n "$cert" ] ||
        fail "a key in a token takes --pkcs11-module, --key and --cert"
    readable --pkcs11-module "$module"
    readable --cert "$cert"
    [[ $key == pkcs11:* ]] || fail "--key $key: not a pkcs11: URI (RFC 7512)"
    openssl x509 -in "$cert" -out "$work/given.pem" 2>/dev/null ||
        fail "--cert $cert: holds no PEM certificate"
    sign_args=(-pkcs11module "$module" -certs "$cert" -key "$key")
    if [ -n "$pin_file" ]; then
        readable --pin-file "$pin_file"
        sign_args+=(-readpass "$pin_file")
    fi
elif [ -n "$pkcs12$pass_file" ]; then
    [ -n "$pkcs12" ] && [ -n "$pass_file" ] || fail "--pkcs12 takes --pass-file"
    readable --pkcs12 "$pkcs12"
    readable --pass-file "$pass_file"
    for legacy in "" -legacy; do
        openssl pkcs12 $legacy -in "$pkcs12" -passin "file:$pass_file" -nokeys -clcerts \
            2>/dev/null | openssl x509 -out "$work/given.pem" 2>/dev/null && break
    done
    [ -s "$work/given.pem" ] ||
        fail "--pkcs12 $pkcs12: cannot be read with the password in $pass_file (wrong password?)"
    sign_args=(-pkcs12 "$pkcs12" -readpass "$pass_file")
elif [ ${#timestamps[@]} -gt 0 ]; then
    fail "--timestamp goes with a key (--pkcs11-module or --pkcs12)"
fi
signer=${sign_args[0]:+$work/given.pem}
if [ -n "$signer" ]; then
    openssl x509 -in "$signer" -noout -checkend 0 >/dev/null ||
        fail "the signer's certificate expired on $(openssl x509 -in "$signer" -noout -enddate | cut -d= -f2)"
    openssl x509 -in "$signer" -noout -ext extendedKeyUsage 2>/dev/null | grep -q "Code Signing" ||
        fail "the signer's certificate ($(openssl x509 -in "$signer" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')) is not for code signing (no Code Signing extended key usage)"
    for url in "${timestamps[@]}"; do
        sign_args+=(-ts "$url")
    done
fi

"$src/scripts/setup.sh"
[ -z "$signer" ] || command -v osslsigncode >/dev/null ||
    fail "osslsigncode is not installed (scripts/setup.sh installs it)"

if ! commit=$(git -C "$src" rev-parse --verify HEAD 2>/dev/null); then
    fail "$src is not a git clone with a commit; a release is built from a commit"
fi
if [ -n "$(git -C "$src" status --porcelain)" ]; then
    phase "note: uncommitted changes in $src are not part of the release"
fi

# Two folders of different names and depths, so that the builds differ in
# every path they could pick up.
first="$work/first"
second="$work/check/one/level/deeper"
build() {
    build_commit "$src" "$commit" "$1" >/dev/null || {
        keep=1
        cat "$1/build.log" >&2
        fail "the build in $1 failed, or what it built is not reproducible (kept)"
    }
}
phase "building commit $commit in $first"
build "$first"
phase "building it again in $second"
build "$second"

a="$first/build/app/VKKSVInitTool.exe"
b="$second/build/app/VKKSVInitTool.exe"
if ! cmp -s "$a" "$b"; then
    keep=1
    {
        echo "release: FAILED: the two builds of commit $commit differ:"
        echo "  $a"
        echo "  $b"
        /usr/bin/python3 "$src/scripts/lib/authenticode.py" compare "$a" "$b" | sed 's/^/  /' || true
        echo "release: no release was written to $dist; both builds are kept"
    } >&2
    exit 1
fi

out="$work/out"
mkdir -p "$out"
if [ -z "$signer" ]; then
    cp "$a" "$out/VKKSVInitTool.exe"
else
    description=$(sed -n 's/^project(\([A-Za-z0-9]*\) VERSION \([0-9.]*\).*/\1 \2/p' \
                  "$first/source/CMakeLists.txt")
    phase "both builds are identical; signing it as \"$description\""
    if ! osslsigncode sign "${sign_args[@]}" -h sha256 -n "$description" \
            -in "$a" -out "$out/VKKSVInitTool.exe" >"$work/sign.log" 2>&1; then
        log=$(cat "$work/sign.log")
        case $log in
            *"Login failed"*) why="the token refused the PIN" ;;
            *"consistency of a private key"*) why="the key does not match the certificate in $cert" ;;
            *"private key was not found"*|*"Failed to load private key"*) why="no such key in the token: $key" ;;
            *"PKCS#12"*) why="the PKCS#12 file cannot be read with that password" ;;
            *"imestamp"*) why="no time-stamp server gave a time-stamp (${timestamps[*]}): $(grep -m1 'failure\|Failed' <<<"$log")" ;;
            *) why=$(grep -v '^\s*$' <<<"$log" | grep -m1 -iv 'engine.*set' || echo "osslsigncode failed") ;;
        esac
        fail "signing failed: $why"
    fi
    # What was written must check out as a whole: the signature over these
    # bytes, made by this certificate, with a time-stamp when one was asked
    # for, and its detached form must give the signed program back when
    # attached to the other build.
    check_signature "$out/VKKSVInitTool.exe" "$work"
    [ -z "$sig_problem" ] || fail "the signed program does not verify: $sig_problem"
    [ "$signer_sha256" = "$(cert_sha256 "$signer")" ] ||
        fail "the program was signed with another certificate than $cert"
    case $sig_timestamp in
        failed*) fail "the time-stamp does not verify: $sig_timestamp" ;;
        none) [ ${#timestamps[@]} -eq 0 ] || fail "the time-stamp server gave no time-stamp" ;;
    esac
    cp "$work/signature.p7s" "$out/VKKSVInitTool.exe.p7s"
    attach_signature "$out/VKKSVInitTool.exe.p7s" "$b" "$work/attached.exe" &&
        cmp -s "$work/attached.exe" "$out/VKKSVInitTool.exe" ||
        fail "the detached signature attached to the second build does not give the signed program"
    phase "signed by $signer_subject (certificate SHA-256 $signer_sha256)"
    if [ "$sig_timestamp" = none ]; then
        phase "note: no time-stamp: the signature expires with the certificate, on $signer_expiry"
    else
        phase "time-stamped $sig_timestamp"
    fi
fi

# The test pack of the same commit: the released program, the test programs
# built in the first folder, and RunTests.exe, built in both folders and
# found identical, then signed like the program.
if [ $test_pack = 1 ]; then
    phase "building the test pack"
    { cmake --build "$first/build" -j "$(nproc)" &&
      cmake --build "$second/build" -j "$(nproc)" --target RunTests; } >>"$first/build.log" 2>&1 || {
        keep=1
        fail "building the test programs failed (kept: $first/build.log)"
    }
    runner="$first/build/pack/RunTests.exe"
    cmp -s "$runner" "$second/build/pack/RunTests.exe" || {
        keep=1
        fail "the two builds of RunTests.exe differ (both kept in $work)"
    }
    if [ -n "$signer" ]; then
        osslsigncode sign "${sign_args[@]}" -h sha256 -n "$description test pack" \
            -in "$runner" -out "$work/RunTests.exe" >"$work/sign-runner.log" 2>&1 ||
            fail "signing RunTests.exe failed: $(grep -v '^\s*$' "$work/sign-runner.log" | head -1)"
        runner="$work/RunTests.exe"
    fi
    "$first/source/scripts/pack-tests.sh" --no-build --build "$first/build" \
        --tool "$out/VKKSVInitTool.exe" --runner "$runner" --commit "$commit" --dist "$out" >/dev/null
fi

{
    echo "commit $commit"
    toolchain_versions
} >"$out/BUILDINFO"
(cd "$out" && sha256sum * >"$work/SHA256SUMS" && mv "$work/SHA256SUMS" .)
mkdir -p "$dist"
for f in $(cd "$out" && ls VKKSVInitTool-tests-*.zip 2>/dev/null) "${files[@]}"; do
    [ ! -f "$out/$f" ] || mv "$out/$f" "$dist/$f"
done
(cd "$dist" && sha256sum -c --quiet SHA256SUMS)
phase "wrote $dist:"
sed 's/^/  /' "$dist/SHA256SUMS"
