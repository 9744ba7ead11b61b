#include "certcache/cert_purge.h"

#include <strsafe.h>
#include <wincrypt.h>

#include "certcache/cache_prefix.h"
#include "certcache/cache_root.h"
#include "keyinit/csp_name.h"

namespace {

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const DWORD kUncompressedP256KeyLength = 65;
const DWORD kMaxCertificateBytes = 4096;

// Upper-cased UTF-16 form of an ANSI name, as the file system compares
// names; false if it does not convert.
bool UpperWide(const char* text, WCHAR wide[MAX_PATH], int* length)
{
    int count = MultiByteToWideChar(CP_ACP, 0, text, -1, wide, MAX_PATH);
    if (count <= 0) return false;
    *length = count - 1;
    CharUpperBuffW(wide, static_cast<DWORD>(*length));
    return true;
}

// True when the long name is <prefix>...".cer", compared case-insensitively.
// The search pattern also matches 8.3 short names (a "b.cerx" has the short
// extension ".CER"), so what the search returns is checked here again.
bool IsCacheFileName(const char* name, const char* prefix)
{
    WCHAR wideName[MAX_PATH];
    WCHAR widePrefix[MAX_PATH];
    int nameLength = 0;
    int prefixLength = 0;
    if (!UpperWide(name, wideName, &nameLength) ||
        !UpperWide(prefix, widePrefix, &prefixLength)) {
        return false;
    }
    const WCHAR extension[] = L".CER";
    const int extensionLength = 4;
    if (prefixLength == 0 || nameLength < prefixLength + extensionLength) return false;
    for (int i = 0; i < prefixLength; ++i) {
        if (wideName[i] != widePrefix[i]) return false;
    }
    for (int i = 0; i < extensionLength; ++i) {
        if (wideName[nameLength - extensionLength + i] != extension[i]) return false;
    }
    return true;
}

bool IsCacheFile(const WIN32_FIND_DATAA& entry, const char* prefix)
{
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return false;
    return IsCacheFileName(entry.cFileName, prefix);
}

// Reads the file's certificate, removes it from its store and deletes the
// file. A path that does not fit, or a file that does not open (locked, no
// access), is left alone.
void PurgeCacheFile(const char* cacheDir, const char* fileName)
{
    char path[MAX_PATH];
    if (FAILED(StringCchPrintfA(path, MAX_PATH, "%s\\%s", cacheDir, fileName))) return;

    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;

    BYTE certificate[kMaxCertificateBytes];
    DWORD bytesRead = 0;
    if (!ReadFile(file, certificate, sizeof certificate, &bytesRead, nullptr)) bytesRead = 0;
    CloseHandle(file);

    DeleteCertificateFromSystemStore(certificate, bytesRead);
    DeleteFileA(path);
}

// The first certificate in the store with the same issuer and serial number;
// the caller owns the returned context. Null if there is none.
PCCERT_CONTEXT FindMatch(HCERTSTORE store, PCCERT_CONTEXT wanted)
{
    PCCERT_CONTEXT candidate = nullptr;
    while ((candidate = CertEnumCertificatesInStore(store, candidate)) != nullptr) {
        if (CertCompareCertificate(kEncoding, wanted->pCertInfo, candidate->pCertInfo)) {
            return candidate;
        }
    }
    return nullptr;
}

}  // namespace

int DeleteCertificateFromSystemStore(const BYTE* encoded, DWORD length)
{
    if (encoded == nullptr || length == 0) return CERT_DELETE_BADARG;

    PCCERT_CONTEXT wanted = CertCreateCertificateContext(kEncoding, encoded, length);
    if (wanted == nullptr) return CERT_DELETE_FAILED;

    const wchar_t* storeName =
        wanted->pCertInfo->SubjectPublicKeyInfo.PublicKey.cbData == kUncompressedP256KeyLength
            ? L"addressbook"
            : L"MY";
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, kEncoding, 0,
                                     CERT_SYSTEM_STORE_CURRENT_USER, storeName);
    if (store == nullptr) {
        CertFreeCertificateContext(wanted);
        return CERT_DELETE_FAILED;
    }

    int result = CERT_DELETE_NOTFOUND;
    PCCERT_CONTEXT match = FindMatch(store, wanted);
    if (match != nullptr) {
        // The deletion consumes the match, whether it succeeds or not.
        if (CertDeleteCertificateFromStore(match)) {
            // Writes the deletion back to the store's backing; without this a
            // registry-backed store may keep the certificate after closing.
            CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
            result = CERT_DELETE_OK;
        } else {
            result = CERT_DELETE_FAILED;
        }
    }
    CertFreeCertificateContext(wanted);
    CertCloseStore(store, CERT_CLOSE_STORE_FORCE_FLAG);
    return result;
}

int PurgeCacheDirectory(const char* cacheDir, const char* prefix)
{
    if (cacheDir == nullptr || prefix == nullptr || cacheDir[0] == '\0' || prefix[0] == '\0') {
        return 0;
    }

    char pattern[MAX_PATH];
    if (FAILED(StringCchPrintfA(pattern, MAX_PATH, "%s\\%s*.cer", cacheDir, prefix))) return 0;

    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) {
        GetLastError();
        return 0;
    }
    do {
        if (IsCacheFile(entry, prefix)) PurgeCacheFile(cacheDir, entry.cFileName);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    return 0;
}

int PurgeCachedCertificates(const char* slotName)
{
    char root[MAX_PATH] = {};
    GetCacheRoot(root);
    if (root[0] == '\0') return 0;

    char cacheDir[MAX_PATH];
    if (FAILED(StringCchPrintfA(cacheDir, MAX_PATH, "%s\\%s", root, kCspName))) return 0;

    char prefix[MAX_PATH] = {};
    if (MakeCachePrefix(slotName, prefix) != CACHE_PREFIX_OK) return 0;

    return PurgeCacheDirectory(cacheDir, prefix);
}
