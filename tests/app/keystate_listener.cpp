// Listens for the key-state-change broadcast, as another program on the
// desktop would, and records every one it receives.
//
//   keystate_listener.exe [--stop-file <file>] <log file> [<watched file>...]
//
// Each received message appends one line to the log:
//   received wparam=0x00000000 lparam=0x00000000 watched_present=<n>
// where n counts the watched files that still existed at that moment. The
// listener creates the event "KeyStateListenerReady" once its window exists,
// and ends when the event "KeyStateListenerStop" is set, when the stop file
// exists (for scripts, which cannot set an event), or after 120 s.
#include <windows.h>
#include <stdio.h>
#include <string.h>

namespace {

const char kMessageName[] = "Varkeld KSV CSP_KeyStateChangeMessage";

UINT s_message = 0;
const char* s_logPath = NULL;
const char* s_stopFile = NULL;
int s_watchedCount = 0;
char** s_watched = NULL;

void Record(WPARAM wParam, LPARAM lParam)
{
    int present = 0;
    for (int i = 0; i < s_watchedCount; ++i) {
        if (GetFileAttributesA(s_watched[i]) != INVALID_FILE_ATTRIBUTES) {
            ++present;
        }
    }
    FILE* log = fopen(s_logPath, "a");
    if (log != NULL) {
        fprintf(log, "received wparam=0x%08lx lparam=0x%08lx watched_present=%d\n",
                static_cast<unsigned long>(wParam), static_cast<unsigned long>(lParam), present);
        fclose(log);
    }
}

LRESULT CALLBACK ListenerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == s_message && s_message != 0) {
        Record(wParam, lParam);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

int main(int argc, char** argv)
{
    int first = 1;
    if (argc > 2 && strcmp(argv[1], "--stop-file") == 0) {
        s_stopFile = argv[2];
        first = 3;
    }
    if (argc <= first) {
        fprintf(stderr, "usage: keystate_listener [--stop-file <file>] <log file> [<watched file>...]\n");
        return 2;
    }
    s_logPath = argv[first];
    s_watched = argv + first + 1;
    s_watchedCount = argc - first - 1;
    s_message = RegisterWindowMessageA(kMessageName);

    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = ListenerProc;
    windowClass.hInstance = GetModuleHandleA(NULL);
    windowClass.lpszClassName = "KeyStateListener";
    RegisterClassA(&windowClass);
    // A hidden, unowned top-level window: broadcasts reach it.
    HWND window = CreateWindowA("KeyStateListener", "KeyStateListener", WS_OVERLAPPED, 0, 0, 10,
                                10, NULL, NULL, windowClass.hInstance, NULL);
    if (window == NULL) {
        return 1;
    }

    HANDLE stop = CreateEventA(NULL, TRUE, FALSE, "KeyStateListenerStop");
    HANDLE ready = CreateEventA(NULL, TRUE, FALSE, "KeyStateListenerReady");
    SetEvent(ready);

    DWORD deadline = GetTickCount() + 120000;
    for (;;) {
        DWORD now = GetTickCount();
        if (static_cast<LONG>(deadline - now) <= 0) {
            break;
        }
        if (s_stopFile != NULL && GetFileAttributesA(s_stopFile) != INVALID_FILE_ATTRIBUTES) {
            break;
        }
        DWORD slice = s_stopFile != NULL ? 100 : deadline - now;
        DWORD wait = MsgWaitForMultipleObjects(1, &stop, FALSE, slice, QS_ALLINPUT);
        if (wait == WAIT_OBJECT_0) {
            break;
        }
        MSG msg;
        while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&msg);
        }
    }
    // Whatever is still queued was received too.
    MSG msg;
    while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) {
        DispatchMessageA(&msg);
    }
    DestroyWindow(window);
    CloseHandle(ready);
    CloseHandle(stop);
    return 0;
}
