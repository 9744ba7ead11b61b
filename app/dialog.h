// A small dialog framework over plain Win32 modal dialogs: the application
// object, windows, buttons, static texts and modal dialogs, with the member
// names of the classic class library so that the tool's classes read as
// usual.
#pragma once

#include <windows.h>

class CWnd {
public:
    HWND m_hWnd = NULL;

    HWND GetSafeHwnd() const { return m_hWnd; }
    BOOL ShowWindow(int command) { return ::ShowWindow(m_hWnd, command); }
    BOOL EnableWindow(BOOL enable) { return ::EnableWindow(m_hWnd, enable); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    BOOL UpdateWindow() { return ::UpdateWindow(m_hWnd); }
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0)
    {
        return ::SendMessageW(m_hWnd, message, wParam, lParam);
    }
    void SetIcon(HICON icon, BOOL bigIcon)
    {
        SendMessage(WM_SETICON, bigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    }
    // Sets the window text from a string resource of the module, in the
    // user's language, through the wide API.
    BOOL SetWindowTextFromResource(UINT stringId);
};

class CButton : public CWnd {};
class CStatic : public CWnd {};

// Binds a dialog control to its window object.
void DDX_Control(HWND dialog, int controlId, CWnd& control);

class CDialog : public CWnd {
public:
    explicit CDialog(UINT templateId, CWnd* parent = NULL) : m_templateId(templateId), m_parent(parent) {}
    virtual ~CDialog() = default;

    // Runs the dialog modally; returns the value it ended with (IDOK,
    // IDCANCEL), or -1 when it could not be created.
    INT_PTR DoModal();
    void EndDialog(INT_PTR result) { ::EndDialog(m_hWnd, result); }

protected:
    virtual void DoDataExchange() {}
    virtual BOOL OnInitDialog();
    virtual void OnOK() { EndDialog(IDOK); }
    virtual void OnCancel() { EndDialog(IDCANCEL); }

    // The dialog's message map: handles a message and returns TRUE, with the
    // message's result in `result`, or returns FALSE for default processing.
    virtual BOOL OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result);

private:
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    UINT m_templateId;
    CWnd* m_parent;
};

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp() = default;

    virtual BOOL InitInstance() { return FALSE; }
    // No help file ships with the tool: help does nothing.
    void OnHelp() {}
};

// The one application object.
CWinApp* AfxGetApp();
HINSTANCE AfxGetResourceHandle();
