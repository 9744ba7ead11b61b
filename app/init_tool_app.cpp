#include "app/init_tool_app.h"

#include <commctrl.h>
#include <mbctype.h>

#include "app/function_lookup.h"
#include "app/init_tool_dlg.h"
#include "certcache/certificate_api.h"
#include "common/system_library.h"

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

// Registers the common controls' window classes, the themed standard ones
// where the common controls have them; the old way where
// InitCommonControlsEx is missing (the common controls of Windows NT 4.0).
void InitControls()
{
    InitCommonControlsExFn initCommonControlsEx = LookUpOptional<InitCommonControlsExFn>(
        GetModuleHandleW(L"comctl32.dll"), "InitCommonControlsEx");
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES};
    if (initCommonControlsEx == NULL || !initCommonControlsEx(&controls)) {
        InitCommonControls();
    }
}

}  // namespace

BOOL CInitToolApp::InitInstance()
{
    InitControls();

    // The certificate functions are bound from the system folder before the
    // dialog shows, so that pressing Yes does not wait for them. Should they
    // be missing, the run finds out again and touches nothing.
    LoadCertificateApi();
    HMODULE lazyLibraries[kLazySystemLibraryCount] = {};
    for (int i = 0; i < kLazySystemLibraryCount; ++i) {
        lazyLibraries[i] = LoadSystemLibrary(kLazySystemLibraries[i]);
    }

    CInitToolDlg dialog;
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = NULL;

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
