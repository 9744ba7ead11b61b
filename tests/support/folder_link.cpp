#include "folder_link.h"

#include <windows.h>

namespace {

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
    for (int i = 0; i < 1000 && IsLink(link) != linked; ++i) Sleep(20);
    return IsLink(link) == linked;
}

}  // namespace

bool MakeFolderLink(const std::string& link, const std::string& target)
{
    return RunUnix("/bin/ln -s", {target, link}, link, true);
}

bool RemoveFolderLink(const std::string& link)
{
    return RunUnix("/bin/rm", {link}, link, false);
}
