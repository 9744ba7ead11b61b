/* The functions of Windows after NT 4.0 that the static thread runtime
 * (winpthreads, under GCC's C++ runtime) imports: GetTickCount64 (Vista)
 * and the vectored exception handlers (XP). A program that imports them
 * does not load on older Windows. Linked as an object into the test pack's
 * programs, this file defines the runtime's import pointers itself, so the
 * linker takes no import from kernel32 for them: each pointer calls a
 * function here that looks the real one up in kernel32 (always loaded, from
 * the system folder) and otherwise does without.
 *
 * Without GetTickCount64 the count is GetTickCount's with a count of its
 * wraps (every 49.7 days), correct as long as it is read at least once per
 * wrap. Without vectored handlers none is registered: the runtime then
 * raises no thread-name exception unless a debugger is attached. */
#include <windows.h>

static FARPROC Kernel32Function(const char* name)
{
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    return kernel32 != NULL ? GetProcAddress(kernel32, name) : NULL;
}

typedef ULONGLONG(WINAPI* TickCount64Fn)(void);
typedef PVOID(WINAPI* AddHandlerFn)(ULONG, PVECTORED_EXCEPTION_HANDLER);
typedef ULONG(WINAPI* RemoveHandlerFn)(PVOID);

static ULONGLONG WINAPI TickCount64(void)
{
    static TickCount64Fn volatile system;
    static LONG volatile looked_up, lock;
    static DWORD last, wraps;
    DWORD now;
    ULONGLONG count;
    if (!looked_up) {
        system = (TickCount64Fn)(void (*)(void))Kernel32Function("GetTickCount64");
        InterlockedExchange((LONG*)&looked_up, 1);
    }
    if (system != NULL) return system();
    while (InterlockedExchange((LONG*)&lock, 1) != 0) Sleep(0);
    now = GetTickCount();
    if (now < last) ++wraps;
    last = now;
    count = ((ULONGLONG)wraps << 32) | now;
    InterlockedExchange((LONG*)&lock, 0);
    return count;
}

static PVOID WINAPI AddHandler(ULONG first, PVECTORED_EXCEPTION_HANDLER handler)
{
    AddHandlerFn add = (AddHandlerFn)(void (*)(void))Kernel32Function("AddVectoredExceptionHandler");
    return add != NULL ? add(first, handler) : NULL;
}

static ULONG WINAPI RemoveHandler(PVOID handle)
{
    RemoveHandlerFn remove =
        (RemoveHandlerFn)(void (*)(void))Kernel32Function("RemoveVectoredExceptionHandler");
    return remove != NULL && handle != NULL ? remove(handle) : 0;
}

/* The import pointers, under the names the runtime's calls go through. */
TickCount64Fn imp_GetTickCount64 __asm__("__imp__GetTickCount64@0") = TickCount64;
AddHandlerFn imp_AddVectoredExceptionHandler __asm__("__imp__AddVectoredExceptionHandler@8") =
    AddHandler;
RemoveHandlerFn imp_RemoveVectoredExceptionHandler __asm__(
    "__imp__RemoveVectoredExceptionHandler@4") = RemoveHandler;
