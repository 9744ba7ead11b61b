// The tool's process entry point, which ends the process on a Windows that
// may have redirected its DLLs and restricts the DLL search before anything
// else runs, then hands over to the C runtime's start-up (and so to
// WinMain).
#pragma once

#include <windows.h>

extern "C" int InitToolStartup(void);
