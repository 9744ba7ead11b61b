// The benchmark's baseline: the tool's main dialog, from the tool's own
// resources, without the run. Yes hides the dialog and shows it again in the
// state the tool's finished dialog has (the success text, OK visible and
// the default button, Yes and No hidden, Yes disabled), doing nothing in
// between; OK, No and Escape end it. What the tool takes longer from Yes to
// the outcome than this program is the run itself: initialising the key,
// purging the cache and broadcasting.
#include <windows.h>
#include <commctrl.h>

#include "resource.h"

namespace {

void ShowFinished(HWND dialog)
{
    ShowWindow(dialog, SW_HIDE);

    wchar_t text[512] = {};
    LoadStringW(GetModuleHandleW(NULL), IDS_INIT_OK, text, ARRAYSIZE(text));
    SetDlgItemTextW(dialog, IDC_MESSAGE, text);

    ShowWindow(dialog, SW_SHOWNORMAL);
    HWND yes = GetDlgItem(dialog, IDC_YES);
    HWND ok = GetDlgItem(dialog, IDOK);
    ShowWindow(yes, SW_HIDE);
    ShowWindow(GetDlgItem(dialog, IDCANCEL), SW_HIDE);
    ShowWindow(ok, SW_SHOW);
    EnableWindow(yes, FALSE);
    SendMessageW(yes, BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
    SendMessageW(dialog, DM_SETDEFID, IDOK, 0);
    SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(ok), TRUE);
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        // The tool's initial state: Yes and No, no OK.
        ShowWindow(GetDlgItem(dialog, IDOK), SW_HIDE);
        return TRUE;
    case WM_COMMAND:
        if (HIWORD(wParam) != BN_CLICKED) {
            break;
        }
        if (LOWORD(wParam) == IDC_YES) {
            if (IsWindowEnabled(GetDlgItem(dialog, IDC_YES))) {
                ShowFinished(dialog);
            }
            return TRUE;
        }
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    INITCOMMONCONTROLSEX controls = {sizeof(controls), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    DialogBoxParamW(instance, MAKEINTRESOURCEW(IDD_INITTOOL_DIALOG), NULL, DialogProc, 0);
    return 0;
}
