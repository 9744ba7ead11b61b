#include "certcache/cache_file.h"

#include <strsafe.h>

#include "common/function_binder.h"
#include "common/windows_version.h"

namespace {

// Larger than any real certificate; a larger file is not one.
const DWORD kMaxCertificateBytes = 64 * 1024;
// One cache file's content, with one byte more than a certificate may have,
// so that a larger file shows. Too large for the stack.
BYTE s_fileContent[kMaxCertificateBytes + 1];

typedef BOOL(WINAPI* SetFileInformationByHandleFn)(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type,
                                                    LPVOID info, DWORD size);
typedef BOOL(WINAPI* GetFileInformationByHandleExFn)(HANDLE file, FILE_INFO_BY_HANDLE_CLASS type,
                                                      LPVOID info, DWORD size);

// What the purge asks of an open file where Windows can (Vista and later;
// null before), looked up once per purge.
struct HandleCalls {
    // Reads only what the purge needs: GetFileInformationByHandle also asks
    // the volume for its serial number, for every file.
    GetFileInformationByHandleExFn GetFileInformationByHandleEx;
    // Deletes the file, and sets its attributes, through its handle.
    SetFileInformationByHandleFn SetFileInformationByHandle;
};
HandleCalls s_handle;

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

}  // namespace

bool IsCacheFile(const WIN32_FIND_DATAA& entry, const char* prefix)
{
    // What the search reports only saves opening the entry; the open handle
    // decides.
    if (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) {
        return false;
    }
    return IsCacheFileName(entry.cFileName, prefix);
}

namespace {

// Whether this Windows has reparse points (Windows 2000, 5.0, and later);
// a version that cannot be read counts as one that has them.
bool HasReparsePoints()
{
    DWORD major = WindowsMajorVersion();
    return major == 0 || major >= 5;
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
    if (s_handle.GetFileInformationByHandleEx != nullptr &&
        s_handle.GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag) &&
        s_handle.GetFileInformationByHandleEx(handle, FileStandardInfo, &standard,
                                              sizeof standard)) {
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

// Reads the whole open file into s_fileContent. A file that cannot be read,
// or is larger than any certificate, gives a length of 0.
DWORD ReadWholeFile(HANDLE file)
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

// Sets the open file's attributes: through its handle where Windows can
// (Vista and later) and the handle may, elsewhere by its name, which the
// handle holds in place. Nothing else about the file changes.
bool SetCacheFileAttributes(const CacheFile& file, DWORD attributes)
{
    if (attributes == 0) attributes = FILE_ATTRIBUTE_NORMAL;
    if (s_handle.SetFileInformationByHandle != nullptr && (file.access & FILE_WRITE_ATTRIBUTES)) {
        // Times of 0 are left as they are.
        FILE_BASIC_INFO basic = {};
        basic.FileAttributes = attributes;
        return s_handle.SetFileInformationByHandle(file.file, FileBasicInfo, &basic,
                                                   sizeof basic) != FALSE;
    }
    return SetFileAttributesA(file.path, attributes) != FALSE;
}

}  // namespace

void LoadCacheFileCalls()
{
    const FunctionBinding bindings[] = {
        OPTIONAL_FUNCTION(s_handle, GetFileInformationByHandleEx),
        OPTIONAL_FUNCTION(s_handle, SetFileInformationByHandle),
    };
    BindFunctions(GetModuleHandleA("kernel32.dll"), bindings, LookUpOptionalFunction);
}

// True when the long name is <prefix>...".cer", compared case-insensitively.
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

void CloseCacheFolders(CacheFolders& folders)
{
    if (folders.root != INVALID_HANDLE_VALUE) CloseHandle(folders.root);
    if (folders.cache != INVALID_HANDLE_VALUE) CloseHandle(folders.cache);
    folders.root = folders.cache = INVALID_HANDLE_VALUE;
}

const BYTE* ReadCacheFile(HANDLE file, DWORD* length)
{
    *length = ReadWholeFile(file);
    return s_fileContent;
}

bool OpenCacheFile(CacheFile& file, const TrustedOwners& owners, bool keepsOwners)
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

void DeleteCacheFile(CacheFile& file)
{
    const DWORD readOnly = FILE_ATTRIBUTE_READONLY;
    bool cleared = (file.attributes & readOnly) &&
                   SetCacheFileAttributes(file, file.attributes & ~readOnly);
    if (s_handle.SetFileInformationByHandle != nullptr && (file.access & DELETE)) {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        if (!s_handle.SetFileInformationByHandle(file.file, FileDispositionInfo, &disposition,
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
