// The tool's process entry point, which restricts the DLL search before
// anything else runs, then hands over to the C runtime's start-up (and so to
// WinMain).
#pragma once

extern "C" int InitToolStartup(void);
