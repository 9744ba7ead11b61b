#include "app/startup.h"

#include <windows.h>
#include <strsafe.h>

#include "app/stack_guard.h"
#include "common/function_lookup.h"
#include "common/system_library.h"
#include "common/windows_version.h"

// The C runtime's own entry point for a GUI program: it initialises the
// runtime, runs WinMain and ends the process.
extern "C" int WinMainCRTStartup(void);

namespace {

// The exit code of a process ended because its DLLs may have been redirected.
const UINT kEndedForRedirection = 1;

// Files beside the exe that make the loader of Windows 2000 and XP take DLLs
// from elsewhere: <exe>.local (every DLL from the exe's folder first, on 2000
// and on XP before SP2) and <exe>.manifest (on XP, preferred to the embedded
// manifest: it can bind comctl32.dll, say, to a copy in the exe's folder).
// Later Windows ignore both for an exe with a manifest of its own.
const wchar_t* const kRedirectionSuffixes[] = {L".local", L".manifest"};

// The exe's path, and room for a suffix. Paths reach 32767 characters.
wchar_t s_path[32768 + 16];

// Windows 2000 and XP.
bool LoaderHonoursRedirection()
{
    WORD version = WindowsVersion();
    return version == 0x500 || version == 0x501;
}

// Whether a redirection file lies beside the exe. A path that cannot be read
// whole rules nothing out.
bool RedirectionFilePresent()
{
    const DWORD capacity = 32768;
    for (const wchar_t* suffix : kRedirectionSuffixes) {
        DWORD length = GetModuleFileNameW(NULL, s_path, capacity);
        if (length == 0 || length >= capacity ||
            FAILED(StringCchCatW(s_path, ARRAYSIZE(s_path), suffix))) {
            return true;
        }
        if (GetFileAttributesW(s_path) != INVALID_FILE_ATTRIBUTES) {
            return true;
        }
    }
    return false;
}

// On Windows 2000 and XP, a redirection file beside the tool (dropped into a
// Downloads folder, say) may have handed the loader planted DLLs: the
// process ends at once, loading nothing more and showing nothing. Whoever
// planted the file is not there to be asked to remove it.
void EndIfDllsMayBeRedirected()
{
    if (LoaderHonoursRedirection() && RedirectionFilePresent()) {
        TerminateProcess(GetCurrentProcess(), kEndedForRedirection);
    }
}

}  // namespace

// Not itself protected: it seeds the canary.
extern "C" __attribute__((no_stack_protector)) int InitToolStartup(void)
{
    SeedStackGuard();
    // The tool imports only DLLs that are never redirected (Windows' known
    // DLLs); all else it loads later, after this check.
    EndIfDllsMayBeRedirected();
    // From here on, whatever is loaded by bare name, by the tool or by a
    // system DLL on its behalf, comes from the system folder only: never
    // from the tool's own folder (a Downloads folder, say) or the current
    // one. Where the loader cannot do this, the tool loads every DLL of its
    // own by full path.
    RestrictDllSearchToSystemFolder(LookUpOptionalFunction);
    return WinMainCRTStartup();
}
