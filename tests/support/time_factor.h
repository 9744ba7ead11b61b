// The tests' own waits, scaled by the factor of the place they run in:
// TEST_TIME_FACTOR, which in-wine.sh sets in the VM to the factor of
// cmake/TimeLimits.cmake; 1 where it is not set (natively, on Windows).
#pragma once

#include <windows.h>
#include <stdlib.h>

inline DWORD ScaledMs(DWORD ms)
{
    char text[16] = {};
    DWORD length = GetEnvironmentVariableA("TEST_TIME_FACTOR", text, sizeof(text));
    unsigned long factor = length > 0 && length < sizeof(text) ? strtoul(text, NULL, 10) : 1;
    if (factor < 1 || factor > 100) factor = 1;
    return ms * static_cast<DWORD>(factor);
}
