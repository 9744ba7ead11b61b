#include "app/startup.h"

FARPROC WINAPI LookUpLoaderFunction(HMODULE module, LPCSTR name)
{
    return GetProcAddress(module, name);
}
