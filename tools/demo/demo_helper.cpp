// What the demo needs of the machine, from inside Wine:
//
//   demo_helper.exe cacheroot                 prints the cache root of this
//                                             Windows version
//   demo_helper.exe prefix <reader>           prints the cache-file prefix
//                                             of a key in that reader
//   demo_helper.exe install <store> <file>    adds the certificate to a
//                                             current-user store
//   demo_helper.exe count <store> <file>      prints how often the store
//                                             holds that exact certificate
//   demo_helper.exe remove <store> <file>     removes it again
#include <windows.h>
#include <wincrypt.h>
#include <stdio.h>
#include <string.h>

#include <vector>

#include "certcache/cache_prefix.h"
#include "certcache/cache_root.h"

namespace {

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

bool ReadFileBytes(const char* path, std::vector<BYTE>& bytes)
{
    FILE* file = fopen(path, "rb");
    if (file == NULL) {
        return false;
    }
    BYTE chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof(chunk), file)) > 0) {
        bytes.insert(bytes.end(), chunk, chunk + got);
    }
    fclose(file);
    return !bytes.empty();
}

HCERTSTORE OpenStore(const char* name)
{
    wchar_t wide[64] = {};
    MultiByteToWideChar(CP_ACP, 0, name, -1, wide, 63);
    return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, CERT_SYSTEM_STORE_CURRENT_USER,
                         wide);
}

bool Same(PCCERT_CONTEXT cert, const std::vector<BYTE>& der)
{
    return cert->cbCertEncoded == der.size() &&
           memcmp(cert->pbCertEncoded, der.data(), der.size()) == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "cacheroot") == 0) {
        char root[MAX_PATH] = {};
        GetCacheRoot(root);
        printf("%s\n", root);
        return 0;
    }
    if (argc == 3 && strcmp(argv[1], "prefix") == 0) {
        char prefix[MAX_PATH] = {};
        if (MakeCachePrefix(argv[2], prefix) != CACHE_PREFIX_OK) return 1;
        printf("%s\n", prefix);
        return 0;
    }
    std::vector<BYTE> der;
    if (argc != 4 || !ReadFileBytes(argv[3], der)) {
        fprintf(stderr, "usage: demo_helper cacheroot | prefix <reader> | install|count|remove <store> <file>\n");
        return 2;
    }
    HCERTSTORE store = OpenStore(argv[2]);
    if (store == NULL) {
        return 1;
    }
    int result = 0;
    if (strcmp(argv[1], "install") == 0) {
        result = CertAddEncodedCertificateToStore(store, kEncoding, der.data(),
                                                  static_cast<DWORD>(der.size()),
                                                  CERT_STORE_ADD_REPLACE_EXISTING, NULL)
                     ? 0
                     : 1;
    } else {
        bool remove = strcmp(argv[1], "remove") == 0;
        int count = 0;
        PCCERT_CONTEXT cert = NULL;
        while ((cert = CertEnumCertificatesInStore(store, cert)) != NULL) {
            if (Same(cert, der)) {
                ++count;
                if (remove) {
                    // The walk starts over after a deletion.
                    CertDeleteCertificateFromStore(cert);
                    cert = NULL;
                }
            }
        }
        if (strcmp(argv[1], "count") == 0) {
            printf("%d\n", count);
        }
    }
    CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, NULL);
    CertCloseStore(store, 0);
    return result;
}
