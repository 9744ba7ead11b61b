#!/usr/bin/env python3
"""What the release scripts need to know about a PE file and its Authenticode
signature, beyond what osslsigncode tells.

    pecheck.py signed EXE
        exit 0 when EXE carries a signature, 1 when it does not, 2 when it is
        not a PE file.
    pecheck.py compare A B
        exit 0 when the two files are the same bytes; otherwise prints how
        many bytes differ and where (offset and PE section of A), exit 1.
    pecheck.py signature SIG.der SIGNER.pem
        checks the PKCS#7 signature SIG.der (as extract-signature gives it)
        with the public key of the certificate it names as its signer, whoever
        issued that certificate: the digest of the signed content matches the
        signed attributes, and the signature over them checks out. The same
        for its RFC 3161 time-stamp, which must also cover this signature.
        Writes the signer's certificate to SIGNER.pem and prints
            signature: ok | failed: <why>
            timestamp: <UTC time> | none | failed: <why>
        exit 0 when the signature (and a time-stamp, if any) checks out.

A root that nobody trusts still checks out here: whether a root is trusted is
a separate question (osslsigncode verify against the system's store)."""

import base64
import datetime
import hashlib
import os
import struct
import subprocess
import sys
import tempfile


def oid(text):
    """The DER content of an object identifier."""
    parts = [int(p) for p in text.split(".")]
    out = bytearray([parts[0] * 40 + parts[1]])
    for p in parts[2:]:
        chunk = [p & 0x7F]
        while p > 0x7F:
            p >>= 7
            chunk.insert(0, 0x80 | (p & 0x7F))
        out += bytes(chunk)
    return bytes(out)


DIGESTS = {oid("1.3.14.3.2.26"): "sha1", oid("2.16.840.1.101.3.4.2.1"): "sha256",
           oid("2.16.840.1.101.3.4.2.2"): "sha384", oid("2.16.840.1.101.3.4.2.3"): "sha512"}
MESSAGE_DIGEST = oid("1.2.840.113549.1.9.4")
RFC3161_TIMESTAMP = oid("1.3.6.1.4.1.311.3.3.1")


class Failed(Exception):
    pass


class Der:
    """One DER element of buf: its tag, and where it and its content lie."""

    def __init__(self, buf, pos):
        self.buf, self.start, self.tag = buf, pos, buf[pos]
        n = buf[pos + 1]
        pos += 2
        if n & 0x80:
            k = n & 0x7F
            n = int.from_bytes(buf[pos:pos + k], "big")
            pos += k
        self.content, self.end = pos, pos + n
        if self.end > len(buf):
            raise Failed("truncated DER")

    def value(self):
        return self.buf[self.content:self.end]

    def whole(self):
        return self.buf[self.start:self.end]

    def children(self):
        out, pos = [], self.content
        while pos < self.end:
            out.append(Der(self.buf, pos))
            pos = out[-1].end
        return out


def openssl(*args, data=None):
    return subprocess.run(["openssl", *args], input=data, capture_output=True)


def check_signed_data(content_info):
    """Checks a PKCS#7 SignedData (in its ContentInfo) with its own signer's
    certificate. Returns (signer certificate DER, SignerInfo, content)."""
    signed = content_info.children()[1].children()[0].children()
    encapsulated = signed[2].children()
    if len(encapsulated) < 2:
        raise Failed("no signed content")
    # Authenticode and RFC 3161 both digest the content's value, without
    # its own tag and length.
    content = encapsulated[1].children()[0].value()
    certs = [c for c in signed[3:] if c.tag == 0xA0]
    signer_infos = signed[-1].children()
    if len(signer_infos) != 1:
        raise Failed("%d signers, one expected" % len(signer_infos))
    info = signer_infos[0].children()
    issuer, serial = (c.whole() for c in info[1].children())
    signer = None
    for cert in certs[0].children() if certs else []:
        tbs = cert.children()[0].children()
        if tbs[0].tag == 0xA0:
            tbs = tbs[1:]
        if tbs[0].whole() == serial and tbs[2].whole() == issuer:
            signer = cert.whole()
    if signer is None:
        raise Failed("the signer's certificate is not in the signature")
    digest = DIGESTS.get(info[2].children()[0].value())
    if digest is None:
        raise Failed("unknown digest algorithm")
    attributes = info[3]
    if attributes.tag != 0xA0:
        raise Failed("no signed attributes")
    expected = None
    for attribute in attributes.children():
        kind, values = attribute.children()
        if kind.value() == MESSAGE_DIGEST:
            expected = values.children()[0].value()
    if expected != hashlib.new(digest, content).digest():
        raise Failed("the signed content does not match its digest")
    # The signature is over the attributes encoded as a SET.
    signed_bytes = b"\x31" + attributes.whole()[1:]
    signature = info[5].value()
    with tempfile.TemporaryDirectory() as tmp:
        paths = {n: os.path.join(tmp, n) for n in ("key", "data", "sig")}
        key = openssl("x509", "-inform", "DER", "-pubkey", "-noout", data=signer)
        for name, data in (("key", key.stdout), ("data", signed_bytes), ("sig", signature)):
            with open(paths[name], "wb") as f:
                f.write(data)
        if openssl("dgst", "-" + digest, "-verify", paths["key"], "-signature", paths["sig"],
                   paths["data"]).returncode != 0:
            raise Failed("the signature does not match the signer's key")
    return signer, info, content


def check_timestamp(info):
    """The RFC 3161 time-stamp among the signer's unsigned attributes, checked
    like the signature and required to cover it; its time, or None."""
    if info[-1].tag != 0xA1:
        return None
    for attribute in info[-1].children():
        kind, values = attribute.children()
        if kind.value() != RFC3161_TIMESTAMP:
            continue
        _, _, tst = check_signed_data(values.children()[0])
        fields = Der(tst, 0).children()
        algorithm, hashed = fields[2].children()
        digest = DIGESTS.get(algorithm.children()[0].value())
        if digest is None or hashed.value() != hashlib.new(digest, info[5].value()).digest():
            raise Failed("the time-stamp does not cover this signature")
        text = fields[4].value().decode("ascii").rstrip("Z").split(".")[0]
        when = datetime.datetime.strptime(text, "%Y%m%d%H%M%S")
        return when.strftime("%Y-%m-%d %H:%M:%S UTC")
    return None


def signature(sig_path, signer_path):
    with open(sig_path, "rb") as f:
        data = f.read()
    try:
        signer, info, _ = check_signed_data(Der(data, 0))
    except (Failed, IndexError, ValueError) as e:
        print("signature: failed: %s" % (e if isinstance(e, Failed) else "malformed"))
        return 1
    with open(signer_path, "w") as f:
        f.write("-----BEGIN CERTIFICATE-----\n")
        f.write(base64.encodebytes(signer).decode("ascii"))
        f.write("-----END CERTIFICATE-----\n")
    print("signature: ok")
    try:
        print("timestamp: %s" % (check_timestamp(info) or "none"))
    except (Failed, IndexError, ValueError) as e:
        print("timestamp: failed: %s" % (e if isinstance(e, Failed) else "malformed"))
        return 1
    return 0


def sections(data):
    """(name, file offset, size) of each section, and the security
    directory's (offset, size). Raises ValueError for anything not PE."""
    if data[:2] != b"MZ":
        raise ValueError
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError
    count, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + {0x10B: 96, 0x20B: 112}[magic]
    security = struct.unpack_from("<II", data, directories + 4 * 8)
    table = optional + optional_size
    out = []
    for i in range(count):
        name, size, offset = struct.unpack_from("<8s8xII", data, table + 40 * i)
        out.append((name.rstrip(b"\0").decode("ascii", "replace"), offset, size))
    return out, security


def where(data, offset):
    try:
        placed = [s for s in sections(data)[0] if s[1] > 0 and s[2] > 0]
    except (ValueError, KeyError, struct.error):
        return "not a PE file"
    for name, start, size in placed:
        if start <= offset < start + size:
            return "section %s" % name
    return "headers" if offset < min(s[1] for s in placed) else "outside the sections"


def compare(a_path, b_path):
    with open(a_path, "rb") as f:
        a = f.read()
    with open(b_path, "rb") as f:
        b = f.read()
    if a == b:
        return 0
    differing = [i for i in range(min(len(a), len(b))) if a[i] != b[i]]
    if len(a) != len(b):
        print("sizes differ: %d and %d bytes" % (len(a), len(b)))
    print("%d bytes differ%s" % (len(differing), ", first:" if differing else ""))
    for i in differing[:5]:
        print("  offset 0x%x (%s): %02x, built %02x" % (i, where(a, i), a[i], b[i]))
    return 1


def signed(path):
    with open(path, "rb") as f:
        data = f.read()
    try:
        return 0 if sections(data)[1][1] > 0 else 1
    except (ValueError, KeyError, struct.error):
        return 2


if __name__ == "__main__":
    commands = {"signed": (signed, 1), "compare": (compare, 2), "signature": (signature, 2)}
    if len(sys.argv) < 2 or sys.argv[1] not in commands or len(sys.argv) != 2 + commands[sys.argv[1]][1]:
        sys.exit(__doc__)
    sys.exit(commands[sys.argv[1]][0](*sys.argv[2:]))
