#include "app/stack_guard.h"

#include <windows.h>

#include <stdint.h>

namespace {

const UINT kStackBufferOverrun = 0xC0000409;  // STATUS_STACK_BUFFER_OVERRUN

// Fixed until seeded; never zero, so a canary that was never seeded still
// catches a plain overrun.
const uintptr_t kUnseededGuard = 0xBB40E64E;

__attribute__((noreturn)) void EndOnOverrun()
{
    TerminateProcess(GetCurrentProcess(), kStackBufferOverrun);
    for (;;) {
        // TerminateProcess on the own process does not return.
    }
}

}  // namespace

extern "C" {

// The names the compiler's checks refer to.
uintptr_t __stack_chk_guard = kUnseededGuard;

__attribute__((noreturn)) void __stack_chk_fail(void)
{
    EndOnOverrun();
}

// Where the checked memory and string functions report an overflow.
__attribute__((noreturn)) void __chk_fail(void)
{
    EndOnOverrun();
}

// Not itself protected: the canary changes while it runs.
__attribute__((no_stack_protector)) void SeedStackGuard(void)
{
    FILETIME time;
    LARGE_INTEGER counter;
    GetSystemTimeAsFileTime(&time);
    QueryPerformanceCounter(&counter);
    uintptr_t seed = time.dwHighDateTime ^ time.dwLowDateTime ^ GetCurrentProcessId() ^
                     GetCurrentThreadId() ^ GetTickCount() ^ counter.LowPart ^ counter.HighPart ^
                     reinterpret_cast<uintptr_t>(&seed);
    __stack_chk_guard = seed != 0 && seed != kUnseededGuard ? seed : ~kUnseededGuard;
}

}  // extern "C"
