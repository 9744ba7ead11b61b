// Root folder of the CSP's certificate cache on this machine.
//
//   major version below 5:  Windows directory + "\TEMP"        (else "C:\TEMP")
//   major version 5:        local application data + "\TEMP"   (else "c:\TEMP")
//   major version 6 and up: common documents + "\TEMP"         (else "c:\TEMP")
#pragma once

#include <windows.h>

// Fills root with the cache root for the running Windows version, creates
// that folder if it is missing, and returns true. shell32.dll is loaded at
// run time, from the system folder only, and released before returning.
bool GetCacheRoot(char root[MAX_PATH]);

// The system calls GetCacheRoot reaches shell32 and the Windows directory
// through. GetCacheRoot uses the real ones; tests pass their own to make the
// library, the lookup or the Windows directory fail.
struct CacheRootCalls {
    HMODULE(WINAPI* loadLibrary)(LPCSTR name);
    FARPROC(WINAPI* getProcAddress)(HMODULE module, LPCSTR name);
    BOOL(WINAPI* freeLibrary)(HMODULE module);
    UINT(WINAPI* getWindowsDirectory)(LPSTR buffer, UINT size);
};

// GetCacheRoot with the given calls.
bool GetCacheRootWith(const CacheRootCalls& calls, char root[MAX_PATH]);
