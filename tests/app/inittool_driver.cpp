// Runs the tool and works its dialog step by step from the command line, for
// the demo and the screenshots:
//
//   inittool_driver.exe <tool exe> <step>...
//
// Steps: state (prints the dialog's caption, text and buttons), yes, no, ok,
// enter, finished (waits for the outcome), about (opens the About box,
// prints it, closes it), open-about (opens it, waits until it is shown and
// leaves it open), close-about,
// signal:<file> (creates the file), wait:<file> (waits until the file
// exists), exit (waits for the tool to end). Output is UTF-8. Exit code 0
// when every step succeeded.
#include <windows.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "resource.h"
#include "tool_driver.h"

namespace {

void PrintButton(const char* name, const ButtonState& state, const std::wstring& text)
{
    printf("  %-4s %s, %s, \"%s\"\n", name, state.visible ? "visible" : "hidden",
           state.enabled ? "enabled" : "disabled", ToUtf8(text).c_str());
}

void PrintState(const ToolProcess& tool)
{
    DialogState state = tool.ReadState();
    printf("dialog \"%s\"\n", ToUtf8(state.caption).c_str());
    printf("  text \"%s\"\n", ToUtf8(state.message).c_str());
    PrintButton("Yes", state.yes, state.yesText);
    PrintButton("No", state.no, state.noText);
    PrintButton("OK", state.ok, state.okText);
}

bool WaitForFile(const char* path)
{
    for (int i = 0; i < 3000; ++i) {
        if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) {
            return true;
        }
        Sleep(20);
    }
    return false;
}

bool RunStep(ToolProcess& tool, const char* step)
{
    if (strcmp(step, "state") == 0) {
        PrintState(tool);
        return true;
    }
    if (strcmp(step, "yes") == 0 || strcmp(step, "no") == 0 || strcmp(step, "ok") == 0) {
        tool.Press(step[0] == 'y' ? IDC_YES : step[0] == 'n' ? IDCANCEL : IDOK);
        return true;
    }
    if (strcmp(step, "enter") == 0) {
        tool.PressEnter();
        return true;
    }
    if (strcmp(step, "finished") == 0) {
        return tool.WaitForFinished();
    }
    if (strcmp(step, "about") == 0) {
        AboutState about;
        if (!tool.ReadAboutBox(about)) {
            return false;
        }
        printf("about \"%s\"\n%s", ToUtf8(about.caption).c_str(), ToUtf8(about.texts).c_str());
        return true;
    }
    if (strcmp(step, "open-about") == 0) {
        return tool.OpenAboutBox() != NULL;
    }
    if (strcmp(step, "close-about") == 0) {
        return tool.CloseAboutBox();
    }
    if (strncmp(step, "signal:", 7) == 0) {
        HANDLE file = CreateFileA(step + 7, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE) {
            return false;
        }
        CloseHandle(file);
        return true;
    }
    if (strncmp(step, "wait:", 5) == 0) {
        return WaitForFile(step + 5);
    }
    if (strcmp(step, "exit") == 0) {
        DWORD code = 0;
        if (!tool.WaitForExit(10000, &code)) {
            return false;
        }
        printf("tool exited with %lu\n", static_cast<unsigned long>(code));
        return true;
    }
    fprintf(stderr, "unknown step %s\n", step);
    return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: inittool_driver <tool exe> <step>...\n");
        return 2;
    }
    ToolProcess tool;
    if (!tool.Launch(argv[1])) {
        fprintf(stderr, "the tool did not start\n");
        return 1;
    }
    if (!tool.WaitForDialog()) {
        fprintf(stderr, "%s\n", tool.Failure().c_str());
        return 1;
    }
    for (int i = 2; i < argc; ++i) {
        char step[MAX_PATH * 2] = {};
        WideCharToMultiByte(CP_ACP, 0, argv[i], -1, step, sizeof(step) - 1, NULL, NULL);
        if (!RunStep(tool, step)) {
            fprintf(stderr, "step %s failed\n", step);
            return 1;
        }
        fflush(stdout);
    }
    return 0;
}
