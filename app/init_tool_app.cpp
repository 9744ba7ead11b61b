#include "app/init_tool_app.h"

#include <commctrl.h>
#include <mbctype.h>

#include "app/init_tool_dlg.h"
#include "certcache/certificate_api.h"
#include "common/function_binder.h"
#include "common/system_library.h"
#include "common/windows_version.h"

namespace {

CInitToolApp theApp;

// DLLs that the system's own DLLs load lazily, when the dialog is first
// created or drawn (the input method support needs ole32, theming msimg32).
// A loader that does not honour the restricted search for such loads looks
// for them beside the program first; loaded here from the system folder, by
// full path, they are found already loaded.
const char* const kLazySystemLibraries[] = {"ole32.dll", "msimg32.dll"};
const int kLazySystemLibraryCount = ARRAYSIZE(kLazySystemLibraries);

typedef BOOL(WINAPI* InitCommonControlsExFn)(const INITCOMMONCONTROLSEX* controls);
typedef void(WINAPI* InitCommonControlsFn)(void);

// The common controls' initialisation: InitCommonControlsEx where a browser
// of Windows NT 4.0's time or a later Windows brought it, InitCommonControls
// in every version.
struct CommonControlsApi {
    InitCommonControlsExFn InitCommonControlsEx;
    InitCommonControlsFn InitCommonControls;
};

// The common controls, loaded after the start-up check, never imported: an
// import is resolved before the tool's first instruction, and Windows 2000
// and XP may redirect it to a planted copy. From XP on, the manifest binds
// comctl32.dll side by side (the themed version 6), and only a load by name
// finds that binding; earlier Windows keep the one version in the system
// folder.
HMODULE LoadCommonControls()
{
    const char name[] = "comctl32.dll";
    return WindowsVersion() >= 0x501 ? LoadLibraryA(name) : LoadSystemLibrary(name);
}

// Registers the common controls' window classes, the themed standard ones
// where the common controls have them; the old way where
// InitCommonControlsEx is missing (the common controls of Windows NT 4.0).
void InitControls(HMODULE commonControls)
{
    if (commonControls == NULL) {
        return;
    }
    CommonControlsApi api = {};
    const FunctionBinding newer[] = {OPTIONAL_FUNCTION(api, InitCommonControlsEx)};
    const FunctionBinding always[] = {OPTIONAL_FUNCTION(api, InitCommonControls)};
    BindFunctions(commonControls, newer, LookUpOptionalFunction);
    BindFunctions(commonControls, always);
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES};
    if (api.InitCommonControlsEx == NULL || !api.InitCommonControlsEx(&controls)) {
        if (api.InitCommonControls != NULL) {
            api.InitCommonControls();
        }
    }
}

}  // namespace

BOOL CInitToolApp::InitInstance()
{
    // Stays loaded until the process ends, as an import would.
    InitControls(LoadCommonControls());

    // The certificate functions are bound from the system folder before the
    // dialog shows, so that pressing Yes does not wait for them. Should they
    // be missing, the run finds out again and touches nothing.
    LoadCertificateApi();
    HMODULE lazyLibraries[kLazySystemLibraryCount] = {};
    for (int i = 0; i < kLazySystemLibraryCount; ++i) {
        lazyLibraries[i] = LoadSystemLibrary(kLazySystemLibraries[i]);
    }

    CInitToolDlg dialog;
    dialog.DoModal();

    for (int i = 0; i < kLazySystemLibraryCount; ++i) {
        if (lazyLibraries[i] != NULL) {
            FreeLibrary(lazyLibraries[i]);
        }
    }
    UnloadCertificateApi();

    // No message loop of the application's own: the process ends here.
    return FALSE;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // Multibyte string functions follow the system's ANSI code page.
    _setmbcp(_MB_CP_ANSI);

    AfxGetApp()->InitInstance();
    return 0;
}
