// Keeps a desktop of a test run open from its first test to its last. Wine
// starts a desktop's explorer when the first program opens a window there
// and ends it a second after the last program on it; a test that started it
// would wait for its output (the explorer inherits it) and pay for the start.
// It opens no window of its own, says "desktop held" once the desktop and its
// explorer are up, and waits until the run's wineserver ends it.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    GetDesktopWindow();  // the desktop's window, and so its explorer
    MSG msg;
    PeekMessageW(&msg, NULL, 0, 0, PM_NOREMOVE);  // this thread's queue, on the desktop
    static const char ready[] = "desktop held\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), ready, sizeof ready - 1, &written, NULL);
    while (GetMessageW(&msg, NULL, 0, 0) > 0) {
    }
    return 0;
}
