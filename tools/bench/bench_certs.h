// The benchmark's certificates: made from tests\data\rsa.der and ec.der by
// rewriting the last two bytes of the serial number, serials 0x4000 + i for
// the cache files (every eighth one EC, for "addressbook", the others RSA,
// for "MY") and 0x6000 + i for the unrelated ones.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

namespace bench {

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const int kMaxCount = 0x2000;  // serials per kind

struct BenchCert {
    std::vector<BYTE> der;
    bool ec = false;
};

// A certificate read from a file, with where its serial number lies.
struct Template {
    std::vector<BYTE> der;
    size_t serialOffset = 0;
    size_t serialLength = 0;
    PCCERT_CONTEXT context = NULL;
};

class CertMaker {
public:
    // Reads the two templates from dataDir.
    bool Load(const std::wstring& dataDir, std::string* error);

    // The certificate of cache file i; every eighth one is EC.
    bool File(int i, BenchCert* cert, std::string* error) const;

    // Unrelated certificate i (RSA, for "MY"): no cache file matches it.
    bool Unrelated(int i, BenchCert* cert, std::string* error) const;

    // Whether a store's certificate is one of those made here.
    bool IsMade(PCCERT_CONTEXT cert) const;

private:
    Template m_rsa, m_ec;
};

std::string Narrow(const std::wstring& text);

}  // namespace bench
