// Drives the tool's dialog from another process, as a user would: starts the
// tool, finds its dialog, reads texts and button states, presses buttons and
// keys, opens the About box through the system menu. The waits' default
// limits are scaled by the place's factor (time_factor.h).
#pragma once

#include <windows.h>

#include <string>

#include "time_factor.h"

struct ButtonState {
    bool visible = false;
    bool enabled = false;
};

struct DialogState {
    std::wstring caption;
    std::wstring message;
    ButtonState yes, no, ok;
    std::wstring yesText, noText, okText;
};

struct AboutState {
    std::wstring caption;
    std::wstring texts;  // the static texts and the button text, one per line
};

class ToolProcess {
public:
    ToolProcess() = default;
    ~ToolProcess();
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    // Starts the program, in currentDirectory when one is given. It inherits
    // this process's environment.
    bool Launch(const std::wstring& exePath, const std::wstring& currentDirectory = L"");
    // Waits until the main dialog is visible. False when the tool ended
    // first, or after the timeout: then the tool is ended, so that no dialog
    // that comes later stays open. Failure() says which.
    bool WaitForDialog(DWORD timeoutMs = ScaledMs(20000));
    // Why the last WaitForDialog returned false; "" when it did not.
    const std::string& Failure() const { return m_failure; }
    HWND Dialog() const { return m_dialog; }
    DialogState ReadState() const;

    // Clicks a button of the main dialog (posted, so the call does not wait
    // for the run).
    void Press(int controlId);
    // Posts Enter to whichever control of the dialog has the focus, through
    // the dialog manager's keyboard handling.
    void PressEnter();
    // Waits until the dialog shows the outcome (OK visible, shown again),
    // looking every pollMs milliseconds (the benchmark looks every 1 ms).
    bool WaitForFinished(DWORD timeoutMs = ScaledMs(30000), DWORD pollMs = 20);

    // Opens the About box through the system menu command, reads it, and
    // closes it with its OK button.
    bool ReadAboutBox(AboutState& about, DWORD timeoutMs = ScaledMs(10000));
    // Opens the About box through the system menu command and waits until it
    // is shown; it stays open. Returns its window, or null after the timeout.
    HWND OpenAboutBox(DWORD timeoutMs = ScaledMs(10000));
    // Closes an open About box with its OK button.
    bool CloseAboutBox(DWORD timeoutMs = ScaledMs(10000));

    // Waits for the process to end; false after the timeout.
    bool WaitForExit(DWORD timeoutMs = ScaledMs(10000), DWORD* exitCode = NULL);
    bool HasExited() const;
    void Kill();

private:
    HWND FindOwnDialog(HWND owner) const;
    HWND WaitForAboutBox(DWORD timeoutMs) const;

    PROCESS_INFORMATION m_process = {};
    HWND m_dialog = NULL;
    std::string m_failure;
};

std::wstring WindowText(HWND window);
std::string ToUtf8(const std::wstring& text);
// Path of a file beside the running program.
std::wstring BesideThisProgram(const wchar_t* name);
