#include "certcache/cache_root.h"

#include <strsafe.h>

#include "common/function_binder.h"
#include "common/system_library.h"
#include "common/windows_version.h"

namespace {

typedef HRESULT(WINAPI* ShGetFolderPathFn)(HWND owner, int folder, HANDLE token,
                                           DWORD flags, LPSTR path);

// What the cache root takes from shell32 (Windows 2000 and later).
struct ShellFolderApi {
    ShGetFolderPathFn SHGetFolderPathA;
};

const int kLocalAppData = 0x001C;    // CSIDL_LOCAL_APPDATA
const int kCommonDocuments = 0x002E; // CSIDL_COMMON_DOCUMENTS
const DWORD kDefaultLocation = 1;    // SHGFP_TYPE_DEFAULT
const UINT kWindowsDirectorySize = 200;

const char kSuffix[] = "\\TEMP";
const char kNoWindowsDirectoryRoot[] = "C:\\TEMP";
const char kNoShellFolderRoot[] = "c:\\TEMP";

void SetFixedRoot(char root[MAX_PATH], const char* path)
{
    if (FAILED(StringCchCopyA(root, MAX_PATH, path))) root[0] = '\0';
}

// Windows directory + "\TEMP". A length of 0, or one that says the 200 bytes
// were too small (and nothing was written), gives "C:\TEMP".
void WindowsDirectoryRoot(const CacheRootCalls& calls, char root[MAX_PATH])
{
    UINT length = calls.getWindowsDirectory(root, kWindowsDirectorySize);
    if (length == 0 || length >= kWindowsDirectorySize ||
        FAILED(StringCchCatA(root, MAX_PATH, kSuffix))) {
        SetFixedRoot(root, kNoWindowsDirectoryRoot);
    }
}

// Shell folder + "\TEMP"; "c:\TEMP" when the lookup fails, returns no path,
// or the path with its suffix does not fit.
bool ShellFolderRoot(ShGetFolderPathFn getFolderPath, int folder, char root[MAX_PATH])
{
    if (getFolderPath == nullptr) return false;
    root[0] = '\0';
    HRESULT status = getFolderPath(nullptr, folder, nullptr, kDefaultLocation, root);
    return SUCCEEDED(status) && root[0] != '\0' &&
           SUCCEEDED(StringCchCatA(root, MAX_PATH, kSuffix));
}

const CacheRootCalls kSystemCalls = {LoadSystemLibrary, GetProcAddress, FreeLibrary,
                                     GetWindowsDirectoryA};

}  // namespace

bool GetCacheRootWith(const CacheRootCalls& calls, char root[MAX_PATH])
{
    DWORD major = WindowsMajorVersion();
    HMODULE shell = nullptr;

    if (major < 5) {
        WindowsDirectoryRoot(calls, root);
    } else {
        ShellFolderApi api = {};
        const FunctionBinding bindings[] = {OPTIONAL_FUNCTION(api, SHGetFolderPathA)};
        shell = LoadAndBindFunctions("shell32.dll", bindings, calls.getProcAddress,
                                     calls.loadLibrary, calls.freeLibrary);
        int folder = major == 5 ? kLocalAppData : kCommonDocuments;
        if (!ShellFolderRoot(api.SHGetFolderPathA, folder, root)) {
            SetFixedRoot(root, kNoShellFolderRoot);
        }
    }

    CreateDirectoryA(root, nullptr);
    if (shell != nullptr) calls.freeLibrary(shell);
    return true;
}

bool GetCacheRoot(char root[MAX_PATH])
{
    return GetCacheRootWith(kSystemCalls, root);
}
