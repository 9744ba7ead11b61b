#include "certcache/cert_purge.h"

#include <stdint.h>
#include <strsafe.h>
#include <wincrypt.h>

#include "certcache/cache_file.h"
#include "certcache/cache_prefix.h"
#include "certcache/cache_root.h"
#include "certcache/certificate_api.h"
#include "common/csp_name.h"

namespace {

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const DWORD kUncompressedP256KeyLength = 65;

// Files collected before the stores are searched: enough for any real
// cache at the first allocation; more are added as needed.
const size_t kInitialPendingFiles = 256;

enum StoreIndex { kMyStore, kAddressBookStore, kStoreCount };
const wchar_t* const kStoreNames[kStoreCount] = {L"MY", L"addressbook"};

// One cache file, its certificate, and the store entry that certificate
// was found as.
struct PendingFile {
    CacheFile cache;             // open from the checks until the deletion
    PCCERT_CONTEXT certificate;  // null: the file holds no certificate
    StoreIndex store;            // where the certificate is looked for
    DWORD key;                   // IssuerSerialKey of the certificate
    PCCERT_CONTEXT match;        // the store's entry to delete, once found
};

struct PendingFiles {
    PendingFile* files;
    size_t count;
    size_t capacity;
};

// The current user's stores, each opened on first use and closed once.
struct UserStores {
    HCERTSTORE handles[kStoreCount];
    bool tried[kStoreCount];
};

// What identifies a certificate to CertCompareCertificate, its issuer (a
// binary comparison) and serial number, hashed: the issuer's bytes and the
// serial number's least significant byte, which no normalisation of the
// number changes. Equal certificates have equal keys.
DWORD IssuerSerialKey(const CERT_INFO* info)
{
    DWORD hash = 2166136261u;
    for (DWORD i = 0; i < info->Issuer.cbData; ++i) {
        hash = (hash ^ info->Issuer.pbData[i]) * 16777619u;
    }
    BYTE serialLow = info->SerialNumber.cbData > 0 ? info->SerialNumber.pbData[0] : 0;
    return (hash ^ serialLow) * 16777619u;
}

// Decodes the encoded certificate into the file's record; the store is
// chosen by the length of the public key.
bool SetCertificate(PendingFile& file, const BYTE* encoded, DWORD length)
{
    file.certificate = nullptr;
    file.match = nullptr;
    if (length == 0) return false;
    file.certificate = g_certificateApi.CertCreateCertificateContext(kEncoding, encoded, length);
    if (file.certificate == nullptr) return false;
    const CERT_INFO* info = file.certificate->pCertInfo;
    file.store = info->SubjectPublicKeyInfo.PublicKey.cbData == kUncompressedP256KeyLength
                     ? kAddressBookStore
                     : kMyStore;
    file.key = IssuerSerialKey(info);
    return true;
}

// Whether the file's certificate is to be looked for in that store.
bool LooksIn(const PendingFile& file, int index)
{
    return file.certificate != nullptr && file.store == index;
}

HCERTSTORE OpenUserStore(UserStores& stores, StoreIndex index)
{
    if (!stores.tried[index]) {
        stores.tried[index] = true;
        stores.handles[index] = g_certificateApi.CertOpenStore(
            CERT_STORE_PROV_SYSTEM_W, kEncoding, 0, CERT_SYSTEM_STORE_CURRENT_USER,
            kStoreNames[index]);
    }
    return stores.handles[index];
}

void CloseUserStores(UserStores& stores)
{
    for (int i = 0; i < kStoreCount; ++i) {
        if (stores.handles[i] != nullptr) {
            g_certificateApi.CertCloseStore(stores.handles[i], CERT_CLOSE_STORE_FORCE_FLAG);
            stores.handles[i] = nullptr;
        }
    }
}

// One walk of the store: each entry, in the store's order, is taken by the
// first file still without a match whose certificate equals it (same issuer
// and serial number). So every file gets the first entry equal to its
// certificate that no earlier file took, and one entry only. The matches are
// duplicated: the store is changed only after the walk.
void FindMatches(HCERTSTORE store, StoreIndex index, PendingFile* files, size_t count)
{
    size_t unmatched = 0;
    for (size_t i = 0; i < count; ++i) {
        unmatched += LooksIn(files[i], index);
    }
    PCCERT_CONTEXT entry = nullptr;
    while (unmatched > 0 &&
           (entry = g_certificateApi.CertEnumCertificatesInStore(store, entry)) != nullptr) {
        DWORD key = IssuerSerialKey(entry->pCertInfo);
        for (size_t i = 0; i < count; ++i) {
            PendingFile& file = files[i];
            if (LooksIn(file, index) && file.match == nullptr && file.key == key &&
                g_certificateApi.CertCompareCertificate(kEncoding, file.certificate->pCertInfo,
                                                        entry->pCertInfo)) {
                file.match = g_certificateApi.CertDuplicateCertificateContext(entry);
                --unmatched;
                break;
            }
        }
    }
    if (entry != nullptr) g_certificateApi.CertFreeCertificateContext(entry);
}

// Deletes the file's match from its store (the deletion consumes the
// context, whether it succeeds or not).
bool DeleteMatch(PendingFile& file)
{
    PCCERT_CONTEXT match = file.match;
    file.match = nullptr;
    return g_certificateApi.CertDeleteCertificateFromStore(match) != FALSE;
}

// Writes the deletions back to the store's backing; without this a
// registry-backed store may keep them after closing.
void CommitStore(HCERTSTORE store)
{
    g_certificateApi.CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr);
}

// Deletes the pending files' certificates from their stores, one walk of
// each store that holds any, and then the files themselves.
void PurgePendingFiles(PendingFiles& pending, UserStores& stores)
{
    for (int index = 0; index < kStoreCount; ++index) {
        bool wanted = false;
        for (size_t i = 0; i < pending.count && !wanted; ++i) {
            wanted = LooksIn(pending.files[i], index);
        }
        HCERTSTORE store =
            wanted ? OpenUserStore(stores, static_cast<StoreIndex>(index)) : nullptr;
        if (store == nullptr) continue;

        FindMatches(store, static_cast<StoreIndex>(index), pending.files, pending.count);
        bool deleted = false;
        for (size_t i = 0; i < pending.count; ++i) {
            if (pending.files[i].match != nullptr) deleted = DeleteMatch(pending.files[i]) || deleted;
        }
        if (deleted) CommitStore(store);
    }
    // Each file goes after its certificate, whether that was found or not.
    for (size_t i = 0; i < pending.count; ++i) {
        DeleteCacheFile(pending.files[i].cache);
        if (pending.files[i].certificate != nullptr) {
            g_certificateApi.CertFreeCertificateContext(pending.files[i].certificate);
        }
    }
    pending.count = 0;
}

bool ReservePendingFiles(PendingFiles& pending, size_t capacity)
{
    HANDLE heap = GetProcessHeap();
    void* files = pending.files == nullptr
                      ? HeapAlloc(heap, 0, capacity * sizeof(PendingFile))
                      : HeapReAlloc(heap, 0, pending.files, capacity * sizeof(PendingFile));
    if (files == nullptr) return false;
    pending.files = static_cast<PendingFile*>(files);
    pending.capacity = capacity;
    return true;
}

// The next free record; when memory for more runs out, the files collected
// so far are purged first and their records reused.
PendingFile& NextPendingFile(PendingFiles& pending, UserStores& stores)
{
    if (pending.count == pending.capacity &&
        (pending.capacity > SIZE_MAX / 2 / sizeof(PendingFile) ||
         !ReservePendingFiles(pending, pending.capacity * 2))) {
        PurgePendingFiles(pending, stores);
    }
    return pending.files[pending.count];
}

}  // namespace

int DeleteCertificateFromSystemStore(const BYTE* encoded, DWORD length)
{
    if (encoded == nullptr || length == 0) return CERT_DELETE_BADARG;
    if (!LoadCertificateApi()) return CERT_DELETE_FAILED;

    PendingFile file = {};
    if (!SetCertificate(file, encoded, length)) return CERT_DELETE_FAILED;

    UserStores stores = {};
    HCERTSTORE store = OpenUserStore(stores, file.store);
    int result = CERT_DELETE_FAILED;
    if (store != nullptr) {
        FindMatches(store, file.store, &file, 1);
        if (file.match == nullptr) {
            result = CERT_DELETE_NOTFOUND;
        } else if (DeleteMatch(file)) {
            CommitStore(store);
            result = CERT_DELETE_OK;
        }
    }
    g_certificateApi.CertFreeCertificateContext(file.certificate);
    CloseUserStores(stores);
    return result;
}

int PurgeCacheDirectory(const char* root, const char* cacheDir, const char* prefix)
{
    if (root == nullptr || cacheDir == nullptr || prefix == nullptr || cacheDir[0] == '\0' ||
        prefix[0] == '\0') {
        return 0;
    }

    char pattern[MAX_PATH];
    if (FAILED(StringCchPrintfA(pattern, MAX_PATH, "%s\\%s*.cer", cacheDir, prefix))) return 0;
    LoadCacheFileCalls();
    TrustedOwners owners = {};
    LoadTrustedOwners(owners);
    CacheFolders folders = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    bool keepsOwners = true;
    WIN32_FIND_DATAA entry;
    HANDLE search = INVALID_HANDLE_VALUE;
    if (OpenCacheFolders(root, cacheDir, folders) && LoadCertificateApi()) {
        // A volume that keeps no security (FAT) has no owners to tell files
        // apart by: there every file is trusted, as the CSP's files always
        // were.
        keepsOwners = VolumeKeepsOwners(cacheDir);
        search = FindFirstFileA(pattern, &entry);
    }
    PendingFiles pending = {};
    UserStores stores = {};
    if (search != INVALID_HANDLE_VALUE && ReservePendingFiles(pending, kInitialPendingFiles)) {
        do {
            if (!IsCacheFile(entry, prefix)) continue;
            PendingFile& file = NextPendingFile(pending, stores);
            // A path that does not fit, or a file that does not open or
            // that the purge does not trust, is left alone.
            if (FAILED(StringCchPrintfA(file.cache.path, MAX_PATH, "%s\\%s", cacheDir,
                                        entry.cFileName)) ||
                !OpenCacheFile(file.cache, owners, keepsOwners)) {
                continue;
            }
            DWORD length = 0;
            const BYTE* content = ReadCacheFile(file.cache.file, &length);
            SetCertificate(file, content, length);
            ++pending.count;
        } while (FindNextFileA(search, &entry));
        PurgePendingFiles(pending, stores);
        HeapFree(GetProcessHeap(), 0, pending.files);
    }
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    CloseUserStores(stores);
    CloseCacheFolders(folders);
    FreeTrustedOwners(owners);
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

    return PurgeCacheDirectory(root, cacheDir, prefix);
}
