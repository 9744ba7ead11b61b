#include "certcache/cert_purge.h"

#include <stdint.h>
#include <strsafe.h>
#include <wincrypt.h>

#include "certcache/cache_prefix.h"
#include "certcache/cache_root.h"
#include "certcache/certificate_api.h"
#include "certcache/file_owner.h"
#include "common/csp_name.h"
#include "common/function_lookup.h"

namespace {

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
const DWORD kUncompressedP256KeyLength = 65;

// Larger than any real certificate; a larger file is not one.
const DWORD kMaxCertificateBytes = 64 * 1024;
// One cache file's content, with one byte more than a certificate may have,
// so that a larger file shows. Too large for the stack.
BYTE s_fileContent[kMaxCertificateBytes + 1];

// Files collected before the stores are searched: enough for any real
// cache at the first allocation; more are added as needed.
const size_t kInitialPendingFiles = 256;

enum StoreIndex { kMyStore, kAddressBookStore, kStoreCount };
const wchar_t* const kStoreNames[kStoreCount] = {L"MY", L"addressbook"};

// One cache file, its certificate, and the store entry that certificate
// was found as.
struct PendingFile {
    char path[MAX_PATH];
    HANDLE file;                 // open from the checks until the deletion
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

typedef BOOL(WINAPI* SetFileInformationByHandleFn)(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type,
                                                    LPVOID info, DWORD size);
typedef BOOL(WINAPI* GetFileInformationByHandleExFn)(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type,
                                                      LPVOID info, DWORD size);

// What the purge asks of an open file where Windows can (Vista and later;
// null before), looked up once per purge.
struct HandleCalls {
    // Reads only what the purge needs: GetFileInformationByHandle also asks
    // the volume for its serial number, for every file.
    GetFileInformationByHandleExFn getInformation;
    // Deletes the file through its handle.
    SetFileInformationByHandleFn setInformation;
};
HandleCalls s_handleCalls;

// The current user's stores, each opened on first use and closed once.
struct UserStores {
    HCERTSTORE handles[kStoreCount];
    bool tried[kStoreCount];
};

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

// A folder is no cache file. Nor is an entry the search reports as a link
// (a symbolic link or a junction): it is never followed. What the search
// reports only saves opening the entry; the open handle decides.
bool IsCacheFile(const WIN32_FIND_DATAA& entry, const char* prefix)
{
    if (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
        return false;
    }
    return IsCacheFileName(entry.cFileName, prefix);
}

// Opens path itself, not what a reparse point at path leads to. Windows
// before 2000 has no reparse points, and may refuse the flag: there the
// path is opened without it.
HANDLE OpenNoFollow(const char* path, DWORD access, DWORD share, DWORD flags)
{
    HANDLE handle = CreateFileA(path, access, share, nullptr, OPEN_EXISTING,
                                flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER) {
        handle = CreateFileA(path, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
    }
    return handle;
}

// Whether the open entry is a plain folder (folder) or a plain file with
// one name (!folder): no reparse point of any kind (a link, a junction, a
// mount point, and also a cloud placeholder or a deduplicated file, whose
// content opened this way is not the file's). A file with a second name
// may be another key's file, named by someone else with this key's prefix.
bool IsPlainEntry(HANDLE handle, bool folder)
{
    DWORD attributes = 0;
    DWORD links = 0;
    FILE_ATTRIBUTE_TAG_INFO tag;
    FILE_STANDARD_INFO standard;
    BY_HANDLE_FILE_INFORMATION info;
    // (A file system that answers neither class, as some network
    // redirectors may, still answers the whole record.)
    if (s_handleCalls.getInformation != nullptr &&
        s_handleCalls.getInformation(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
        s_handleCalls.getInformation(handle, FileStandardInfo, &standard, sizeof standard)) {
        attributes = tag.FileAttributes;
        links = standard.NumberOfLinks;
    } else if (GetFileInformationByHandle(handle, &info)) {
        attributes = info.dwFileAttributes;
        links = info.nNumberOfLinks;
    } else {
        return false;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
    if (folder) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return !(attributes & FILE_ATTRIBUTE_DIRECTORY) && links == 1;
}

// The folders on the way to the cache files, held open without
// FILE_SHARE_DELETE while the purge runs, so that neither can be renamed,
// replaced or turned into a link before the files in it are done with.
struct CacheFolders {
    HANDLE root;
    HANDLE cache;
};

// The attributes of the name, once its folder is held open: Wine opens a
// link to a folder as the folder it points at, whatever the flags, but
// reports the link by its name. The name cannot be moved to another folder
// while the handle is held.
bool IsPlainFolderName(const char* path)
{
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

HANDLE OpenFolder(const char* path)
{
    return OpenNoFollow(path, READ_CONTROL | FILE_READ_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_BACKUP_SEMANTICS);
}

void CloseFolders(CacheFolders& folders)
{
    if (folders.root != INVALID_HANDLE_VALUE) CloseHandle(folders.root);
    if (folders.cache != INVALID_HANDLE_VALUE) CloseHandle(folders.cache);
    folders.root = folders.cache = INVALID_HANDLE_VALUE;
}

// Opens the cache root and the cache folder in it. True when both are plain
// folders, no link, and the cache folder's owner is trusted (whoever owns
// it can rename and replace the files in it). The root's owner is not
// judged: the tool creates the root as whichever user runs it first.
bool OpenCacheFolders(const char* root, const char* cacheDir, const TrustedOwners& owners,
                      bool keepsOwners, CacheFolders& folders)
{
    folders.root = OpenFolder(root);
    folders.cache = OpenFolder(cacheDir);
    return folders.root != INVALID_HANDLE_VALUE && folders.cache != INVALID_HANDLE_VALUE &&
           IsPlainEntry(folders.root, true) && IsPlainEntry(folders.cache, true) &&
           IsPlainFolderName(root) && IsPlainFolderName(cacheDir) &&
           (!keepsOwners || IsTrustedOwner(owners, folders.cache));
}

// Reads the whole open file into s_fileContent. A file that cannot be read,
// or is larger than any certificate, gives a length of 0.
DWORD ReadCacheFile(HANDLE file)
{
    DWORD total = 0;
    DWORD got = 0;
    while (total < sizeof s_fileContent) {
        DWORD wanted = sizeof s_fileContent - total;
        if (!ReadFile(file, s_fileContent + total, wanted, &got, nullptr)) return 0;
        total += got;
        // Less than asked for: the end of the file.
        if (got < wanted) break;
    }
    return total <= kMaxCertificateBytes ? total : 0;
}

// Opens a cache file for the purge: read, later deleted through the same
// handle or right after it is closed, and meanwhile shared for reading
// only, so that its name cannot be moved to another file. The invalid
// handle when it does not open (locked, no access) or the purge does not
// trust it: it is then neither read nor deleted.
HANDLE OpenCacheFile(const char* path, const TrustedOwners& owners, bool keepsOwners)
{
    HANDLE file = OpenNoFollow(path, GENERIC_READ | DELETE, FILE_SHARE_READ,
                               FILE_FLAG_SEQUENTIAL_SCAN);
    if (file != INVALID_HANDLE_VALUE &&
        (!IsPlainEntry(file, false) || (keepsOwners && !IsTrustedOwner(owners, file)))) {
        CloseHandle(file);
        file = INVALID_HANDLE_VALUE;
    }
    return file;
}

// Deletes the open file through its handle where Windows can (Vista and
// later), and elsewhere by its name right after closing the handle.
void DeleteCacheFile(HANDLE file, const char* path)
{
    if (s_handleCalls.setInformation != nullptr) {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        s_handleCalls.setInformation(file, FileDispositionInfo, &disposition, sizeof disposition);
        CloseHandle(file);
    } else {
        CloseHandle(file);
        DeleteFileA(path);
    }
}

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
        DeleteCacheFile(pending.files[i].file, pending.files[i].path);
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
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    s_handleCalls.getInformation =
        LookUpOptional<GetFileInformationByHandleExFn>(kernel, "GetFileInformationByHandleEx");
    s_handleCalls.setInformation =
        LookUpOptional<SetFileInformationByHandleFn>(kernel, "SetFileInformationByHandle");
    TrustedOwners owners = {};
    LoadTrustedOwners(owners);
    // A volume that keeps no security (FAT) has no owners to tell files
    // apart by: there every file is trusted, as the CSP's files always were.
    bool keepsOwners = VolumeKeepsOwners(cacheDir);
    CacheFolders folders = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    WIN32_FIND_DATAA entry;
    HANDLE search = INVALID_HANDLE_VALUE;
    if (OpenCacheFolders(root, cacheDir, owners, keepsOwners, folders) && LoadCertificateApi()) {
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
            if (FAILED(StringCchPrintfA(file.path, MAX_PATH, "%s\\%s", cacheDir,
                                        entry.cFileName))) {
                continue;
            }
            file.file = OpenCacheFile(file.path, owners, keepsOwners);
            if (file.file == INVALID_HANDLE_VALUE) continue;
            SetCertificate(file, s_fileContent, ReadCacheFile(file.file));
            ++pending.count;
        } while (FindNextFileA(search, &entry));
        PurgePendingFiles(pending, stores);
        HeapFree(GetProcessHeap(), 0, pending.files);
    }
    if (search != INVALID_HANDLE_VALUE) FindClose(search);
    CloseUserStores(stores);
    CloseFolders(folders);
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
