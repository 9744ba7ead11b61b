// Test helper: calls GetCacheRoot twice in a process of its own, so a test
// can run it under a chosen (emulated) Windows version, and prints what
// happened:
//
//   cacheroot_probe.exe [counted | fault] [zeroed]
//
//   major=<major version the process sees>
//   root=<first result>
//   again=<second result>
//   exists=<1 if the root is a folder afterwards>
//   loads=<shell32 loads> frees=<shell32 releases> wrongfree=<releases of another handle>
//
// Without an argument it calls GetCacheRoot itself (loads and frees are not
// counted then). "counted" goes through counting wrappers of the real calls;
// a fault makes one call misbehave: no-shell32, no-export, lookup-fails,
// long-folder, lookup-empty, windir-fails, windir-too-small. The root buffers
// start full of 'Z' without a terminator, or all zero with "zeroed".
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "certcache/cache_root.h"

namespace {

const char* g_fault = "";
HMODULE g_shell = nullptr;
int g_loads = 0;
int g_frees = 0;
int g_wrongFrees = 0;

bool Fault(const char* name) { return strcmp(g_fault, name) == 0; }

HRESULT WINAPI FailingLookup(HWND, int, HANDLE, DWORD, LPSTR path)
{
    lstrcpyA(path, "Z:\\not\\the\\folder");
    return E_FAIL;
}

HRESULT WINAPI LongFolderLookup(HWND, int, HANDLE, DWORD, LPSTR path)
{
    // 3 + 252 = 255 characters: "\TEMP" no longer fits.
    lstrcpyA(path, "C:\\");
    for (int i = 0; i < 252; ++i) path[3 + i] = 'f';
    path[255] = '\0';
    return S_OK;
}

HRESULT WINAPI EmptyLookup(HWND, int, HANDLE, DWORD, LPSTR path)
{
    path[0] = '\0';
    return S_FALSE;
}

HMODULE WINAPI CountingLoadLibrary(LPCSTR name)
{
    ++g_loads;
    if (Fault("no-shell32")) return nullptr;
    HMODULE module = LoadLibraryA(name);
    if (lstrcmpiA(name, "shell32.dll") == 0) g_shell = module;
    return module;
}

FARPROC WINAPI FaultyGetProcAddress(HMODULE module, LPCSTR name)
{
    if (Fault("no-export")) return nullptr;
    if (Fault("lookup-fails")) return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(FailingLookup));
    if (Fault("long-folder")) return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(LongFolderLookup));
    if (Fault("lookup-empty")) return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(EmptyLookup));
    return GetProcAddress(module, name);
}

BOOL WINAPI CountingFreeLibrary(HMODULE module)
{
    if (module == g_shell) ++g_frees; else ++g_wrongFrees;
    return FreeLibrary(module);
}

UINT WINAPI FaultyWindowsDirectory(LPSTR buffer, UINT size)
{
    if (Fault("windir-fails")) return 0;
    if (Fault("windir-too-small")) return 260;  // needs 260 bytes, wrote nothing
    return GetWindowsDirectoryA(buffer, size);
}

// An unwritten buffer used as a path would show: as 'Z's, or, when zeroed as
// the purge passes it, as a bare "\TEMP".
bool g_zeroed = false;
void Scribble(char root[MAX_PATH]) { memset(root, g_zeroed ? 0 : 'Z', MAX_PATH); }

}  // namespace

int main(int argc, char** argv)
{
    if (argc > 1) g_fault = argv[1];
    g_zeroed = argc > 2 && strcmp(argv[2], "zeroed") == 0;
    const CacheRootCalls calls = {CountingLoadLibrary, FaultyGetProcAddress, CountingFreeLibrary,
                                  FaultyWindowsDirectory};
    OSVERSIONINFOA version;
    ZeroMemory(&version, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);

    char root[MAX_PATH];
    char again[MAX_PATH];
    Scribble(root);
    Scribble(again);
    bool direct = g_fault[0] == '\0';
    bool first = direct ? GetCacheRoot(root) : GetCacheRootWith(calls, root);
    bool second = direct ? GetCacheRoot(again) : GetCacheRootWith(calls, again);
    if (memchr(root, '\0', MAX_PATH) == nullptr || memchr(again, '\0', MAX_PATH) == nullptr) {
        printf("unterminated\n");
        return 1;
    }
    DWORD attributes = GetFileAttributesA(root);
    bool exists = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    printf("major=%lu\nroot=%s\nagain=%s\nexists=%d\nloads=%d frees=%d wrongfree=%d\nresult=%d\n",
           version.dwMajorVersion, root, again, exists ? 1 : 0, g_loads, g_frees, g_wrongFrees,
           first && second ? 1 : 0);
    return 0;
}
