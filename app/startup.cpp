#include "app/startup.h"

#include "app/function_lookup.h"
#include "app/stack_guard.h"
#include "common/system_library.h"

// The C runtime's own entry point for a GUI program: it initialises the
// runtime, runs WinMain and ends the process.
extern "C" int WinMainCRTStartup(void);

// Not itself protected: it seeds the canary.
extern "C" __attribute__((no_stack_protector)) int InitToolStartup(void)
{
    SeedStackGuard();
    // From here on, whatever is loaded by bare name, by the tool or by a
    // system DLL on its behalf, comes from the system folder only: never
    // from the tool's own folder (a Downloads folder, say) or the current
    // one. Where the loader cannot do this, the tool loads every DLL of its
    // own by full path.
    RestrictDllSearchToSystemFolder(LookUpOptionalFunction);
    return WinMainCRTStartup();
}
