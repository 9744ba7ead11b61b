#!/usr/bin/env bash
# A signed release end to end, with real parts: a throw-away CA made here, the
# signer's key in a SoftHSM2 token reached through OpenSSL's pkcs11 engine, a
# PKCS#12 file, an RFC 3161 time-stamp server (openssl ts) on 127.0.0.1, and
# Wine's WinVerifyTrust. Leaves the token-signed release in <build>/signing/
# token for the end-to-end run of the signed tool.
#
#   release_signing_test.sh <source> <build> <verify_trust.exe> [LATER|TRUST]
#
# LATER leaves the WinVerifyTrust checks out, and TRUST then runs only them,
# on what the first run left (scripts/test.sh does so where the rest of the
# suite runs in the VM: there they need no boot of their own).
set -euo pipefail
src=$1 build=$2 verify_trust=$3 mode=${4:-ALL}
work="$build/signing"
failures=0
check() {
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; else echo "FAILED: $what"; failures=$((failures + 1)); fi
}

# How Windows sees the releases (Wine checks the digest, not whether the root
# is trusted), all three in one go: where this machine cannot run 32-bit
# programs, in the VM (the signing itself stays here). One line per
# file.
trust_all() {
    "$src/scripts/vm-run.sh" --scratch "$build/wineprefix" -- bash -c '
        . "$1/scripts/lib/wine.sh" && use_wine_prefix "$2/wineprefix" >/dev/null
        verify=$3
        shift 3
        for f; do
            echo "$(wine "$verify" "$(winepath -w "$(realpath "$f")" 2>/dev/null)" 2>/dev/null | tr -d "\r")"
        done' _ "$src" "$build" "$verify_trust" "$@"
}
trust() {
    [ "$(printf '%s\n' "$statuses" | sed -n "$1p")" = "$2" ]
}
trust_checks() {
    statuses=$(trust_all token/VKKSVInitTool.exe changed/VKKSVInitTool.exe "$build/app/VKKSVInitTool.exe") || true
    check "WinVerifyTrust: signed" trust 1 0x00000000
    check "WinVerifyTrust: one byte changed" trust 2 0x80096010
    check "WinVerifyTrust: unsigned" trust 3 0x800b0100
}

if [ "$mode" = TRUST ]; then
    cd "$work"
    trust_checks
    [ $failures = 0 ] || { echo "$failures checks failed (their output: $work)"; exit 1; }
    exit 0
fi

rm -rf "$work"
mkdir -p "$work/tmp" "$work/tokens"
cd "$work"
export TMPDIR="$work/tmp"

# The CA, a code-signing certificate, one for client authentication only,
# and the time-stamp server's.
cat >ext.cnf <<'CNF'
[signer]
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning
[client]
keyUsage=critical,digitalSignature
extendedKeyUsage=clientAuth
[tsa]
keyUsage=critical,digitalSignature
extendedKeyUsage=critical,timeStamping
[tsa_config]
serial=tsaserial
signer_digest=sha256
default_policy=1.2.3.4.1
digests=sha256
ess_cert_id_alg=sha256
CNF
echo 01 >tsaserial
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 \
    -subj "/CN=Release Test CA" 2>/dev/null
for name in signer client tsa; do
    openssl req -newkey rsa:2048 -nodes -keyout $name.key -subj "/O=Test Bank/CN=Test $name" \
        2>/dev/null | openssl x509 -req -CA ca.pem -CAkey ca.key -days 1 -extfile ext.cnf \
        -extensions $name -set_serial "0x$(openssl rand -hex 8)" -out $name.pem 2>/dev/null
done
echo secret >pass
openssl pkcs12 -export -in signer.pem -inkey signer.key -certfile ca.pem -passout file:pass -out signer.p12
openssl pkcs12 -export -in client.pem -inkey client.key -passout file:pass -out client.p12

# The signer's key in a token of the test's own.
export SOFTHSM2_CONF="$work/softhsm2.conf"
printf 'directories.tokendir = %s\nobjectstore.backend = file\n' "$work/tokens" >"$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label release --pin 1234 --so-pin 4321 >/dev/null
openssl pkcs8 -topk8 -nocrypt -in signer.key -out signer.p8
softhsm2-util --import signer.p8 --token release --label signer --id 01 --pin 1234 >/dev/null
echo 1234 >pin
module=/usr/lib/softhsm/libsofthsm2.so

# The time-stamp server, on a free port.
cat >tsa.py <<'PY'
import http.server, subprocess
class Tsa(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", "ext.cnf", "-section", "tsa_config",
                                "-queryfile", "/dev/stdin", "-signer", "tsa.pem", "-inkey", "tsa.key",
                                "-chain", "ca.pem", "-out", "/dev/stdout"], input=query,
                               capture_output=True)
        self.send_response(200 if reply.returncode == 0 else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.end_headers()
        self.wfile.write(reply.stdout)
    def log_message(self, *args):
        pass
server = http.server.HTTPServer(("127.0.0.1", 0), Tsa)
print(server.server_address[1], flush=True)
server.serve_forever()
PY
python3 tsa.py >tsa.port &
tsa=$!
trap 'kill $tsa 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -s tsa.port ] && break; sleep 0.1; done
tsa_url="http://127.0.0.1:$(cat tsa.port)"

release() {
    "$src/scripts/release.sh" --no-test-pack --dist "$work/$1" "${@:2}"
}
# Bad input: the release stops with one line saying why, and writes nothing.
refused() {
    local dist=$1 why=$2
    shift 2
    ! release "$dist" "$@" >"$dist.out" 2>"$dist.err" && [ "$(wc -l <"$dist.err")" = 1 ] &&
        grep -q "^release: .*$why" "$dist.err" && [ -z "$(ls -A "$work/$dist" 2>/dev/null)" ] ||
        { cat "$dist.err"; false; }
}
check "a certificate without code signing is refused" \
    refused client "not for code signing" --pkcs12 client.p12 --pass-file pass
check "a wrong PIN is refused" refused wrongpin "refused the PIN" --pkcs11-module $module \
    --key "pkcs11:token=release;object=signer;pin-value=9999" --cert signer.pem

check "release signed through the token with a time-stamp" \
    release token --pkcs11-module $module --key "pkcs11:token=release;object=signer" \
    --pin-file pin --cert signer.pem --timestamp "$tsa_url"
signed_p12() {
    release p12 --pkcs12 signer.p12 --pass-file pass >p12.out &&
        grep -q "expires with the certificate" p12.out
}
check "release signed with a PKCS#12 file, saying it expires with the certificate" signed_p12
verified() {
    (cd "$1" && sha256sum -c --quiet SHA256SUMS) &&
        osslsigncode verify -CAfile ca.pem -TSA-CAfile ca.pem -in "$1/VKKSVInitTool.exe" >"$1.verify"
}
for dist in token p12; do
    check "$dist: SHA256SUMS, and osslsigncode verify with the test CA" verified $dist
done
check "the token release is time-stamped" grep -q "^Timestamp Server Signature verification: ok" token.verify

# A copy with one byte of code changed.
mkdir changed
cp token/VKKSVInitTool.exe changed/
text=$(i686-w64-mingw32-objdump -h changed/VKKSVInitTool.exe | awk '$2 == ".text" { print $6 }')
printf '\xcc' | dd of=changed/VKKSVInitTool.exe bs=1 seek=$((16#$text + 64)) conv=notrunc 2>/dev/null

accepted() {
    "$src/scripts/verify-release.sh" token/VKKSVInitTool.exe --signer "$signer" >verify.token &&
        grep -q "token/VKKSVInitTool.exe.p7s put onto the build gives it too" verify.token
}
rejected() {
    local rc=0
    "$src/scripts/verify-release.sh" changed/VKKSVInitTool.exe \
        --commit "$(sed -n 's/^commit //p' token/BUILDINFO)" >verify.changed || rc=$?
    [ $rc = 1 ] && grep -q "section .text" verify.changed
}
signer=$(openssl x509 -in signer.pem -outform DER | sha256sum | cut -d' ' -f1)
check "verify-release accepts the release, its .p7s and its signer" accepted
check "verify-release rejects the changed copy, naming the section" rejected

if [ "$mode" = LATER ]; then
    echo "later: the WinVerifyTrust checks, with the rest of the suite"
else
    trust_checks
fi

[ $failures = 0 ] || { echo "$failures checks failed (their output: $work)"; exit 1; }
