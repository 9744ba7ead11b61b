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
    DWORD access;                // what that handle may do (OpenCacheFile)
    DWORD attributes;            // the file's attributes, read from it
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

// Whether this Windows has reparse points (Windows 2000, 5.0, and later).
bool HasReparsePoints()
{
    return LOBYTE(LOWORD(GetVersion())) >= 5;
}

// Opens path itself, not what a reparse point at path leads to. Windows NT
// 4.0 has no reparse points, and may refuse the flag: there, and only
// there, the path is opened without it.
HANDLE OpenNoFollow(const char* path, DWORD access, DWORD share, DWORD flags)
{
    HANDLE handle = CreateFileA(path, access, share, nullptr, OPEN_EXISTING,
                                flags | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_INVALID_PARAMETER &&
        !HasReparsePoints()) {
        handle = CreateFileA(path, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
    }
    return handle;
}

// Whether the open entry is a plain folder (folder) or a plain file with
// one name (!folder): no reparse point of any kind (a link, a junction, a
// mount point, and also a cloud placeholder or a deduplicated file, whose
// content opened this way is not the file's). A file with a second name
// may be another key's file, named by someone else with this key's prefix.
// The entry's attributes go to *attributes.
bool IsPlainEntry(HANDLE handle, bool folder, DWORD* attributes)
{
    DWORD links = 0;
    FILE_ATTRIBUTE_TAG_INFO tag;
    FILE_STANDARD_INFO standard;
    BY_HANDLE_FILE_INFORMATION info;
    // (A file system that answers neither class, as some network
    // redirectors may, still answers the whole record.)
    if (s_handleCalls.getInformation != nullptr &&
        s_handleCalls.getInformation(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
        s_handleCalls.getInformation(handle, FileStandardInfo, &standard, sizeof standard)) {
        *attributes = tag.FileAttributes;
        links = standard.NumberOfLinks;
    } else if (GetFileInformationByHandle(handle, &info)) {
        *attributes = info.dwFileAttributes;
        links = info.nNumberOfLinks;
    } else {
        return false;
    }
    if (*attributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
    if (folder) return (*attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return !(*attributes & FILE_ATTRIBUTE_DIRECTORY) && links == 1;
}

// The folders on the way to the cache files, held open for listing without
// FILE_SHARE_DELETE while the purge runs, so that neither can be renamed,
// deleted, replaced or turned into a link before the files in it are done
// with. (A handle with no data or delete access would take part in no
// sharing check, and hold nothing.)
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
    return OpenNoFollow(path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_FLAG_BACKUP_SEMANTICS);
}

void CloseFolders(CacheFolders& folders)
{
    if (folders.root != INVALID_HANDLE_VALUE) CloseHandle(folders.root);
    if (folders.cache != INVALID_HANDLE_VALUE) CloseHandle(folders.cache);
    folders.root = folders.cache = INVALID_HANDLE_VALUE;
}

// Opens and holds the cache root and the cache folder in it. True when both
// are held and are plain folders, no link. Neither folder's owner is
// judged: the root is made by whichever user runs the tool first, and the
// cache folder by whichever user's CSP caches first; each file is judged
// by its own owner.
bool OpenCacheFolders(const char* root, const char* cacheDir, CacheFolders& folders)
{
    DWORD attributes = 0;
    folders.root = OpenFolder(root);
    folders.cache = OpenFolder(cacheDir);
    return folders.root != INVALID_HANDLE_VALUE && folders.cache != INVALID_HANDLE_VALUE &&
           IsPlainEntry(folders.root, true, &attributes) &&
           IsPlainEntry(folders.cache, true, &attributes) && IsPlainFolderName(root) &&
           IsPlainFolderName(cacheDir);
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

// What the purge asks of a cache file, most first: to read it, delete it
// and clear its read-only attribute through one handle; to read and delete
// it; to read it only. Another program that holds the file without sharing
// deletion (the CSP, a backup agent, a scanner), or a file the user may
// read but not delete, still gives its certificate up.
const DWORD kCacheFileAccess[] = {GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES,
                                  GENERIC_READ | DELETE, GENERIC_READ};

// Opens a cache file for the purge into file.file: read, later deleted
// through the same handle or by its name after it is closed, and meanwhile
// shared for reading only, so that its name cannot be moved to another
// file. False when it does not open (locked, no access) or the purge does
// not trust it: it is then neither read nor deleted.
bool OpenCacheFile(PendingFile& file, const TrustedOwners& owners, bool keepsOwners)
{
    file.file = INVALID_HANDLE_VALUE;
    for (DWORD access : kCacheFileAccess) {
        file.file = OpenNoFollow(file.path, access, FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN);
        if (file.file != INVALID_HANDLE_VALUE) {
            file.access = access;
            break;
        }
        DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) return false;
    }
    if (file.file == INVALID_HANDLE_VALUE) return false;
    if (!IsPlainEntry(file.file, false, &file.attributes) ||
        (keepsOwners && !IsTrustedOwner(owners, file.file))) {
        CloseHandle(file.file);
        file.file = INVALID_HANDLE_VALUE;
        return false;
    }
    return true;
}

// Sets the open file's attributes: through its handle where Windows can
// (Vista and later) and the handle may, elsewhere by its name, which the
// handle holds in place. Nothing else about the file changes.
bool SetCacheFileAttributes(const PendingFile& file, DWORD attributes)
{
    if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
    if (s_handleCalls.setInformation != nullptr && (file.access & FILE_WRITE_ATTRIBUTES)) {
        // Times of 0 are left as they are.
        FILE_BASIC_INFO basic = {};
        basic.FileAttributes = attributes;
        return s_handleCalls.setInformation(file.file, FileBasicInfo, &basic, sizeof basic) !=
               FALSE;
    }
    return SetFileAttributesA(file.path, attributes) != FALSE;
}

// Deletes the open file: through its handle where Windows can (Vista and
// later) and the handle may, elsewhere by its name right after closing the
// handle. A read-only file loses that attribute first, and gets it back if
// it stays.
void DeleteCacheFile(PendingFile& file)
{
    const DWORD readOnly = FILE_ATTRIBUTE_READONLY;
    bool cleared = (file.attributes & readOnly) &&
                   SetCacheFileAttributes(file, file.attributes & ~readOnly);
    if (s_handleCalls.setInformation != nullptr && (file.access & DELETE)) {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        if (!s_handleCalls.setInformation(file.file, FileDispositionInfo, &disposition,
                                          sizeof disposition) &&
            cleared) {
            SetCacheFileAttributes(file, file.attributes);
        }
        CloseHandle(file.file);
    } else {
        CloseHandle(file.file);
        if (!DeleteFileA(file.path) && cleared) SetFileAttributesA(file.path, file.attributes);
    }
    file.file = INVALID_HANDLE_VALUE;
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
        DeleteCacheFile(pending.files[i]);
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
            if (FAILED(StringCchPrintfA(file.path, MAX_PATH, "%s\\%s", cacheDir,
                                        entry.cFileName))) {
                continue;
            }
            if (!OpenCacheFile(file, owners, keepsOwners)) continue;
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
