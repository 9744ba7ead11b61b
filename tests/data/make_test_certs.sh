#!/usr/bin/env bash
# Makes the certificates and other files the certificate-cache tests read.
# The outputs are committed; run this only to remake them (the keys differ
# every time, so every test certificate changes).
#
#   rsa.der        RSA 2048 self-signed certificate (public key 270 bytes)
#   ec.der         EC P-256 self-signed certificate (public key 65 bytes)
#   big.der        RSA certificate of about 6 KB (200 alternative names)
#   twice_a.der    two RSA certificates with the same key, subject and serial
#   twice_b.der    number but different validity: equal issuer and serial,
#                  different encodings
#   garbage.bin    512 random bytes, not a certificate
#   empty.cer      an empty file
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

selfsigned() { # out subject serial days keyargs... -- extra...
    local out=$1 subject=$2 serial=$3 days=$4
    shift 4
    openssl req -x509 -nodes -subj "$subject" -set_serial "$serial" -days "$days" \
        -outform DER -out "$out" "$@" 2>/dev/null
}

selfsigned rsa.der "/CN=certcache test RSA" 0x1001 3650 \
    -newkey rsa:2048 -keyout "$tmp/rsa.key"
selfsigned ec.der "/CN=certcache test EC" 0x1002 3650 \
    -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -keyout "$tmp/ec.key"

names="DNS:host-000.certcache.example"
for i in $(seq 1 199); do names="$names,DNS:host-$(printf %03d "$i").certcache.example"; done
selfsigned big.der "/CN=certcache test big" 0x1003 3650 \
    -newkey rsa:2048 -keyout "$tmp/big.key" -addext "subjectAltName=$names"

openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$tmp/twice.key" 2>/dev/null
selfsigned twice_a.der "/CN=certcache test twice" 0x1004 365 -key "$tmp/twice.key"
selfsigned twice_b.der "/CN=certcache test twice" 0x1004 730 -key "$tmp/twice.key"

openssl rand -out garbage.bin 512
: > empty.cer

size() { stat -c %s "$1"; }
[ "$(size big.der)" -gt 6000 ] || { echo "big.der is only $(size big.der) bytes" >&2; exit 1; }
openssl x509 -inform DER -in ec.der -noout -text | grep -q "prime256v1" || exit 1
for f in rsa ec big twice_a twice_b; do echo "$f.der: $(size $f.der) bytes"; done
