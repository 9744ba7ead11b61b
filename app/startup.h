// The tool's process entry point, which restricts the DLL search before
// anything else runs, then hands over to the C runtime's start-up (and so to
// WinMain).
#pragma once

#include <windows.h>

extern "C" int InitToolStartup(void);

// How the entry point looks up the loader's SetDefaultDllDirectories in
// kernel32: GetProcAddress in the tool (startup_lookup.cpp); a test build
// links a lookup that finds nothing, to run as on a system without it.
FARPROC WINAPI LookUpLoaderFunction(HMODULE module, LPCSTR name);
