// Where the tool takes DLLs from. People run it from folders that anything
// may write to (a Downloads folder): a DLL there must never be loaded in
// place of a system one. System DLLs come from the system folder only.
#pragma once

#include <windows.h>

#include "common/function_lookup.h"  // ProcLookup

// Makes the system folder the only place from which DLLs are loaded by bare
// name for the rest of the process, by whoever loads them (the tool or a
// system DLL on its behalf), where the system can (SetDefaultDllDirectories,
// looked up at run time through lookup: it is missing before Windows 7 with
// its loader update); where it cannot, it at least takes the current folder
// out of the search (SetDllDirectoryA). Returns whether the search is now
// restricted to the system folder. Call it before anything else that may
// load a DLL.
bool RestrictDllSearchToSystemFolder(ProcLookup lookup = GetProcAddress);

// Whether RestrictDllSearchToSystemFolder restricted this process's search.
bool IsDllSearchRestricted();

// Adds `folder` (absolute, ending in a backslash) to the restricted search:
// until RemoveLibraryFolderFromSearch, DLLs loaded by bare name are looked
// for in the system folder and in it (AddDllDirectory, with
// LOAD_LIBRARY_SEARCH_USER_DIRS among the default directories). For a
// library that loads DLLs of its own from its folder at run time. Returns
// what to pass to RemoveLibraryFolderFromSearch; null, adding nothing, where
// the search is not restricted or the loader refuses the folder.
void* AddLibraryFolderToSearch(const char* folder);

// Takes the folder out of the search again, which is then the system
// folder's alone; null does nothing.
void RemoveLibraryFolderFromSearch(void* added);

// Loads the DLL `name` from the system folder by its full path, its own
// dependencies from the system folder too. Null when it is missing there or
// its path does not fit. Never searches anywhere else.
HMODULE WINAPI LoadSystemLibrary(LPCSTR name);

// Fills path (MAX_PATH bytes) with the system folder followed by a backslash;
// false, with path empty, when the folder cannot be read or does not fit.
bool GetSystemFolder(char path[MAX_PATH]);

// LoadLibraryEx flags for a DLL loaded by its full path from a folder of its
// own, whose dependencies may lie beside it: that folder, then the system
// folder.
DWORD LoadFlagsForLibraryFolder();
