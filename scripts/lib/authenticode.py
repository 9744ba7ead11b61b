#!/usr/bin/python3
"""What the release scripts need to know about a PE file and its Authenticode
signature, beyond what osslsigncode tells. Runs on Debian's own Python
(python3-pefile, python3-asn1crypto); openssl does the cryptography.

    authenticode.py signed EXE
        exit 0 when EXE carries a signature, 1 when it does not, 2 when it is
        not a PE file.
    authenticode.py compare A B
        exit 0 when the two files are the same bytes; otherwise prints how
        many bytes differ and where (offset and PE section of A), exit 1.
    authenticode.py signature SIG.der SIGNER.pem
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

import hashlib
import os
import subprocess
import sys
import tempfile

import pefile
from asn1crypto import cms, core, pem, tsp

DIGESTS = {"sha1", "sha256", "sha384", "sha512"}
RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"
SECURITY = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]


class Failed(Exception):
    pass


def openssl(*args, data=None):
    return subprocess.run(["openssl", *args], input=data, capture_output=True)


def present(optional):
    """The elements of an optional SET OF, none where it is absent."""
    return [] if isinstance(optional, core.Void) else optional


def digest_name(algorithm):
    name = algorithm["algorithm"].native
    if name not in DIGESTS:
        raise Failed("unknown digest algorithm")
    return name


def check_signed_data(content_info):
    """Checks a PKCS#7 SignedData (a cms.ContentInfo) with its own signer's
    certificate. Returns (signer certificate, SignerInfo, content)."""
    signed = content_info["content"]
    encapsulated = signed["encap_content_info"]["content"]
    if isinstance(encapsulated, core.Void):
        raise Failed("no signed content")
    # Authenticode and RFC 3161 both digest the content's value, without
    # its own tag and length: a time-stamp's is an OCTET STRING (the
    # TSTInfo), Authenticode's a SEQUENCE (SpcIndirectDataContent).
    if isinstance(encapsulated, (core.OctetString, core.ParsableOctetString)):
        content = encapsulated.contents
    else:
        content = encapsulated.parsed.contents
    if len(signed["signer_infos"]) != 1:
        raise Failed("%d signers, one expected" % len(signed["signer_infos"]))
    info = signed["signer_infos"][0]
    sid = info["sid"].chosen
    signer = None
    for cert in present(signed["certificates"]):
        tbs = cert.chosen["tbs_certificate"]
        if (tbs["serial_number"].native == sid["serial_number"].native and
                tbs["issuer"].dump() == sid["issuer"].dump()):
            signer = cert.chosen
    if signer is None:
        raise Failed("the signer's certificate is not in the signature")
    digest = digest_name(info["digest_algorithm"])
    attributes = info["signed_attrs"]
    if isinstance(attributes, core.Void):
        raise Failed("no signed attributes")
    expected = None
    for attribute in attributes:
        if attribute["type"].native == "message_digest":
            expected = attribute["values"][0].native
    if expected != hashlib.new(digest, content).digest():
        raise Failed("the signed content does not match its digest")
    # The signature is over the attributes encoded as a SET.
    signed_bytes = b"\x31" + attributes.dump()[1:]
    with tempfile.TemporaryDirectory() as tmp:
        paths = {n: os.path.join(tmp, n) for n in ("key", "data", "sig")}
        key = openssl("x509", "-inform", "DER", "-pubkey", "-noout", data=signer.dump())
        for name, data in (("key", key.stdout), ("data", signed_bytes),
                           ("sig", info["signature"].native)):
            with open(paths[name], "wb") as f:
                f.write(data)
        if openssl("dgst", "-" + digest, "-verify", paths["key"], "-signature", paths["sig"],
                   paths["data"]).returncode != 0:
            raise Failed("the signature does not match the signer's key")
    return signer, info, content


def check_timestamp(info):
    """The RFC 3161 time-stamp among the signer's unsigned attributes, checked
    like the signature and required to cover it; its time, or None."""
    for attribute in present(info["unsigned_attrs"]):
        if attribute["type"].dotted != RFC3161_TIMESTAMP:
            continue
        token = cms.ContentInfo.load(attribute["values"][0].dump())
        _, _, content = check_signed_data(token)
        stamp = tsp.TSTInfo.load(content)
        imprint = stamp["message_imprint"]
        digest = digest_name(imprint["hash_algorithm"])
        if imprint["hashed_message"].native != hashlib.new(digest, info["signature"].native).digest():
            raise Failed("the time-stamp does not cover this signature")
        return stamp["gen_time"].native.strftime("%Y-%m-%d %H:%M:%S UTC")
    return None


def failure(check):
    """Runs check(); (its result, None), or (None, why it failed)."""
    try:
        return check(), None
    except Failed as e:
        return None, str(e)
    except (ValueError, TypeError, KeyError, AttributeError):
        return None, "malformed"


def signature(sig_path, signer_path):
    with open(sig_path, "rb") as f:
        data = f.read()
    checked, why = failure(lambda: check_signed_data(cms.ContentInfo.load(data)))
    if why is not None:
        print("signature: failed: %s" % why)
        return 1
    signer, info, _ = checked
    with open(signer_path, "wb") as f:
        f.write(pem.armor("CERTIFICATE", signer.dump()))
    print("signature: ok")
    stamp, why = failure(lambda: check_timestamp(info))
    if why is not None:
        print("timestamp: failed: %s" % why)
        return 1
    print("timestamp: %s" % (stamp or "none"))
    return 0


def load_pe(data):
    """The parsed PE file; raises pefile.PEFormatError for anything not PE."""
    return pefile.PE(data=data, fast_load=True)


def where(data, offset):
    try:
        placed = [s for s in load_pe(data).sections
                  if s.PointerToRawData > 0 and s.SizeOfRawData > 0]
    except pefile.PEFormatError:
        return "not a PE file"
    for s in placed:
        if s.PointerToRawData <= offset < s.PointerToRawData + s.SizeOfRawData:
            return "section %s" % s.Name.rstrip(b"\0").decode("ascii", "replace")
    if not placed:
        return "outside the sections"
    return "headers" if offset < min(s.PointerToRawData for s in placed) else "outside the sections"


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
        pe = load_pe(data)
    except pefile.PEFormatError:
        return 2
    directories = pe.OPTIONAL_HEADER.DATA_DIRECTORY
    if len(directories) <= SECURITY:
        return 1
    return 0 if directories[SECURITY].Size > 0 else 1


if __name__ == "__main__":
    commands = {"signed": (signed, 1), "compare": (compare, 2), "signature": (signature, 2)}
    if len(sys.argv) < 2 or sys.argv[1] not in commands or len(sys.argv) != 2 + commands[sys.argv[1]][1]:
        sys.exit(__doc__)
    sys.exit(commands[sys.argv[1]][0](*sys.argv[2:]))
