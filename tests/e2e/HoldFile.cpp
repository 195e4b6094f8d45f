// Test helper: holds a file open the way a running quotes program would, without
// FILE_SHARE_DELETE, until the marker file it creates is removed (at most a minute).
// Usage: HoldFile FILE MARKER
#include <windows.h>

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 3;
    HANDLE marker = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    if (marker == INVALID_HANDLE_VALUE)
        return 4;
    CloseHandle(marker);
    for (int waited = 0; waited < 60000 && GetFileAttributesA(argv[2]) != INVALID_FILE_ATTRIBUTES; waited += 50)
        Sleep(50);
    CloseHandle(file);
    return 0;
}
