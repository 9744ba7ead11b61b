// The main dialog in this process: its system menu, icon and commands, seen
// from a second thread while the dialog runs modally on the main thread.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "app/init_tool_dlg.h"
#include "resource.h"
#include "time_factor.h"
#include "tool_texts.h"

namespace {

// The thread's dialog window, shown or not (the thread has other windows,
// such as the input method's).
BOOL CALLBACK FindThreadDialog(HWND window, LPARAM lParam)
{
    wchar_t className[16] = {};
    GetClassNameW(window, className, ARRAYSIZE(className));
    if (lstrcmpW(className, L"#32770") != 0) {
        return TRUE;
    }
    *reinterpret_cast<HWND*>(lParam) = window;
    return FALSE;
}

const DWORD kDialogTimeoutMs = ScaledMs(20000);

// Runs the main dialog modally and calls `inspect` with its window from
// another thread, then closes it. A dialog that is not visible within the
// time-out fails the case and is closed uninspected, shown or not. Returns
// what DoModal returned.
INT_PTR RunDialog(const std::function<void(HWND)>& inspect)
{
    DWORD uiThread = GetCurrentThreadId();
    std::atomic<bool> ended(false);
    std::thread worker([&] {
        DWORD start = GetTickCount();
        HWND dialog = NULL;
        bool late = false;
        while (dialog == NULL && !ended) {
            Sleep(10);
            late = GetTickCount() - start >= kDialogTimeoutMs;
            HWND found = NULL;
            EnumThreadWindows(uiThread, FindThreadDialog, reinterpret_cast<LPARAM>(&found));
            if (found != NULL && (late || IsWindowVisible(found))) {
                dialog = found;
            }
        }
        if (dialog == NULL) {
            return;  // DoModal ended without a dialog
        }
        if (late) {
            ADD_FAILURE() << "the dialog was not visible within " << kDialogTimeoutMs / 1000
                          << " s; it was closed";
        } else {
            inspect(dialog);
        }
        if (IsWindow(dialog)) {
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        }
    });
    CInitToolDlg dialog;
    INT_PTR result = dialog.DoModal();
    ended = true;
    worker.join();
    return result;
}

std::wstring ResourceString(UINT id)
{
    wchar_t text[512] = {};
    LoadStringW(GetModuleHandleW(NULL), id, text, ARRAYSIZE(text));
    return text;
}

// The About item's text in the user-interface language the build runs this
// test under (E2E_LANGUAGE); a language the tool lacks falls back to English.
std::wstring ExpectedAboutItem()
{
    const char* language = getenv("E2E_LANGUAGE");
    if (language == NULL) {
        return ResourceString(IDS_ABOUTBOX);
    }
    return TextsFor(language).aboutItem;
}

TEST(MainDialog, SystemMenuEndsWithSeparatorAndAboutItem)
{
    int count = 0;
    UINT separatorType = 0, aboutId = 0;
    std::wstring aboutText;
    RunDialog([&](HWND dialog) {
        HMENU menu = GetSystemMenu(dialog, FALSE);
        count = GetMenuItemCount(menu);
        MENUITEMINFOW item = {};
        item.cbSize = sizeof(item);
        item.fMask = MIIM_FTYPE;
        GetMenuItemInfoW(menu, count - 2, TRUE, &item);
        separatorType = item.fType;
        aboutId = GetMenuItemID(menu, count - 1);
        wchar_t text[256] = {};
        GetMenuStringW(menu, count - 1, text, ARRAYSIZE(text), MF_BYPOSITION);
        aboutText = text;
    });
    ASSERT_GE(count, 2);
    EXPECT_TRUE(separatorType & MFT_SEPARATOR);
    EXPECT_EQ(aboutId, static_cast<UINT>(IDM_ABOUTBOX));
    EXPECT_EQ(aboutText, ExpectedAboutItem());
    EXPECT_NE(aboutText.find(L"(&A)"), std::wstring::npos);
}

TEST(MainDialog, CarriesTheIconAndReturnsItForDragging)
{
    HICON big = NULL, small = NULL, drag = NULL;
    RunDialog([&](HWND dialog) {
        big = reinterpret_cast<HICON>(SendMessageW(dialog, WM_GETICON, ICON_BIG, 0));
        small = reinterpret_cast<HICON>(SendMessageW(dialog, WM_GETICON, ICON_SMALL, 0));
        drag = reinterpret_cast<HICON>(SendMessageW(dialog, WM_QUERYDRAGICON, 0, 0));
    });
    EXPECT_NE(big, static_cast<HICON>(NULL));
    EXPECT_EQ(big, small);
    EXPECT_EQ(big, drag);
}

// Minimising, painting and restoring happen on the dialog's own thread,
// inside one message, so that nothing (the desktop restoring a minimised
// window a few milliseconds later) can come between the steps.
const UINT kMinimiseProbe = WM_APP + 1;
WNDPROC s_dialogProc = NULL;
bool s_iconic = false;
bool s_restored = false;

LRESULT CALLBACK MinimiseProbeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != kMinimiseProbe) {
        return CallWindowProcW(s_dialogProc, window, message, wParam, lParam);
    }
    ShowWindow(window, SW_MINIMIZE);
    s_iconic = IsIconic(window) != FALSE;
    RedrawWindow(window, NULL, NULL, RDW_INVALIDATE | RDW_UPDATENOW);
    ShowWindow(window, SW_RESTORE);
    s_restored = !IsIconic(window) && IsWindowVisible(window);
    return 0;
}

TEST(MainDialog, MinimisedDialogPaintsAndRestores)
{
    s_iconic = s_restored = false;
    RunDialog([&](HWND dialog) {
        s_dialogProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
            dialog, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(MinimiseProbeProc)));
        SendMessageW(dialog, kMinimiseProbe, 0, 0);
        SetWindowLongPtrW(dialog, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(s_dialogProc));
    });
    EXPECT_TRUE(s_iconic);
    EXPECT_TRUE(s_restored);
}

TEST(MainDialog, HelpDoesNothingAndCloseEndsTheDialog)
{
    bool openAfterHelp = false;
    INT_PTR result = RunDialog([&](HWND dialog) {
        SendMessageW(dialog, WM_COMMAND, ID_HELP, 0);
        openAfterHelp = IsWindow(dialog) && IsWindowVisible(dialog);
        SendMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
        for (DWORD waited = 0; waited < ScaledMs(2000) && IsWindow(dialog); waited += 10) {
            Sleep(10);
        }
    });
    EXPECT_TRUE(openAfterHelp);
    EXPECT_EQ(result, IDCANCEL);
}

TEST(MainDialog, MinimisedIconIsCentredRoundingTowardZero)
{
    POINT centred = IconOrigin(100, 50, 32, 32);
    EXPECT_EQ(centred.x, 34);
    EXPECT_EQ(centred.y, 9);
    // Smaller than the icon: (10 - 32 + 1) / 2 is -10, not -11.
    POINT clipped = IconOrigin(10, 9, 32, 32);
    EXPECT_EQ(clipped.x, -10);
    EXPECT_EQ(clipped.y, -11);
}

}  // namespace
