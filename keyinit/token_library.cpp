#include "keyinit/token_library.h"

#include <mbstring.h>
#include <strsafe.h>

#include "common/csp_name.h"
#include "common/system_library.h"

namespace {

const char kProviderKeyBase[] = "SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\";
const char kImagePathValue[] = "Image Path";
const char kTokenLibraryFile[] = "Korrim.dll";

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
    LONG status = RegQueryValueExA(key, kImagePathValue, NULL, NULL,
                                   reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);

    directory[0] = '\0';
    if (status != ERROR_SUCCESS) {
        // Missing, unreadable or too long: the library is then looked for by
        // its bare name.
        return true;
    }
    value[size] = '\0';

    // Multibyte-aware: under a DBCS code page a trail byte may be 0x5C.
    unsigned char* slash = _mbsrchr(reinterpret_cast<unsigned char*>(value), '\\');
    if (slash == NULL) {
        return false;
    }
    slash[1] = '\0';
    return SUCCEEDED(StringCchCopyA(directory, MAX_PATH, value));
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
    // searched too while it is loaded, and nothing else (the tool's folder,
    // the current one and PATH stay out).
    if (directory != systemFolder && g_tokenLibrary.searchFolder == NULL) {
        g_tokenLibrary.searchFolder = AddLibraryFolderToSearch(directory);
    }

    // By its full path; its own dependencies are looked for beside it first,
    // then in the system folder.
    g_tokenLibrary.module = LoadLibraryExA(path, NULL, LoadFlagsForLibraryFolder());
    if (g_tokenLibrary.module == NULL) {
        return false;
    }
    return BindTokenApi();
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
        FreeLibrary(g_tokenLibrary.module);
        g_tokenLibrary.module = NULL;
    }
    RemoveLibraryFolderFromSearch(g_tokenLibrary.searchFolder);
    g_tokenLibrary.searchFolder = NULL;
}
