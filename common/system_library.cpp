#include "common/system_library.h"

#include <strsafe.h>

namespace {

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD flags);
typedef BOOL(WINAPI* SetDllDirectoryAFn)(LPCSTR path);

// Flag values of the loader update, spelled out: older headers lack them.
const DWORD kSearchDllLoadDir = 0x00000100;  // LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
const DWORD kSearchSystem32 = 0x00000800;    // LOAD_LIBRARY_SEARCH_SYSTEM32

bool s_searchRestricted = false;

}  // namespace

bool RestrictDllSearchToSystemFolder(ProcLookup lookup)
{
    // kernel32 is in every process before the process's own code runs: looking
    // it up loads nothing.
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == NULL) {
        return false;
    }
    SetDefaultDllDirectoriesFn setDefaultDllDirectories =
        reinterpret_cast<SetDefaultDllDirectoriesFn>(
            reinterpret_cast<void (*)()>(lookup(kernel, "SetDefaultDllDirectories")));
    if (setDefaultDllDirectories != NULL && setDefaultDllDirectories(kSearchSystem32)) {
        s_searchRestricted = true;
        return true;
    }
    // Older loaders: at least the current folder leaves the search (from
    // Windows XP SP1 on).
    SetDllDirectoryAFn setDllDirectory = reinterpret_cast<SetDllDirectoryAFn>(
        reinterpret_cast<void (*)()>(lookup(kernel, "SetDllDirectoryA")));
    if (setDllDirectory != NULL) {
        setDllDirectory("");
    }
    return false;
}

bool IsDllSearchRestricted()
{
    return s_searchRestricted;
}

bool GetSystemFolder(char path[MAX_PATH])
{
    path[0] = '\0';
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    // 0 is a failure; MAX_PATH or more is the size it would have needed.
    if (length == 0 || length >= MAX_PATH || FAILED(StringCchCatA(path, MAX_PATH, "\\"))) {
        path[0] = '\0';
        return false;
    }
    return true;
}

HMODULE WINAPI LoadSystemLibrary(LPCSTR name)
{
    char path[MAX_PATH];
    if (!GetSystemFolder(path) || FAILED(StringCchCatA(path, MAX_PATH, name))) {
        return NULL;
    }
    // By its full path, so no other folder is searched for it. Its own
    // dependencies: the system folder (restricted search), or its own
    // folder, the system folder, first (the altered search order).
    DWORD flags = IsDllSearchRestricted() ? kSearchSystem32 : LOAD_WITH_ALTERED_SEARCH_PATH;
    return LoadLibraryExA(path, NULL, flags);
}

DWORD LoadFlagsForLibraryFolder()
{
    // The search flags cannot be combined with the altered search order, and
    // exist only where the search could be restricted.
    return IsDllSearchRestricted() ? kSearchDllLoadDir | kSearchSystem32
                                   : LOAD_WITH_ALTERED_SEARCH_PATH;
}
