#include "app/dialog.h"

#include "common/function_binder.h"

namespace {

CWinApp* s_app = NULL;

typedef HMONITOR(WINAPI* MonitorFromWindowFn)(HWND window, DWORD flags);
typedef BOOL(WINAPI* GetMonitorInfoWFn)(HMONITOR monitor, LPMONITORINFO info);

// The multi-monitor functions (Windows 98 and 2000 on).
struct MonitorApi {
    MonitorFromWindowFn MonitorFromWindow;
    GetMonitorInfoWFn GetMonitorInfoW;
};

// The work area (the screen less the taskbar) of the monitor that shows the
// window; on a Windows without the multi-monitor functions, that of the one
// screen.
RECT WorkAreaOf(HWND window)
{
    RECT area = {};
    MonitorApi api = {};
    const FunctionBinding bindings[] = {OPTIONAL_FUNCTION(api, MonitorFromWindow),
                                        OPTIONAL_FUNCTION(api, GetMonitorInfoW)};
    BindFunctions(GetModuleHandleW(L"user32.dll"), bindings, LookUpOptionalFunction);
    if (api.MonitorFromWindow != NULL && api.GetMonitorInfoW != NULL) {
        MONITORINFO monitor = {};
        monitor.cbSize = sizeof(monitor);
        if (api.GetMonitorInfoW(api.MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor)) {
            return monitor.rcWork;
        }
    }
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    return area;
}

// Centres a dialog over its owner, or over the work area of its monitor when
// it has none, as dialogs without a position of their own are shown.
void CenterDialog(HWND dialog)
{
    RECT area;
    HWND owner = GetWindow(dialog, GW_OWNER);
    if (owner != NULL && IsWindowVisible(owner) && !IsIconic(owner)) {
        GetWindowRect(owner, &area);
    } else {
        area = WorkAreaOf(dialog);
    }
    RECT window;
    GetWindowRect(dialog, &window);
    int x = area.left + ((area.right - area.left) - (window.right - window.left)) / 2;
    int y = area.top + ((area.bottom - area.top) - (window.bottom - window.top)) / 2;
    SetWindowPos(dialog, NULL, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

CWinApp::CWinApp()
{
    s_app = this;
}

CWinApp* AfxGetApp()
{
    return s_app;
}

HINSTANCE AfxGetResourceHandle()
{
    return GetModuleHandleW(NULL);
}

BOOL CWnd::SetWindowTextFromResource(UINT stringId)
{
    wchar_t text[1024] = {};
    LoadStringW(AfxGetResourceHandle(), stringId, text, ARRAYSIZE(text));
    return ::SetWindowTextW(m_hWnd, text);
}

void DDX_Control(HWND dialog, int controlId, CWnd& control)
{
    control.m_hWnd = GetDlgItem(dialog, controlId);
}

INT_PTR CDialog::DoModal()
{
    HWND owner = m_parent != NULL ? m_parent->m_hWnd : NULL;
    return DialogBoxParamW(AfxGetResourceHandle(), MAKEINTRESOURCEW(m_templateId), owner,
                           DialogProc, reinterpret_cast<LPARAM>(this));
}

BOOL CDialog::OnInitDialog()
{
    DoDataExchange();
    return TRUE;
}

BOOL CDialog::OnMessage(UINT message, WPARAM wParam, LPARAM, INT_PTR&)
{
    if (message == WM_COMMAND && HIWORD(wParam) == BN_CLICKED) {
        switch (LOWORD(wParam)) {
        case IDOK:
            OnOK();
            return TRUE;
        case IDCANCEL:
            OnCancel();
            return TRUE;
        }
    }
    return FALSE;
}

INT_PTR CALLBACK CDialog::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    CDialog* dialog = NULL;
    if (message == WM_INITDIALOG) {
        dialog = reinterpret_cast<CDialog*>(lParam);
        dialog->m_hWnd = window;
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        CenterDialog(window);
        return dialog->OnInitDialog();
    }
    dialog = reinterpret_cast<CDialog*>(GetWindowLongPtrW(window, DWLP_USER));
    if (dialog == NULL) {
        return FALSE;
    }

    INT_PTR result = 0;
    if (!dialog->OnMessage(message, wParam, lParam, result)) {
        return FALSE;
    }
    switch (message) {
    case WM_QUERYDRAGICON:
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
        // These return their result directly.
        return result;
    default:
        SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
        return TRUE;
    }
}
