#include "app/init_tool_dlg.h"

#include "app/about_dlg.h"
#include "keyrun/key_run.h"

CInitToolDlg::CInitToolDlg(CWnd* parent)
    : CDialog(IDD_INITTOOL_DIALOG, parent),
      m_hIcon(LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME)))
{
}

void CInitToolDlg::DoDataExchange()
{
    DDX_Control(m_hWnd, IDCANCEL, m_btnNo);
    DDX_Control(m_hWnd, IDC_MESSAGE, m_message);
    DDX_Control(m_hWnd, IDOK, m_btnOK);
    DDX_Control(m_hWnd, IDC_YES, m_btnYes);
}

BOOL CInitToolDlg::OnInitDialog()
{
    CDialog::OnInitDialog();

    HMENU systemMenu = GetSystemMenu(m_hWnd, FALSE);
    if (systemMenu != NULL) {
        wchar_t about[256] = {};
        if (LoadStringW(AfxGetResourceHandle(), IDS_ABOUTBOX, about, ARRAYSIZE(about)) > 0) {
            AppendMenuW(systemMenu, MF_SEPARATOR, 0, NULL);
            AppendMenuW(systemMenu, MF_STRING, IDM_ABOUTBOX, about);
        }
    }

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    m_btnYes.EnableWindow(TRUE);
    m_btnYes.ShowWindow(SW_SHOW);
    m_btnOK.EnableWindow(TRUE);
    m_btnOK.ShowWindow(SW_HIDE);

    m_message.SetWindowTextFromResource(IDS_INIT_WARNING);
    UpdateWindow();
    return TRUE;
}

BOOL CInitToolDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result)
{
    switch (message) {
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
            ShowAboutBox();
            return TRUE;
        }
        return FALSE;
    case WM_PAINT:
        return OnPaint();
    case WM_QUERYDRAGICON:
        result = reinterpret_cast<INT_PTR>(OnQueryDragIcon());
        return TRUE;
    case WM_COMMAND:
        // Escape, No, a close or an OK queued before the dialog hid and
        // dispatched by a token call that waits in a message loop would end
        // the dialog under the run, and the outcome would never show.
        if (m_running && (LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == IDOK)) {
            return TRUE;
        }
        if (HIWORD(wParam) == BN_CLICKED && LOWORD(wParam) == IDC_YES) {
            OnYes();
            return TRUE;
        }
        if (LOWORD(wParam) == ID_HELP) {
            AfxGetApp()->OnHelp();
            return TRUE;
        }
        break;
    }
    return CDialog::OnMessage(message, wParam, lParam, result);
}

void CInitToolDlg::ShowAboutBox()
{
    CAboutDlg about(this);
    about.DoModal();
}

POINT IconOrigin(int clientWidth, int clientHeight, int iconWidth, int iconHeight)
{
    POINT origin = {(clientWidth - iconWidth + 1) / 2, (clientHeight - iconHeight + 1) / 2};
    return origin;
}

BOOL CInitToolDlg::OnPaint()
{
    if (!IsIconic()) {
        return FALSE;
    }
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(m_hWnd, &paint);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);

    RECT client;
    GetClientRect(m_hWnd, &client);
    POINT origin = IconOrigin(client.right - client.left, client.bottom - client.top,
                              GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON));
    DrawIcon(dc, origin.x, origin.y, m_hIcon);
    EndPaint(m_hWnd, &paint);
    return TRUE;
}

void CInitToolDlg::OnYes()
{
    // One run at a time, and one in the dialog's life. A token call may wait
    // in a message loop of its own (a COM single-threaded apartment does),
    // which dispatches what is queued meanwhile: a second click, Enter, a
    // command sent by another program. None of them starts another run,
    // during the run or after it.
    if (m_runTaken) {
        return;
    }
    m_runTaken = true;
    // Disabled before the dialog hides, so that neither a click nor Enter on
    // the default button issues another Yes.
    m_btnYes.EnableWindow(FALSE);
    // Nothing is shown while the key is being initialised.
    ShowWindow(SW_HIDE);
    m_running = true;
    bool outcome = RunKeyInitialization();
    m_running = false;
    m_message.SetWindowTextFromResource(outcome ? IDS_INIT_OK : IDS_INIT_FAILED);

    ShowWindow(SW_SHOWNORMAL);
    // Hiding handed the activation to another program, and the foreground
    // lock may keep the dialog behind it. This process received the last
    // input (the Yes click), so Windows lets it come to the front.
    SetForegroundWindow(m_hWnd);
    m_btnYes.ShowWindow(SW_HIDE);
    m_btnNo.ShowWindow(SW_HIDE);
    m_btnOK.ShowWindow(SW_SHOW);

    // A hidden default button still answers Enter: Yes stays disabled. OK
    // becomes the default button and takes the focus.
    m_btnYes.SendMessage(BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
    SendMessage(DM_SETDEFID, IDOK, 0);
    SendMessage(WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(m_btnOK.GetSafeHwnd()), TRUE);
}
