#include "folder_link.h"

#include <windows.h>
#include <winioctl.h>

#include <vector>

#include "time_factor.h"

bool UnderWine() { return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr; }

namespace {

std::wstring Wide(const std::string& text)
{
    int size = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::vector<wchar_t> wide(size > 0 ? size : 1);
    MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    return wide.data();
}

// A mount point's reparse data (the layout of REPARSE_DATA_BUFFER's
// MountPointReparseBuffer): the target as the NT path "\??\C:\...", and as
// it is shown.
struct MountPoint {
    DWORD tag;
    WORD dataLength, reserved;
    WORD substituteOffset, substituteLength, printOffset, printLength;
    wchar_t paths[2 * MAX_PATH + 8];
};

// A junction: an empty folder made a mount point of the target folder, as
// any user may (FSCTL_SET_REPARSE_POINT needs no privilege for one).
bool MakeJunction(const std::wstring& link, const std::wstring& target)
{
    wchar_t full[MAX_PATH] = {};
    DWORD length = GetFullPathNameW(target.c_str(), MAX_PATH, full, nullptr);
    if (length == 0 || length >= MAX_PATH || !CreateDirectoryW(link.c_str(), nullptr)) return false;
    std::wstring substitute = L"\\??\\" + std::wstring(full);
    MountPoint data = {};
    data.tag = IO_REPARSE_TAG_MOUNT_POINT;
    data.substituteLength = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
    data.printOffset = static_cast<WORD>(data.substituteLength + sizeof(wchar_t));
    data.printLength = static_cast<WORD>(length * sizeof(wchar_t));
    memcpy(data.paths, substitute.c_str(), data.substituteLength);
    memcpy(reinterpret_cast<BYTE*>(data.paths) + data.printOffset, full, data.printLength);
    data.dataLength = static_cast<WORD>(4 * sizeof(WORD) + data.printOffset + data.printLength + sizeof(wchar_t));
    HANDLE folder = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD returned = 0;
    bool made = folder != INVALID_HANDLE_VALUE &&
                DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, &data, 8 + data.dataLength, nullptr, 0, &returned,
                                nullptr);
    if (folder != INVALID_HANDLE_VALUE) CloseHandle(folder);
    if (!made) RemoveDirectoryW(link.c_str());
    return made;
}

typedef char*(CDECL* UnixFileName)(LPCWSTR path);

bool IsLink(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Runs the Unix program with the Unix paths of the Windows paths, and waits
// (at most 20 s; Wine gives no handle to wait on) until link is there or gone.
bool RunUnix(std::string command, std::initializer_list<std::string> paths,
             const std::string& link, bool linked)
{
    UnixFileName toUnix = reinterpret_cast<UnixFileName>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    for (const std::string& path : paths) {
        char* unixPath = toUnix ? toUnix(std::wstring(path.begin(), path.end()).c_str()) : nullptr;
        if (unixPath == nullptr) return false;
        command += " \"" + std::string(unixPath) + "\"";
        HeapFree(GetProcessHeap(), 0, unixPath);
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    for (DWORD waited = 0; waited < ScaledMs(20000) && IsLink(link) != linked; waited += 20) {
        Sleep(20);
    }
    return IsLink(link) == linked;
}

}  // namespace

// Under Wine a link made on the Unix side; on Windows a symbolic link where
// the user holds the privilege, else a junction.
bool MakeFolderLink(const std::string& link, const std::string& target)
{
    if (UnderWine()) return RunUnix("/bin/ln -s", {target, link}, link, true);
    typedef BOOLEAN(WINAPI * CreateLink)(LPCWSTR, LPCWSTR, DWORD);
    CreateLink create = reinterpret_cast<CreateLink>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateSymbolicLinkW")));
    if (create != nullptr && create(Wide(link).c_str(), Wide(target).c_str(), 1 /* a folder */) && IsLink(link)) {
        return true;
    }
    return MakeJunction(Wide(link), Wide(target));
}

bool RemoveFolderLink(const std::string& link)
{
    if (UnderWine()) return RunUnix("/bin/rm", {link}, link, false);
    return IsLink(link) && RemoveDirectoryW(Wide(link).c_str()) && !IsLink(link);
}
