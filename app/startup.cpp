#include "app/startup.h"

#include "common/system_library.h"

// The C runtime's own entry point for a GUI program: it initialises the
// runtime, runs WinMain and ends the process.
extern "C" int WinMainCRTStartup(void);

extern "C" int InitToolStartup(void)
{
    // From here on, whatever is loaded by bare name, by the tool or by a
    // system DLL on its behalf, comes from the system folder only: never
    // from the tool's own folder (a Downloads folder, say) or the current
    // one. Where the loader cannot do this, the tool loads every DLL of its
    // own by full path.
    RestrictDllSearchToSystemFolder(LookUpLoaderFunction);
    return WinMainCRTStartup();
}
