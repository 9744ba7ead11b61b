// Finding, loading and binding the maker's token-manager library, Korrim.dll,
// which is installed beside the maker's CSP.
#pragma once

#include "keyinit/token_api.h"
#include "keyinit/token_call.h"

// The bound entry points, in binding order (indexed by TokenEntry). A slot is
// null until bound.
struct TokenApi {
    FARPROC entries[kTokenEntryCount];
};

// The one process-wide record of the loaded library. It lives from
// OpenTokenLibrary to the end of the run (CloseKeySession).
struct TokenLibrary {
    HMODULE module;
    TokenApi api;
    // The library's folder as added to the DLL search while it is loaded
    // (AddLibraryFolderToSearch); null when none was added.
    void* searchFolder;
};

extern TokenLibrary g_tokenLibrary;

// Locates the CSP's directory, loads Korrim.dll from it and binds all entry
// points. False on any failure; the library may then still be loaded (a
// failed binding) until UnloadTokenLibrary.
bool OpenTokenLibrary();

// Fills a zero-filled MAX_PATH buffer with the CSP's installation directory,
// ending in a backslash, taken from its registered "Image Path". A missing or
// unreadable value leaves the directory empty and still returns true; an
// unregistered CSP, or a value without a backslash, returns false.
bool LocateCspDirectory(char directory[MAX_PATH]);

// Loads Korrim.dll from the directory (from the system folder when the
// directory is empty) and binds the entry points.
bool LoadTokenLibrary(const char* directory);

// Resolves the entry points in binding order; stops at the first missing one.
bool BindTokenApi();

// Releases the library if it is loaded, then takes its folder out of the
// DLL search; safe to call when it is not.
void UnloadTokenLibrary();

// Calls the bound entry point `entry`, whose signature is Fn, through
// CallToken (either calling convention is safe).
template <typename Fn, typename... Args>
TokenStatus CallBoundEntry(TokenEntry entry, Args... args)
{
    return CallToken<Fn>(g_tokenLibrary.api.entries[entry], args...);
}
