#include "bench_certs.h"

#include <stdio.h>

#include "tool_driver.h"

namespace bench {
namespace {

const unsigned kFileSerialBase = 0x4000;
const unsigned kUnrelatedSerialBase = 0x6000;
const unsigned kSerialLimit = 0x8000;

// Reads a DER header at pos: the tag, where the contents start and how long
// they are.
bool ReadHeader(const std::vector<BYTE>& der, size_t pos, BYTE* tag, size_t* start,
                size_t* length)
{
    if (pos + 2 > der.size()) return false;
    *tag = der[pos];
    size_t size = der[pos + 1];
    size_t at = pos + 2;
    if (size & 0x80) {
        size_t count = size & 0x7f;
        if (count == 0 || count > 4 || at + count > der.size()) return false;
        size = 0;
        for (size_t i = 0; i < count; ++i) size = (size << 8) | der[at + i];
        at += count;
    }
    if (at + size > der.size()) return false;
    *start = at;
    *length = size;
    return true;
}

bool ReadBytes(const std::wstring& path, std::vector<BYTE>* bytes)
{
    FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == NULL) return false;
    BYTE chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0) {
        bytes->insert(bytes->end(), chunk, chunk + got);
    }
    fclose(file);
    return !bytes->empty();
}

// Certificate ::= SEQUENCE { tbsCertificate SEQUENCE { [0] version OPTIONAL,
// serialNumber INTEGER, ... } ... }: finds the serial number's contents. Its
// last two bytes are rewritten; the first byte must keep the number positive
// and minimal.
bool LoadTemplate(const std::wstring& path, Template* t, std::string* error)
{
    if (!ReadBytes(path, &t->der)) {
        *error = "cannot read " + Narrow(path);
        return false;
    }
    BYTE tag = 0;
    size_t start = 0, length = 0;
    bool ok = ReadHeader(t->der, 0, &tag, &start, &length) && tag == 0x30 &&
              ReadHeader(t->der, start, &tag, &start, &length) && tag == 0x30 &&
              ReadHeader(t->der, start, &tag, &start, &length);
    if (ok && tag == 0xA0) {
        ok = ReadHeader(t->der, start + length, &tag, &start, &length);
    }
    ok = ok && tag == 0x02 && length >= 2 &&
         (length == 2 || (t->der[start] != 0x00 && t->der[start] < 0x80));
    if (!ok) {
        *error = Narrow(path) + ": no serial number of two bytes or more found";
        return false;
    }
    t->serialOffset = start;
    t->serialLength = length;
    t->context = CertCreateCertificateContext(kEncoding, t->der.data(),
                                              static_cast<DWORD>(t->der.size()));
    if (t->context == NULL) {
        *error = Narrow(path) + " does not decode";
        return false;
    }
    return true;
}

// The serial number's value in its last two bytes (the blob is little-endian).
unsigned LowSerial(PCCERT_CONTEXT cert)
{
    const CRYPT_INTEGER_BLOB& serial = cert->pCertInfo->SerialNumber;
    if (serial.cbData < 2) return 0;
    return (static_cast<unsigned>(serial.pbData[1]) << 8) | serial.pbData[0];
}

// The template with the serial's last two bytes set to serial; checked to
// decode with that serial.
bool Make(const Template& t, unsigned serial, std::vector<BYTE>* der, std::string* error)
{
    *der = t.der;
    (*der)[t.serialOffset + t.serialLength - 2] = static_cast<BYTE>(serial >> 8);
    (*der)[t.serialOffset + t.serialLength - 1] = static_cast<BYTE>(serial & 0xff);
    PCCERT_CONTEXT cert =
        CertCreateCertificateContext(kEncoding, der->data(), static_cast<DWORD>(der->size()));
    bool ok = cert != NULL && LowSerial(cert) == serial;
    if (cert != NULL) CertFreeCertificateContext(cert);
    if (!ok) {
        char text[80];
        snprintf(text, sizeof(text), "the certificate with serial 0x%04x does not decode", serial);
        *error = text;
    }
    return ok;
}

}  // namespace

std::string Narrow(const std::wstring& text)
{
    return ToUtf8(text);
}

bool CertMaker::Load(const std::wstring& dataDir, std::string* error)
{
    return LoadTemplate(dataDir + L"\\rsa.der", &m_rsa, error) &&
           LoadTemplate(dataDir + L"\\ec.der", &m_ec, error);
}

bool CertMaker::File(int i, BenchCert* cert, std::string* error) const
{
    cert->ec = i % 8 == 7;
    return Make(cert->ec ? m_ec : m_rsa, kFileSerialBase + i, &cert->der, error);
}

bool CertMaker::Unrelated(int i, BenchCert* cert, std::string* error) const
{
    cert->ec = false;
    return Make(m_rsa, kUnrelatedSerialBase + i, &cert->der, error);
}

bool CertMaker::IsMade(PCCERT_CONTEXT cert) const
{
    unsigned serial = LowSerial(cert);
    if (serial < kFileSerialBase || serial >= kSerialLimit) return false;
    for (const Template* t : {&m_rsa, &m_ec}) {
        if (cert->pCertInfo->SerialNumber.cbData == t->serialLength &&
            CertCompareCertificateName(kEncoding, &cert->pCertInfo->Issuer,
                                       &t->context->pCertInfo->Issuer)) {
            return true;
        }
    }
    return false;
}

}  // namespace bench
