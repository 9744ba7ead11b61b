#include "app/init_tool_app.h"

#include <commctrl.h>
#include <mbctype.h>

#include "app/init_tool_dlg.h"
#include "certcache/certificate_api.h"

namespace {

CInitToolApp theApp;

}  // namespace

BOOL CInitToolApp::InitInstance()
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    // The certificate functions are bound from the system folder before the
    // dialog shows, so that pressing Yes does not wait for them. Should they
    // be missing, the run finds out again and touches nothing.
    LoadCertificateApi();

    CInitToolDlg dialog;
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = NULL;

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
