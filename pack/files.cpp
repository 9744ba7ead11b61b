// Text, files and folders. A deletion decides on what its handle opened:
// the object, not a name checked earlier (DeleteFileIf, DeleteEmptyFolder,
// DeleteLink), through NtSetInformationFile's delete disposition (NT 4.0
// and later).
#include <string.h>

#include "runner.h"

std::string Utf8(const Str& text)
{
    char buffer[4096] = {};
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, buffer, sizeof(buffer) - 1, NULL, NULL);
    return buffer;
}

Str Wide(const std::string& text)
{
    wchar_t buffer[4096] = {};
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, buffer, ARRAYSIZE(buffer) - 1);
    return buffer;
}

std::string Hex(const BYTE* bytes, size_t size)
{
    std::string text;
    char pair[3];
    for (size_t i = 0; i < size; ++i) {
        StringCchPrintfA(pair, ARRAYSIZE(pair), "%02x", bytes[i]);
        text += pair;
    }
    return text.empty() ? "-" : text;
}

std::vector<BYTE> Unhex(const std::string& text)
{
    std::vector<BYTE> bytes;
    for (size_t i = 0; text != "-" && i + 1 < text.size(); i += 2) {
        bytes.push_back(static_cast<BYTE>(strtoul(text.substr(i, 2).c_str(), NULL, 16)));
    }
    return bytes;
}

Str SystemFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetSystemDirectoryW(path, MAX_PATH);
    return path;
}

Str SystemDrive()
{
    wchar_t path[MAX_PATH] = {};
    GetWindowsDirectoryW(path, MAX_PATH);
    return Str(path).substr(0, 2);
}

namespace {

bool ReadHandle(HANDLE file, std::vector<BYTE>* bytes)
{
    DWORD size = GetFileSize(file, NULL), read = 0;
    if (size == INVALID_FILE_SIZE) return false;
    bytes->assign(size, 0);
    return (size == 0 || ReadFile(file, &(*bytes)[0], size, &read, NULL)) && read == size;
}

}  // namespace

bool ReadFileBytes(const Str& path, std::vector<BYTE>* bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = ReadHandle(file, bytes);
    CloseHandle(file);
    return ok;
}

// Written through to the disk before it returns: a power cut leaves the
// whole file or the old one's name, never an empty copy.
bool WriteFileBytes(const Str& path, const std::vector<BYTE>& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    BOOL ok = bytes.empty() || WriteFile(file, &bytes[0], static_cast<DWORD>(bytes.size()), &written, NULL);
    ok = ok && FlushFileBuffers(file);
    CloseHandle(file);
    return ok && written == bytes.size();
}

bool Exists(const Str& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsLink(const Str& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool IsFolder(const Str& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool InLink(const Str& path)
{
    for (size_t end = path.size(); end != Str::npos && end > 3; end = path.rfind(L'\\', end - 1)) {
        if (IsLink(path.substr(0, end))) return true;
    }
    return false;
}

bool SameObject(const Str& one, const Str& other)
{
    BY_HANDLE_FILE_INFORMATION info[2] = {};
    const Str* paths[] = {&one, &other};
    for (int i = 0; i < 2; ++i) {
        HANDLE handle = CreateFileW(paths[i]->c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
        if (handle == INVALID_HANDLE_VALUE) return false;
        BOOL got = GetFileInformationByHandle(handle, &info[i]);
        CloseHandle(handle);
        if (!got) return false;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

std::vector<Str> List(const Str& folder)
{
    std::vector<Str> names;
    WIN32_FIND_DATAW entry;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if (wcscmp(entry.cFileName, L".") != 0 && wcscmp(entry.cFileName, L"..") != 0) {
            names.push_back(entry.cFileName);
        }
    } while (FindNextFileW(search, &entry));
    FindClose(search);
    return names;
}

namespace {

// NtSetInformationFile's classes and blocks (ntddk.h): the attributes, and
// the delete disposition (done when the last handle closes).
const ULONG kFileBasicInformation = 4, kFileDispositionInformation = 13;
struct IoStatus {
    ULONG_PTR status, information;
};
struct BasicInformation {
    LARGE_INTEGER creation, access, write, change;
    ULONG attributes;
};

// Opens the thing itself (a link, not its target), for deleting.
HANDLE OpenForDelete(const Str& path, DWORD access)
{
    return CreateFileW(path.c_str(), access | DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                       FILE_SHARE_READ, NULL, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
}

// Marks what the handle opened for deletion (read-only cleared first, as a
// read-only file's disposition fails), and closes it; true when it is gone.
bool DeleteOpened(HANDLE handle, const Str& path, DWORD attributes)
{
    auto set = g_later.NtSetInformationFile;
    IoStatus status = {};
    bool marked = false;
    if (set != NULL) {
        if (attributes & FILE_ATTRIBUTE_READONLY) {
            BasicInformation basic = {};
            basic.attributes = (attributes & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_ARCHIVE;
            set(handle, &status, &basic, sizeof(basic), kFileBasicInformation);
        }
        BOOLEAN yes = TRUE;
        marked = set(handle, &status, &yes, sizeof(yes), kFileDispositionInformation) == 0;
    }
    CloseHandle(handle);
    return marked && !Exists(path);
}

}  // namespace

bool DeleteFileIf(const Str& path, bool (*check)(const Str& path, const std::vector<BYTE>& bytes))
{
    HANDLE file = OpenForDelete(path, GENERIC_READ);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info = {};
    std::vector<BYTE> bytes;
    if (!GetFileInformationByHandle(file, &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ||
        !ReadHandle(file, &bytes) || !check(path, bytes)) {
        CloseHandle(file);
        return false;
    }
    return DeleteOpened(file, path, info.dwFileAttributes);
}

namespace {

bool DeleteFolderOrLink(const Str& path, bool link)
{
    HANDLE folder = OpenForDelete(path, 0);
    if (folder == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(folder, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) != link) {
        CloseHandle(folder);
        return false;
    }
    return DeleteOpened(folder, path, info.dwFileAttributes);  // a folder's fails unless it is empty
}

// Wine 8 keeps a link to a folder as a Unix symbolic link that no Windows
// call removes (a delete disposition through a handle leaves it in place):
// there the link itself is removed with /bin/rm, which never follows one
// and removes no folder. Wine gives no handle to wait on for a Unix
// program: it waits until the link is gone.
bool RemoveUnixLink(const Str& path)
{
    auto unixName = g_later.wine_get_unix_file_name;
    char* name = unixName != NULL ? unixName(path.c_str()) : NULL;
    if (name == NULL) return false;
    std::string command = std::string("/bin/rm -- \"") + name + "\"";
    HeapFree(GetProcessHeap(), 0, name);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) return false;
    for (int i = 0; i < 500 && IsLink(path); ++i) Sleep(20);
    return !IsLink(path);
}

}  // namespace

bool DeleteEmptyFolder(const Str& path) { return DeleteFolderOrLink(path, false); }

bool DeleteLink(const Str& path) { return g_wine ? IsLink(path) && RemoveUnixLink(path) : DeleteFolderOrLink(path, true); }

Str ValueName(const std::string& hex)
{
    std::vector<BYTE> name = Unhex(hex);
    name.push_back(0);
    name.push_back(0);
    return reinterpret_cast<const wchar_t*>(&name[0]);
}

// The parts of text between separators (at least one, maybe empty).
std::vector<std::string> Split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

std::vector<std::string> Fields(const std::string& line) { return Split(line, '\t'); }
