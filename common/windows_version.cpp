#include "common/windows_version.h"

WORD WindowsVersion()
{
    OSVERSIONINFOW version = {};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!GetVersionExW(&version)) return 0;
    DWORD major = version.dwMajorVersion > 0xFF ? 0xFF : version.dwMajorVersion;
    DWORD minor = version.dwMinorVersion > 0xFF ? 0xFF : version.dwMinorVersion;
    return static_cast<WORD>(major << 8 | minor);
}
