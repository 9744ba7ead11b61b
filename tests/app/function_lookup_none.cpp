// The tool's lookup of the functions that older Windows lack, as on the
// oldest Windows it supports: it finds nothing. The tool then runs with the
// standard DLL search order (and must still load nothing planted beside it),
// centres its dialog on the work area without the multi-monitor functions,
// and initialises the common controls the old way.
#include "common/function_lookup.h"

FARPROC WINAPI LookUpOptionalFunction(HMODULE, LPCSTR)
{
    return NULL;
}
