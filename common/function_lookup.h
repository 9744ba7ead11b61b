// Functions that not every Windows the tool runs on has. They are looked up
// at run time through the binder (function_binder.h), never imported: a
// loader refuses to start a program that imports a function its Windows
// lacks. Windows NT 4.0 lacks the loader's SetDefaultDllDirectories and
// SetDllDirectoryA, the multi-monitor functions, GetVolumePathNameA,
// GetFileInformationByHandleEx and SetFileInformationByHandle (these two
// from Vista on) and, unless a later browser updated its common controls,
// InitCommonControlsEx. Every caller has a plain fallback for a null result.
#pragma once

#include <windows.h>

// How a function's address is found in a module: GetProcAddress,
// LookUpOptionalFunction below, or a test's own.
typedef FARPROC(WINAPI* ProcLookup)(HMODULE module, LPCSTR name);

// Looks up such a function in a module that is already loaded:
// GetProcAddress (function_lookup.cpp, in the common library). A program
// that defines this function itself uses its own instead: a test build of
// the tool defines one that finds nothing, to run as on the oldest Windows
// it supports.
FARPROC WINAPI LookUpOptionalFunction(HMODULE module, LPCSTR name);

