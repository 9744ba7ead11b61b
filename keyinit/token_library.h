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
    // The library's registered folder, ending in a backslash; empty when it
    // came from the system folder.
    char folder[MAX_PATH];
    // That folder as added to the DLL search while the library's code runs
    // (AddLibraryFolderToSearch); null while it is out of the search.
    void* searchFolder;
};

extern TokenLibrary g_tokenLibrary;

// Locates the CSP's directory, loads Korrim.dll from it and binds all entry
// points. False on any failure; the library may then still be loaded (a
// failed binding) until UnloadTokenLibrary.
bool OpenTokenLibrary();

// Fills a zero-filled MAX_PATH buffer with the CSP's installation directory,
// ending in a backslash, taken from its registered "Image Path" (expanded
// where it is an expandable string, as the CryptoAPI reads it). A missing or
// unreadable value leaves the directory empty and still returns true; an
// unregistered CSP, a value without a backslash, one that is not an absolute
// path ("X:\..." or "\\..."), or an expansion that does not fit returns
// false.
bool LocateCspDirectory(char directory[MAX_PATH]);

// Loads Korrim.dll from the directory (from the system folder when the
// directory is empty) and binds the entry points.
bool LoadTokenLibrary(const char* directory);

// Resolves the entry points in binding order; stops at the first missing one.
bool BindTokenApi();

// Releases the library if it is loaded; safe to call when it is not.
void UnloadTokenLibrary();

// Puts the library's folder into the DLL search, where the search is
// restricted, for as long as the library's own code runs; Leave takes it
// out again. Between calls the tool's own code, and the system DLLs it
// uses, find DLLs by bare name in the system folder only.
void EnterTokenLibraryFolder();
void LeaveTokenLibraryFolder();

// Calls the bound entry point `entry`, whose signature is Fn, through
// CallToken (either calling convention is safe), with the library's folder
// in the DLL search for the call.
template <typename Fn, typename... Args>
TokenStatus CallBoundEntry(TokenEntry entry, Args... args)
{
    EnterTokenLibraryFolder();
    TokenStatus status = CallToken<Fn>(g_tokenLibrary.api.entries[entry], args...);
    LeaveTokenLibraryFolder();
    return status;
}
