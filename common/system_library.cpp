#include "common/system_library.h"

#include <strsafe.h>

#include "common/function_binder.h"

namespace {

typedef BOOL(WINAPI* SetDefaultDllDirectoriesFn)(DWORD flags);
typedef BOOL(WINAPI* SetDllDirectoryAFn)(LPCSTR path);
typedef void*(WINAPI* AddDllDirectoryFn)(LPCWSTR path);
typedef BOOL(WINAPI* RemoveDllDirectoryFn)(void* cookie);

// Flag values of the loader update, spelled out: older headers lack them.
const DWORD kSearchDllLoadDir = 0x00000100;  // LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
const DWORD kSearchUserDirs = 0x00000400;    // LOAD_LIBRARY_SEARCH_USER_DIRS
const DWORD kSearchSystem32 = 0x00000800;    // LOAD_LIBRARY_SEARCH_SYSTEM32

bool s_searchRestricted = false;
// The loader update's functions, found where the search was restricted.
SetDefaultDllDirectoriesFn s_setDefaultDllDirectories = NULL;
AddDllDirectoryFn s_addDllDirectory = NULL;
RemoveDllDirectoryFn s_removeDllDirectory = NULL;

// The loader's functions that restrict the search: the loader update's
// (Windows 8 on; Vista and 7 with update KB2533623) and SetDllDirectoryA
// (XP SP1 on).
struct LoaderApi {
    SetDefaultDllDirectoriesFn SetDefaultDllDirectories;
    AddDllDirectoryFn AddDllDirectory;
    RemoveDllDirectoryFn RemoveDllDirectory;
    SetDllDirectoryAFn SetDllDirectoryA;
};

}  // namespace

bool RestrictDllSearchToSystemFolder(ProcLookup lookup)
{
    // kernel32 is in every process before the process's own code runs: looking
    // it up loads nothing.
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == NULL) {
        return false;
    }
    LoaderApi api = {};
    const FunctionBinding bindings[] = {
        OPTIONAL_FUNCTION(api, SetDefaultDllDirectories),
        OPTIONAL_FUNCTION(api, AddDllDirectory),
        OPTIONAL_FUNCTION(api, RemoveDllDirectory),
        OPTIONAL_FUNCTION(api, SetDllDirectoryA),
    };
    BindFunctions(kernel, bindings, lookup);
    if (api.SetDefaultDllDirectories != NULL && api.SetDefaultDllDirectories(kSearchSystem32)) {
        s_searchRestricted = true;
        // The same update brought these.
        s_setDefaultDllDirectories = api.SetDefaultDllDirectories;
        s_addDllDirectory = api.AddDllDirectory;
        s_removeDllDirectory = api.RemoveDllDirectory;
        return true;
    }
    // Older loaders: at least the current folder leaves the search (from
    // Windows XP SP1 on).
    if (api.SetDllDirectoryA != NULL) {
        api.SetDllDirectoryA("");
    }
    return false;
}

bool IsDllSearchRestricted()
{
    return s_searchRestricted;
}

void* AddLibraryFolderToSearch(const char* folder)
{
    if (!s_searchRestricted || s_addDllDirectory == NULL || s_removeDllDirectory == NULL) {
        return NULL;
    }
    wchar_t wide[MAX_PATH] = {};
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, folder, -1, wide, MAX_PATH) == 0) {
        return NULL;
    }
    void* added = s_addDllDirectory(wide);
    if (added == NULL) {
        return NULL;
    }
    // Added folders are searched only while the default directories say so.
    if (!s_setDefaultDllDirectories(kSearchSystem32 | kSearchUserDirs)) {
        s_removeDllDirectory(added);
        return NULL;
    }
    return added;
}

void RemoveLibraryFolderFromSearch(void* added)
{
    if (added == NULL) {
        return;
    }
    s_setDefaultDllDirectories(kSearchSystem32);
    s_removeDllDirectory(added);
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
