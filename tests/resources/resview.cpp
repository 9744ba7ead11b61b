// Opens the tool's dialog templates the way the dialog manager does, to check
// their layout in the user-interface language and to take screenshots.
//
//   resview check <language id>
//       Lays out the main dialog and the About box (without showing them) and
//       fails when the resource loader picked another language than the one
//       given for the main dialog or the strings, another than Chinese (PRC)
//       for the About box, or when a control leaves its dialog, overlaps
//       another, or cannot hold its text (the texts of the outcome included),
//       or when the manifest did not give the process common controls 6.
//   resview show <102|100> [confirm|ok|failed] [milliseconds]
//       Shows a dialog modally in the state given, with the icon and the About
//       item of the main dialog, and closes it after the given time (0: when
//       the user closes it).
//
// It is linked with the tool's own resources, manifest included.
#include <windows.h>
#include <strsafe.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "languages.h"
#include "resource.h"

namespace {

const LANGID kChinesePrc = MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED);
const LANGID kLanguages[] = {TOOL_LANGUAGE_IDS};
const LPCWSTR kDialogType = MAKEINTRESOURCEW(5);  // RT_DIALOG
const LPCWSTR kStringType = MAKEINTRESOURCEW(6);  // RT_STRING
const UINT kStringBlock = IDS_ABOUTBOX / 16 + 1;  // the block of 101..111
const UINT_PTR kCloseTimer = 1;

int g_failures = 0;

void Report(const char* format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    HRESULT hr = StringCchVPrintfA(line, ARRAYSIZE(line), format, args);
    va_end(args);
    if (FAILED(hr) && hr != STRSAFE_E_INSUFFICIENT_BUFFER)
        return;
    fputs(line, stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

// A wide text as UTF-8 for the report; an empty string if it does not fit.
const char* Utf8(const wchar_t* text, char* out, int outSize)
{
    if (WideCharToMultiByte(CP_UTF8, 0, text, -1, out, outSize, NULL, NULL) == 0)
        out[0] = '\0';
    return out;
}

// The language of the resource the loader picks for (type, name) when no
// language is asked for, as DialogBoxParamW and LoadStringW do; 0 if none of
// the tool's languages.
LANGID PickedLanguage(LPCWSTR type, LPCWSTR name)
{
    HRSRC picked = FindResourceW(NULL, name, type);
    if (picked == NULL)
        return 0;
    for (LANGID lang : kLanguages) {
        if (FindResourceExW(NULL, type, name, lang) == picked)
            return lang;
    }
    return 0;
}

INT_PTR CALLBACK QuietProc(HWND, UINT message, WPARAM, LPARAM)
{
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

// Creates the dialog of template `id`, in the language the loader picks,
// without showing it: the copy of the template drops WS_VISIBLE.
HWND CreateHidden(int id)
{
    HRSRC res = FindResourceW(NULL, MAKEINTRESOURCEW(id), kDialogType);
    if (res == NULL)
        return NULL;
    DWORD size = SizeofResource(NULL, res);
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(NULL, res)));
    if (data == NULL || size < 16)
        return NULL;
    BYTE* copy = static_cast<BYTE*>(malloc(size));
    if (copy == NULL)
        return NULL;
    memcpy(copy, data, size);
    // An extended template begins with version 1 and 0xFFFF; its style lies
    // after the help id and the extended style. A classic one begins with it.
    bool extended = copy[0] == 1 && copy[1] == 0 && copy[2] == 0xFF && copy[3] == 0xFF;
    DWORD* style = reinterpret_cast<DWORD*>(copy + (extended ? 12 : 0));
    *style &= ~static_cast<DWORD>(WS_VISIBLE);
    HWND dialog = CreateDialogIndirectParamW(
        GetModuleHandleW(NULL), reinterpret_cast<LPCDLGTEMPLATEW>(copy), NULL, QuietProc, 0);
    free(copy);
    return dialog;
}

RECT RectInDialog(HWND dialog, HWND control)
{
    RECT r;
    GetWindowRect(control, &r);
    MapWindowPoints(NULL, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

bool Overlap(const RECT& a, const RECT& b)
{
    RECT both;
    return IntersectRect(&both, &a, &b) != FALSE;
}

// The size a text needs when drawn into `width` pixels with the dialog's
// font and the DrawText flags of its control.
SIZE TextSize(HWND dialog, const wchar_t* text, int width, UINT flags)
{
    SIZE needed = {0, 0};
    HDC dc = GetDC(dialog);
    if (dc == NULL)
        return needed;
    HFONT font = reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0));
    HGDIOBJ old = SelectObject(dc, font);
    RECT r = {0, 0, width, 0};
    DrawTextW(dc, text, -1, &r, flags | DT_CALCRECT);
    SelectObject(dc, old);
    ReleaseDC(dialog, dc);
    needed.cx = r.right - r.left;
    needed.cy = r.bottom - r.top;
    return needed;
}

int ControlId(HWND control)
{
    return static_cast<short>(GetDlgCtrlID(control));
}

bool IsClass(HWND control, const wchar_t* name)
{
    wchar_t className[16];
    return GetClassNameW(control, className, ARRAYSIZE(className)) > 0 &&
           lstrcmpiW(className, name) == 0;
}

void CheckTextFits(HWND dialog, HWND control, const wchar_t* text, const char* what)
{
    RECT client;
    GetClientRect(control, &client);
    bool button = IsClass(control, L"Button");
    UINT flags = button ? DT_SINGLELINE : DT_WORDBREAK | DT_EXPANDTABS;
    if (GetWindowLongW(control, GWL_STYLE) & SS_NOPREFIX && !button)
        flags |= DT_NOPREFIX;
    // A button needs room for its frame and focus rectangle beside the text.
    int margin = button ? 2 * (GetSystemMetrics(SM_CXEDGE) + 2) : 0;
    SIZE needed = TextSize(dialog, text, client.right - margin, flags);
    if (needed.cx + margin > client.right || needed.cy > client.bottom) {
        char utf8[512];
        ++g_failures;
        Report("FAIL %s: control %d is %ldx%ld px, its text needs %ldx%ld: %s", what,
               ControlId(control), client.right, client.bottom, needed.cx + margin, needed.cy,
               Utf8(text, utf8, sizeof(utf8)));
    }
}

void CheckCaptionFits(HWND dialog, const char* what)
{
    wchar_t caption[256];
    GetWindowTextW(dialog, caption, ARRAYSIZE(caption));
    NONCLIENTMETRICSW metrics;
    metrics.cbSize = sizeof(metrics);
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0))
        return;
    HFONT font = CreateFontIndirectW(&metrics.lfCaptionFont);
    HDC dc = GetDC(dialog);
    HGDIOBJ old = SelectObject(dc, font);
    SIZE text = {0, 0};
    GetTextExtentPoint32W(dc, caption, lstrlenW(caption), &text);
    SelectObject(dc, old);
    ReleaseDC(dialog, dc);
    DeleteObject(font);
    RECT window;
    GetWindowRect(dialog, &window);
    // Beside the text the caption holds the small icon, the close button and
    // the frame on both sides.
    int room = (window.right - window.left) - GetSystemMetrics(SM_CXSMICON) -
               GetSystemMetrics(SM_CXSIZE) - 4 * GetSystemMetrics(SM_CXFIXEDFRAME) - 8;
    if (text.cx > room) {
        ++g_failures;
        Report("FAIL %s: the caption needs %ld px, the title bar has %d", what, text.cx, room);
    }
}

// Buttons and text statics draw their text; icons and frames have none.
bool HasText(HWND control)
{
    if (IsClass(control, L"Button"))
        return true;
    LONG style = GetWindowLongW(control, GWL_STYLE);
    return IsClass(control, L"Static") && (style & SS_TYPEMASK) == SS_LEFT;
}

// OK replaces Yes and No when the run has ended: it may lie over them.
bool MayOverlap(int a, int b)
{
    return (a == IDOK && (b == IDC_YES || b == IDCANCEL)) ||
           (b == IDOK && (a == IDC_YES || a == IDCANCEL));
}

void CheckLayout(HWND dialog, const char* what)
{
    RECT client;
    GetClientRect(dialog, &client);
    for (HWND a = GetWindow(dialog, GW_CHILD); a != NULL; a = GetWindow(a, GW_HWNDNEXT)) {
        RECT ra = RectInDialog(dialog, a);
        Report("%s: control %d at (%ld,%ld)-(%ld,%ld)", what, ControlId(a), ra.left, ra.top,
               ra.right, ra.bottom);
        if (ra.left < 0 || ra.top < 0 || ra.right > client.right || ra.bottom > client.bottom) {
            ++g_failures;
            Report("FAIL %s: control %d (%ld,%ld)-(%ld,%ld) leaves the client area %ldx%ld", what,
                   ControlId(a), ra.left, ra.top, ra.right, ra.bottom, client.right, client.bottom);
        }
        for (HWND b = GetWindow(a, GW_HWNDNEXT); b != NULL; b = GetWindow(b, GW_HWNDNEXT)) {
            if (Overlap(ra, RectInDialog(dialog, b)) && !MayOverlap(ControlId(a), ControlId(b))) {
                ++g_failures;
                Report("FAIL %s: controls %d and %d overlap", what, ControlId(a), ControlId(b));
            }
        }
        wchar_t text[512];
        if (HasText(a) && GetWindowTextW(a, text, ARRAYSIZE(text)) > 0)
            CheckTextFits(dialog, a, text, what);
    }
    CheckCaptionFits(dialog, what);
}

void CheckLanguage(const char* what, LANGID picked, LANGID expected)
{
    Report("%s: language %u", what, picked);
    if (picked != expected) {
        ++g_failures;
        Report("FAIL %s: language %u, expected %u", what, picked, expected);
    }
}

// Whether the loader read the manifest at start-up: its common controls 6
// dependency makes comctl32.dll load from that side-by-side assembly instead
// of the system folder.
bool UsesCommonControls6()
{
    HMODULE comctl = LoadLibraryW(L"comctl32.dll");
    if (comctl == NULL)
        return false;
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(comctl, path, ARRAYSIZE(path));
    FreeLibrary(comctl);
    if (length == 0 || length >= ARRAYSIZE(path))
        return false;
    CharLowerW(path);
    return wcsstr(path, L"microsoft.windows.common-controls") != NULL;
}

int Check(LANGID expected)
{
    CheckLanguage("main dialog", PickedLanguage(kDialogType, MAKEINTRESOURCEW(IDD_INITTOOL_DIALOG)),
                  expected);
    CheckLanguage("strings", PickedLanguage(kStringType, MAKEINTRESOURCEW(kStringBlock)), expected);
    CheckLanguage("about box", PickedLanguage(kDialogType, MAKEINTRESOURCEW(IDD_ABOUTBOX)),
                  kChinesePrc);

    if (!UsesCommonControls6()) {
        ++g_failures;
        Report("FAIL: the process runs without common controls 6: the manifest was not applied");
    }

    HWND main = CreateHidden(IDD_INITTOOL_DIALOG);
    HWND about = CreateHidden(IDD_ABOUTBOX);
    if (main == NULL || about == NULL) {
        Report("FAIL: cannot create the dialogs (error %lu)", GetLastError());
        return 1;
    }
    CheckLayout(main, "main dialog");
    CheckLayout(about, "about box");
    // The message text also shows the outcome of the run.
    const UINT outcomes[] = {IDS_INIT_OK, IDS_INIT_FAILED};
    for (UINT id : outcomes) {
        wchar_t text[512];
        if (LoadStringW(NULL, id, text, ARRAYSIZE(text)) == 0) {
            ++g_failures;
            Report("FAIL: no string %u", id);
            continue;
        }
        CheckTextFits(main, GetDlgItem(main, IDC_MESSAGE), text, "outcome");
    }
    DestroyWindow(about);
    DestroyWindow(main);
    Report(g_failures == 0 ? "layout ok" : "%d problems", g_failures);
    return g_failures == 0 ? 0 : 1;
}

struct ShowRequest {
    int dialog;
    int state;  // 0 confirming, else the string shown as the outcome
    UINT milliseconds;
};

void SetMessage(HWND dialog, UINT id)
{
    wchar_t text[512];
    if (LoadStringW(NULL, id, text, ARRAYSIZE(text)) > 0)
        SetDlgItemTextW(dialog, IDC_MESSAGE, text);
}

void PrepareMain(HWND dialog, int state)
{
    HMENU menu = GetSystemMenu(dialog, FALSE);
    wchar_t about[128];
    if (menu != NULL && LoadStringW(NULL, IDS_ABOUTBOX, about, ARRAYSIZE(about)) > 0) {
        AppendMenuW(menu, MF_SEPARATOR, 0, NULL);
        AppendMenuW(menu, MF_STRING, IDM_ABOUTBOX, about);
    }
    HICON icon = LoadIconW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(IDR_MAINFRAME));
    SendMessageW(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    bool finished = state != 0;
    SetMessage(dialog, finished ? static_cast<UINT>(state) : IDS_INIT_WARNING);
    ShowWindow(GetDlgItem(dialog, IDC_YES), finished ? SW_HIDE : SW_SHOW);
    ShowWindow(GetDlgItem(dialog, IDCANCEL), finished ? SW_HIDE : SW_SHOW);
    ShowWindow(GetDlgItem(dialog, IDOK), finished ? SW_SHOW : SW_HIDE);
}

// Centres a dialog over its owner, or over the screen's work area when it
// has none, as the tool shows its dialogs.
void CenterOnOwner(HWND dialog)
{
    RECT area;
    HWND owner = GetWindow(dialog, GW_OWNER);
    if (owner != NULL)
        GetWindowRect(owner, &area);
    else
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    RECT r;
    GetWindowRect(dialog, &r);
    int x = area.left + ((area.right - area.left) - (r.right - r.left)) / 2;
    int y = area.top + ((area.bottom - area.top) - (r.bottom - r.top)) / 2;
    SetWindowPos(dialog, NULL, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK ShowProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: {
        const ShowRequest* request = reinterpret_cast<const ShowRequest*>(lParam);
        CenterOnOwner(dialog);
        if (request->dialog == IDD_INITTOOL_DIALOG)
            PrepareMain(dialog, request->state);
        if (request->milliseconds > 0)
            SetTimer(dialog, kCloseTimer, request->milliseconds, NULL);
        return TRUE;
    }
    case WM_TIMER:
        EndDialog(dialog, 0);
        return TRUE;
    case WM_SYSCOMMAND:
        if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
            ShowRequest about = {IDD_ABOUTBOX, 0, 0};
            DialogBoxParamW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(IDD_ABOUTBOX), dialog,
                            ShowProc, reinterpret_cast<LPARAM>(&about));
            return TRUE;
        }
        return FALSE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == IDC_YES) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    }
    return FALSE;
}

int Show(int argc, char** argv)
{
    ShowRequest request = {atoi(argv[2]), 0, 0};
    if (argc > 3 && strcmp(argv[3], "ok") == 0)
        request.state = IDS_INIT_OK;
    if (argc > 3 && strcmp(argv[3], "failed") == 0)
        request.state = IDS_INIT_FAILED;
    if (argc > 4)
        request.milliseconds = static_cast<UINT>(atoi(argv[4]));
    INT_PTR result = DialogBoxParamW(GetModuleHandleW(NULL), MAKEINTRESOURCEW(request.dialog),
                                     NULL, ShowProc, reinterpret_cast<LPARAM>(&request));
    return result == -1 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "check") == 0)
        return Check(static_cast<LANGID>(atoi(argv[2])));
    if (argc >= 3 && strcmp(argv[1], "show") == 0)
        return Show(argc, argv);
    fputs("usage: resview check <language id>\n"
          "       resview show <102|100> [confirm|ok|failed] [milliseconds]\n", stderr);
    return 2;
}
