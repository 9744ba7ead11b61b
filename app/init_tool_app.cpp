#include "app/init_tool_app.h"

#include <commctrl.h>
#include <mbctype.h>

#include "app/init_tool_dlg.h"

namespace {

CInitToolApp theApp;

// Takes the current directory out of the DLL search order, where the system
// supports it (it does not before Windows XP SP1).
void RemoveCurrentDirectoryFromDllSearch()
{
    typedef BOOL(WINAPI * SetDllDirectoryAFn)(LPCSTR);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == NULL) {
        return;
    }
    SetDllDirectoryAFn setDllDirectory = reinterpret_cast<SetDllDirectoryAFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetDllDirectoryA")));
    if (setDllDirectory != NULL) {
        setDllDirectory("");
    }
}

}  // namespace

BOOL CInitToolApp::InitInstance()
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    CInitToolDlg dialog;
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = NULL;

    // No message loop of the application's own: the process ends here.
    return FALSE;
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    // Multibyte string functions follow the system's ANSI code page.
    _setmbcp(_MB_CP_ANSI);
    RemoveCurrentDirectoryFromDllSearch();

    AfxGetApp()->InitInstance();
    return 0;
}
