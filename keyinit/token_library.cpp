#include "keyinit/token_library.h"

#include <mbstring.h>
#include <strsafe.h>

#include "common/csp_name.h"
#include "common/system_library.h"

namespace {

const char kProviderKeyBase[] = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\";
const char kImagePathValue[] = "Image Path";
const char kTokenLibraryFile[] = "Korrim.dll";

// Whether the path names its drive or share: "X:\..." or "\\...". Any
// other path is resolved against a current folder, which anything may be.
bool IsAbsolutePath(const char* path)
{
    char drive = path[0];
    bool letter = (drive >= 'A' && drive <= 'Z') || (drive >= 'a' && drive <= 'z');
    return (letter && path[1] == ':' && path[2] == '\\') || (path[0] == '\\' && path[1] == '\\');
}

// Cuts the registered CSP file's path after its folder's last backslash and
// copies the folder into directory; false for a bare file name, a path that
// is not absolute, or a folder that does not fit.
bool DirectoryOfImagePath(char* path, char directory[MAX_PATH])
{
    // Multibyte-aware: under a DBCS code page a trail byte may be 0x5C.
    unsigned char* slash = _mbsrchr(reinterpret_cast<unsigned char*>(path), '\\');
    if (slash == NULL || !IsAbsolutePath(path)) {
        return false;
    }
    slash[1] = '\0';
    return SUCCEEDED(StringCchCopyA(directory, MAX_PATH, path));
}

}  // namespace

const char* const kTokenEntryNames[kTokenEntryCount] = {
#define TOKEN_ENTRY_NAME(name, kind) #name,
    TOKEN_API_ENTRY_POINTS(TOKEN_ENTRY_NAME)
#undef TOKEN_ENTRY_NAME
};

TokenLibrary g_tokenLibrary = {};

bool OpenTokenLibrary()
{
    char directory[MAX_PATH] = {};
    if (!LocateCspDirectory(directory)) {
        return false;
    }
    return LoadTokenLibrary(directory);
}

bool LocateCspDirectory(char directory[MAX_PATH])
{
    char subkey[MAX_PATH] = {};
    if (FAILED(StringCchCopyA(subkey, MAX_PATH, kProviderKeyBase)) ||
        FAILED(StringCchCatA(subkey, MAX_PATH, kCspName))) {
        return false;
    }

    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }

    // One byte more than the value may fill, so that an unterminated value
    // can always be terminated inside the buffer.
    char value[MAX_PATH + 1] = {};
    DWORD size = MAX_PATH;
    DWORD type = REG_NONE;
    LONG status = RegQueryValueExA(key, kImagePathValue, NULL, &type,
                                   reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);

    directory[0] = '\0';
    if (status != ERROR_SUCCESS) {
        // Missing, unreadable or too long: the library is then looked for by
        // its bare name.
        return true;
    }
    value[size] = '\0';

    // The CryptoAPI expands an expandable value when it loads the CSP
    // (%ProgramFiles%\...). A result that does not fit loads nothing.
    char expanded[MAX_PATH + 1] = {};
    char* path = value;
    if (type == REG_EXPAND_SZ) {
        // (The ANSI function may write one byte past the count it is given.)
        DWORD length = ExpandEnvironmentStringsA(value, expanded, MAX_PATH);
        if (length == 0 || length > MAX_PATH) {
            return false;
        }
        path = expanded;
    }
    return DirectoryOfImagePath(path, directory);
}

bool LoadTokenLibrary(const char* directory)
{
    // Without a registered folder the library is looked for where a shared
    // library is installed, the system folder, and nowhere else: never
    // beside the tool or in the current folder, where anything may lie.
    char systemFolder[MAX_PATH] = {};
    if (directory[0] == '\0') {
        if (!GetSystemFolder(systemFolder)) {
            return false;
        }
        directory = systemFolder;
    }

    char path[MAX_PATH] = {};
    if (FAILED(StringCchCopyA(path, MAX_PATH, directory)) ||
        FAILED(StringCchCatA(path, MAX_PATH, kTokenLibraryFile))) {
        // Never load a library from a cut-off path.
        return false;
    }

    // A library loads DLLs of its own by bare name as it works (a transport,
    // say), which the maker's installer put beside it: where the search is
    // restricted to the system folder, the library's registered folder is
    // searched too while the library's own code runs (its loading, each
    // call, its unloading), and nothing else (the tool's folder, the
    // current one and PATH stay out).
    if (directory == systemFolder ||
        FAILED(StringCchCopyA(g_tokenLibrary.folder, MAX_PATH, directory))) {
        g_tokenLibrary.folder[0] = '\0';
    }

    // By its full path; its own dependencies are looked for beside it first,
    // then in the system folder.
    EnterTokenLibraryFolder();
    g_tokenLibrary.module = LoadLibraryExA(path, NULL, LoadFlagsForLibraryFolder());
    LeaveTokenLibraryFolder();
    if (g_tokenLibrary.module == NULL) {
        return false;
    }
    return BindTokenApi();
}

void EnterTokenLibraryFolder()
{
    if (g_tokenLibrary.folder[0] != '\0' && g_tokenLibrary.searchFolder == NULL) {
        g_tokenLibrary.searchFolder = AddLibraryFolderToSearch(g_tokenLibrary.folder);
    }
}

void LeaveTokenLibraryFolder()
{
    RemoveLibraryFolderFromSearch(g_tokenLibrary.searchFolder);
    g_tokenLibrary.searchFolder = NULL;
}

bool BindTokenApi()
{
    for (int i = 0; i < kTokenEntryCount; ++i) {
        FARPROC entry = GetProcAddress(g_tokenLibrary.module, kTokenEntryNames[i]);
        g_tokenLibrary.api.entries[i] = entry;
        if (entry == NULL) {
            return false;
        }
    }
    return true;
}

void UnloadTokenLibrary()
{
    if (g_tokenLibrary.module != NULL) {
        EnterTokenLibraryFolder();
        FreeLibrary(g_tokenLibrary.module);
        g_tokenLibrary.module = NULL;
    }
    LeaveTokenLibraryFolder();
    g_tokenLibrary.folder[0] = '\0';
}
