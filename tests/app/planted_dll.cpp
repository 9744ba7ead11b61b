// A DLL that records being loaded: copied under the names of system DLLs
// (crypt32.dll, shell32.dll, ...) and the token library into the tool's
// folder, where a web page may have dropped it. When any process loads it,
// it writes "<its own path>.loaded", naming the process that loaded it.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    wchar_t marker[MAX_PATH + 16] = {};
    DWORD length = GetModuleFileNameW(instance, marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        return TRUE;
    }
    lstrcatW(marker, L".loaded");
    HANDLE file = CreateFileW(marker, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        wchar_t process[MAX_PATH] = {};
        DWORD size = GetModuleFileNameW(NULL, process, MAX_PATH);
        DWORD written = 0;
        WriteFile(file, process, size * sizeof(wchar_t), &written, NULL);
        CloseHandle(file);
    }
    return TRUE;
}
