// Test helper: counts certificates in a current-user system store, from a
// process of its own, so that a test sees what the store really holds and
// not what its own process has cached.
//
//   storeprobe.exe <store> <certificate.der>
//
// prints "total=<certificates in the store> match=<same issuer and serial
// number> exact=<same encoding>" and exits 0, or exits 2 on a usage or I/O
// error.
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

bool ReadWholeFile(const char* path, std::vector<BYTE>* bytes)
{
    FILE* file = fopen(path, "rb");
    if (file == nullptr) return false;
    BYTE chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) bytes->insert(bytes->end(), chunk, chunk + got);
    fclose(file);
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: storeprobe <store> <certificate.der>\n");
        return 2;
    }
    std::vector<BYTE> encoded;
    if (!ReadWholeFile(argv[2], &encoded) || encoded.empty()) {
        fprintf(stderr, "storeprobe: cannot read %s\n", argv[2]);
        return 2;
    }
    PCCERT_CONTEXT wanted = CertCreateCertificateContext(kEncoding, encoded.data(),
                                                         static_cast<DWORD>(encoded.size()));
    if (wanted == nullptr) {
        fprintf(stderr, "storeprobe: %s is not a certificate\n", argv[2]);
        return 2;
    }
    wchar_t storeName[64];
    if (MultiByteToWideChar(CP_ACP, 0, argv[1], -1, storeName, 64) == 0) return 2;
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER, storeName);
    if (store == nullptr) {
        fprintf(stderr, "storeprobe: cannot open store %s\n", argv[1]);
        CertFreeCertificateContext(wanted);
        return 2;
    }
    int total = 0, match = 0, exact = 0;
    PCCERT_CONTEXT candidate = nullptr;
    while ((candidate = CertEnumCertificatesInStore(store, candidate)) != nullptr) {
        ++total;
        if (CertCompareCertificate(kEncoding, wanted->pCertInfo, candidate->pCertInfo)) ++match;
        if (candidate->cbCertEncoded == wanted->cbCertEncoded &&
            memcmp(candidate->pbCertEncoded, wanted->pbCertEncoded, wanted->cbCertEncoded) == 0) {
            ++exact;
        }
    }
    printf("total=%d match=%d exact=%d\n", total, match, exact);
    CertFreeCertificateContext(wanted);
    CertCloseStore(store, 0);
    return 0;
}
