#include <windows.h>

#include "common/csp_name.h"
#include "keysim_state.h"

std::wstring SimCspKey()
{
    std::wstring key = L"SOFTWARE\\Microsoft\\Cryptography\\Defaults\\Provider\\";
    for (const char* c = kCspName; *c != '\0'; ++c) key += static_cast<wchar_t>(*c);
    return key;
}

bool SimRegisterCsp(const std::wstring& imagePath)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, SimCspKey().c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    DWORD bytes = static_cast<DWORD>((imagePath.size() + 1) * sizeof(wchar_t));
    LONG result = RegSetValueExW(key, L"Image Path", 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(imagePath.c_str()), bytes);
    RegCloseKey(key);
    return result == ERROR_SUCCESS;
}

bool SimUnregisterCsp()
{
    LONG result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, SimCspKey().c_str());
    return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
}
