// Keeps a test run's virtual desktop open from its first test to its last.
// Wine closes a virtual desktop when the last program on it ends, and every
// test that opens a window would otherwise pay for opening it anew (the
// desktop's explorer starting up). It opens no window of its own, says
// "desktop held" once it runs on the desktop (whose explorer then stays its
// owner), and waits until the run's wineserver ends it.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    MSG msg;
    PeekMessageW(&msg, NULL, 0, 0, PM_NOREMOVE);  // this thread's queue, on the desktop
    static const char ready[] = "desktop held\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), ready, sizeof ready - 1, &written, NULL);
    while (GetMessageW(&msg, NULL, 0, 0) > 0) {
    }
    return 0;
}
