// Holds a file open as another program on a lab PC may (a virus scanner, an
// editor): shared for reading and writing, not for deleting, until a second
// file appears. Says "held" once it holds it.
//
//   hold_file.exe <file> <release file>
#include <windows.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) return 2;
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0,
                              NULL);
    if (file == INVALID_HANDLE_VALUE) return 1;
    static const char held[] = "held\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), held, sizeof held - 1, &written, NULL);
    while (GetFileAttributesW(argv[2]) == INVALID_FILE_ATTRIBUTES) Sleep(100);
    CloseHandle(file);
    return 0;
}
