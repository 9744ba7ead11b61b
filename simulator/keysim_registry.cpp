#include <windows.h>

#include "common/csp_name.h"
#include "keysim_state.h"

std::wstring KeySimCspKey()
{
    std::wstring key = L"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\";
    for (const char* c = kCspName; *c != '\0'; ++c) key += static_cast<wchar_t>(*c);
    return key;
}

HKEY KeySimCreateCspKey(REGSAM access)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, KeySimCspKey().c_str(), 0, nullptr, 0,
                        access | KEY_WOW64_32KEY, nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return nullptr;
    }
    return key;
}

bool KeySimRegisterCsp(const std::wstring& imagePath)
{
    HKEY key = KeySimCreateCspKey(KEY_SET_VALUE);
    if (key == nullptr) {
        return false;
    }
    DWORD bytes = static_cast<DWORD>((imagePath.size() + 1) * sizeof(wchar_t));
    LONG result = RegSetValueExW(key, L"Image Path", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(imagePath.c_str()), bytes);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

bool KeySimUnregisterCsp()
{
    // The 32-bit view where Windows has two (RegDeleteKeyExW: Vista, and the
    // 64-bit XP); a Windows without it has one view only.
    typedef LONG(WINAPI * DeleteKeyEx)(HKEY, LPCWSTR, REGSAM, DWORD);
    HMODULE advapi32 = GetModuleHandleW(L"advapi32.dll");
    DeleteKeyEx deleteEx = advapi32 == nullptr ? nullptr
        : reinterpret_cast<DeleteKeyEx>(reinterpret_cast<void*>(GetProcAddress(advapi32, "RegDeleteKeyExW")));
    LONG result = deleteEx != nullptr
                      ? deleteEx(HKEY_LOCAL_MACHINE, KeySimCspKey().c_str(), KEY_WOW64_32KEY, 0)
                      : RegDeleteKeyW(HKEY_LOCAL_MACHINE, KeySimCspKey().c_str());
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}
