#include "common/function_lookup.h"

FARPROC WINAPI LookUpOptionalFunction(HMODULE module, LPCSTR name)
{
    return GetProcAddress(module, name);
}
