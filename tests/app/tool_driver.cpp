#include "tool_driver.h"

#include <string>
#include <vector>

#include "resource.h"

namespace {

const UINT kAboutCommand = IDM_ABOUTBOX;
const int kYesId = IDC_YES;
const int kMessageId = IDC_MESSAGE;

struct FindContext {
    DWORD processId;
    HWND owner;
    HWND found;
};

bool IsDialogClass(HWND window)
{
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    return lstrcmpW(className, L"#32770") == 0;
}

BOOL CALLBACK FindDialogProc(HWND window, LPARAM lParam)
{
    FindContext* context = reinterpret_cast<FindContext*>(lParam);
    DWORD processId = 0;
    GetWindowThreadProcessId(window, &processId);
    if (processId == context->processId && IsDialogClass(window) &&
        GetWindow(window, GW_OWNER) == context->owner && IsWindowVisible(window)) {
        context->found = window;
        return FALSE;
    }
    return TRUE;
}

ButtonState ReadButton(HWND dialog, int id)
{
    HWND button = GetDlgItem(dialog, id);
    ButtonState state;
    state.visible = button != NULL && IsWindowVisible(button);
    state.enabled = button != NULL && IsWindowEnabled(button);
    return state;
}

}  // namespace

std::wstring WindowText(HWND window)
{
    wchar_t text[2048] = {};
    SendMessageTimeoutW(window, WM_GETTEXT, ARRAYSIZE(text), reinterpret_cast<LPARAM>(text),
                        SMTO_ABORTIFHUNG, 5000, NULL);
    text[ARRAYSIZE(text) - 1] = L'\0';
    return text;
}

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty()) {
        return std::string();
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), NULL,
                                   0, NULL, NULL);
    std::string result(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &result[0],
                        size, NULL, NULL);
    return result;
}

std::wstring BesideThisProgram(const wchar_t* name)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(NULL, path, MAX_PATH);
    std::wstring result(path);
    result.erase(result.find_last_of(L'\\') + 1);
    return result + name;
}

ToolProcess::~ToolProcess()
{
    Kill();
}

bool ToolProcess::Launch(const std::wstring& exePath, const std::wstring& currentDirectory)
{
    std::wstring commandLine = L"\"" + exePath + L"\"";
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    return CreateProcessW(exePath.c_str(), buffer.data(), NULL, NULL, FALSE, 0, NULL,
                          currentDirectory.empty() ? NULL : currentDirectory.c_str(), &startup,
                          &m_process) != FALSE;
}

HWND ToolProcess::FindOwnDialog(HWND owner) const
{
    FindContext context = {m_process.dwProcessId, owner, NULL};
    EnumWindows(FindDialogProc, reinterpret_cast<LPARAM>(&context));
    return context.found;
}

bool ToolProcess::WaitForDialog(DWORD timeoutMs)
{
    m_failure.clear();
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        m_dialog = FindOwnDialog(NULL);
        if (m_dialog != NULL && GetDlgItem(m_dialog, kMessageId) != NULL) {
            return true;
        }
        if (HasExited()) {
            DWORD exitCode = 0;
            if (m_process.hProcess != NULL) GetExitCodeProcess(m_process.hProcess, &exitCode);
            m_failure = "the tool ended (exit code " + std::to_string(exitCode) + ") before its dialog appeared";
            return false;
        }
        Sleep(20);
    }
    m_dialog = NULL;
    Kill();
    m_failure = "the tool's dialog did not appear within " + std::to_string(timeoutMs / 1000) +
                " s; the tool was ended";
    return false;
}

DialogState ToolProcess::ReadState() const
{
    DialogState state;
    state.caption = WindowText(m_dialog);
    state.message = WindowText(GetDlgItem(m_dialog, kMessageId));
    state.yes = ReadButton(m_dialog, kYesId);
    state.no = ReadButton(m_dialog, IDCANCEL);
    state.ok = ReadButton(m_dialog, IDOK);
    state.yesText = WindowText(GetDlgItem(m_dialog, kYesId));
    state.noText = WindowText(GetDlgItem(m_dialog, IDCANCEL));
    state.okText = WindowText(GetDlgItem(m_dialog, IDOK));
    return state;
}

void ToolProcess::Press(int controlId)
{
    HWND button = GetDlgItem(m_dialog, controlId);
    PostMessageW(m_dialog, WM_COMMAND, MAKEWPARAM(controlId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
}

void ToolProcess::PressEnter()
{
    GUITHREADINFO info = {};
    info.cbSize = sizeof(info);
    DWORD thread = GetWindowThreadProcessId(m_dialog, NULL);
    HWND target = m_dialog;
    if (GetGUIThreadInfo(thread, &info) && info.hwndFocus != NULL) {
        target = info.hwndFocus;
    }
    PostMessageW(target, WM_KEYDOWN, VK_RETURN, 0x001C0001);
    PostMessageW(target, WM_KEYUP, VK_RETURN, 0xC01C0001);
}

bool ToolProcess::WaitForFinished(DWORD timeoutMs, DWORD pollMs)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        if (IsWindowVisible(m_dialog) && ReadButton(m_dialog, IDOK).visible) {
            return true;
        }
        if (HasExited()) {
            return false;
        }
        Sleep(pollMs);
    }
    return false;
}

HWND ToolProcess::WaitForAboutBox(DWORD timeoutMs) const
{
    DWORD start = GetTickCount();
    HWND box = FindOwnDialog(m_dialog);
    while (box == NULL && GetTickCount() - start < timeoutMs) {
        Sleep(20);
        box = FindOwnDialog(m_dialog);
    }
    return box;
}

HWND ToolProcess::OpenAboutBox(DWORD timeoutMs)
{
    PostMessageW(m_dialog, WM_SYSCOMMAND, kAboutCommand, 0);
    return WaitForAboutBox(timeoutMs);
}

bool ToolProcess::ReadAboutBox(AboutState& about, DWORD timeoutMs)
{
    HWND box = OpenAboutBox(timeoutMs);
    if (box == NULL) {
        return false;
    }
    about.caption = WindowText(box);
    about.texts.clear();
    for (HWND child = GetWindow(box, GW_CHILD); child != NULL; child = GetWindow(child, GW_HWNDNEXT)) {
        if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
            continue;  // its "text" is the icon's resource id
        }
        std::wstring text = WindowText(child);
        if (!text.empty()) {
            about.texts += text + L"\n";
        }
    }
    return CloseAboutBox(timeoutMs);
}

bool ToolProcess::CloseAboutBox(DWORD timeoutMs)
{
    HWND box = WaitForAboutBox(timeoutMs);
    if (box == NULL) {
        return false;
    }
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, IDOK)));
    DWORD start = GetTickCount();
    while (IsWindow(box) && GetTickCount() - start < timeoutMs) {
        Sleep(20);
    }
    return !IsWindow(box);
}

bool ToolProcess::WaitForExit(DWORD timeoutMs, DWORD* exitCode)
{
    if (m_process.hProcess == NULL ||
        WaitForSingleObject(m_process.hProcess, timeoutMs) != WAIT_OBJECT_0) {
        return false;
    }
    if (exitCode != NULL) {
        GetExitCodeProcess(m_process.hProcess, exitCode);
    }
    return true;
}

bool ToolProcess::HasExited() const
{
    return m_process.hProcess == NULL || WaitForSingleObject(m_process.hProcess, 0) == WAIT_OBJECT_0;
}

void ToolProcess::Kill()
{
    if (m_process.hProcess != NULL) {
        if (!HasExited()) {
            TerminateProcess(m_process.hProcess, 1);
            WaitForSingleObject(m_process.hProcess, 5000);
        }
        CloseHandle(m_process.hProcess);
        CloseHandle(m_process.hThread);
        m_process = PROCESS_INFORMATION();
    }
}
