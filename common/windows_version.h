// The version of the running Windows, read once the same way for the whole
// tool.
#pragma once

#include <windows.h>

// The version of Windows as major * 0x100 + minor (0x400 for NT 4.0, 0x501
// for XP, 0x600 for Vista); 0 when it cannot be read. A major or minor
// number above 0xFF counts as 0xFF. Windows 8.1 and later report their own
// version only to a program whose manifest declares them (the tool's does).
WORD WindowsVersion();

// The whole answer that WindowsVersion() reads (GetVersionExW): with the
// build number and the service pack. False when it cannot be read.
bool ReadWindowsVersion(OSVERSIONINFOW* version);

// The major version alone: WindowsVersion() >> 8.
inline DWORD WindowsMajorVersion()
{
    return WindowsVersion() >> 8;
}
