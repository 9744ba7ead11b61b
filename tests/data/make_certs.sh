#!/usr/bin/env bash
# Makes the certificates the certificate-cache tests use, as DER files beside
# this script. The outputs are committed; run this again only to replace them
# (keys and signatures come out different every time).
#
#   rsa_a.der, rsa_b.der   RSA 2048 certificates
#   ec_p256.der            EC P-256 certificate (65-byte public key)
#   big.der                RSA certificate larger than 4096 bytes
#   twin_1.der, twin_2.der same key, issuer and serial; other validity
#   other.der              RSA certificate of another key's cache file
#   garbage.der            random bytes; empty.der: no bytes
set -euo pipefail
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

cert() {  # cert <out> <key> <serial> <days> <subject> [extra args...]
    local out=$1 key=$2 serial=$3 days=$4 subject=$5
    shift 5
    openssl req -x509 -new -key "$key" -set_serial "$serial" -days "$days" \
        -subj "/CN=$subject/O=certcache tests" -outform DER -out "$out" "$@"
}

openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$tmp/rsa.key" 2>/dev/null
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 \
    -pkeyopt ec_param_enc:named_curve -out "$tmp/ec.key"

cert rsa_a.der "$tmp/rsa.key" 0x5A01 3650 "certcache RSA A"
cert rsa_b.der "$tmp/rsa.key" 0x5A02 3650 "certcache RSA B"
cert ec_p256.der "$tmp/ec.key" 0x5A03 3650 "certcache EC P-256"
cert other.der "$tmp/rsa.key" 0x5A06 3650 "certcache other key"
cert twin_1.der "$tmp/rsa.key" 0x5A05 3650 "certcache twin"
cert twin_2.der "$tmp/rsa.key" 0x5A05 7300 "certcache twin"
comment=$(head -c 3000 /dev/urandom | base64 -w0)
cert big.der "$tmp/rsa.key" 0x5A04 3650 "certcache big" -addext "nsComment=$comment"

head -c 700 /dev/urandom > garbage.der
: > empty.der

size=$(stat -c %s big.der)
[ "$size" -gt 4096 ] || { echo "big.der is only $size bytes" >&2; exit 1; }
openssl x509 -inform DER -in ec_p256.der -noout -text | grep -q "Public-Key: (256 bit)"
cmp -s twin_1.der twin_2.der && { echo "twins are identical" >&2; exit 1; }
echo "made $(ls *.der | wc -l) files; big.der is $size bytes"
