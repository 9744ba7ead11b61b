// The tool's loader lookup on a system without SetDefaultDllDirectories (or
// SetDllDirectoryA): it finds nothing, so the tool runs with the standard
// DLL search order and must still load nothing planted beside it.
#include "app/startup.h"

FARPROC WINAPI LookUpLoaderFunction(HMODULE, LPCSTR)
{
    return NULL;
}
