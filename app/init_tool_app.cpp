#include "app/init_tool_app.h"

#include <commctrl.h>
#include <mbctype.h>

#include "app/init_tool_dlg.h"

namespace {

CInitToolApp theApp;

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

    AfxGetApp()->InitInstance();
    return 0;
}
