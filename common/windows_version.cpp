#include "common/windows_version.h"

bool ReadWindowsVersion(OSVERSIONINFOW* version)
{
    ZeroMemory(version, sizeof(*version));
    version->dwOSVersionInfoSize = sizeof(*version);
    return GetVersionExW(version) != FALSE;
}

WORD WindowsVersion()
{
    OSVERSIONINFOW version;
    if (!ReadWindowsVersion(&version)) return 0;
    DWORD major = version.dwMajorVersion > 0xFF ? 0xFF : version.dwMajorVersion;
    DWORD minor = version.dwMinorVersion > 0xFF ? 0xFF : version.dwMinorVersion;
    return static_cast<WORD>(major << 8 | minor);
}
