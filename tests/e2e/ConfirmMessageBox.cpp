// Demo and test helper: runs a program, waits for its message box, tells the caller where the box
// is, and presses the box's OK button once the caller has looked at it. The button is pressed by a
// message to the dialog, so neither screen coordinates nor keyboard focus matter.
//
// Usage: ConfirmMessageBox CAPTION READY_FILE SECONDS PROGRAM
//   READY_FILE is created, holding the box's rectangle "left top width height", once the box is
//   shown and its thread answers messages; OK is pressed when the caller deletes it. Every wait
//   ends SECONDS after the start; the program is ended if it still runs then.
//
// Exit status: 0 the box was shown, confirmed, and the program ended; 2 bad usage, or the program
// or the ready file could not be made; 10 no box in time; 11 the program ended without a box;
// 12 the ready file was not deleted in time; 13 the program did not end after OK.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <cwctype>

namespace {

struct BoxSearch {
    DWORD processId;
    const wchar_t* caption;
    HWND found;
};

BOOL CALLBACK MatchBox(HWND window, LPARAM parameter)
{
    auto* search =
        reinterpret_cast<BoxSearch*>(parameter); // NOLINT(performance-no-int-to-ptr): how EnumWindows passes it
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t text[64] = L"";
    wchar_t className[16] = L"";
    if (owner == search->processId && IsWindowVisible(window) && GetClassNameW(window, className, 16) > 0 &&
        wcscmp(className, L"#32770") == 0 && GetWindowTextW(window, text, 64) > 0 &&
        wcscmp(text, search->caption) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

bool Remaining(DWORD deadline, DWORD* left)
{
    DWORD now = GetTickCount();
    if (static_cast<LONG>(deadline - now) <= 0)
        return false;
    *left = deadline - now;
    return true;
}

int Finish(HANDLE process, int status)
{
    if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0)
        TerminateProcess(process, 1);
    CloseHandle(process);
    return status;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 5 || !std::iswdigit(argv[3][0]))
        return 2;
    const wchar_t* readyFile = argv[2];
    DWORD deadline = GetTickCount() + 1000 * static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10));

    // The program writes where this helper writes, so a caller can read what it traced.
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION started = {};
    wchar_t commandLine[MAX_PATH + 3];
    if (std::swprintf(commandLine, MAX_PATH + 3, L"\"%ls\"", argv[4]) < 0 ||
        !CreateProcessW(argv[4], commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started))
        return 2;
    CloseHandle(started.hThread);
    HANDLE process = started.hProcess;

    BoxSearch search = {started.dwProcessId, argv[1], nullptr};
    DWORD left = 0;
    while (!search.found) {
        if (!Remaining(deadline, &left))
            return Finish(process, 10);
        if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0)
            return Finish(process, 11);
        EnumWindows(MatchBox, reinterpret_cast<LPARAM>(&search));
        if (!search.found)
            Sleep(50);
    }
    // Visible is not yet painted: once the box's thread answers, its modal loop runs, and the
    // forced update paints it before the caller is told. With no window manager to focus the
    // display, the box would be drawn inactive; a customer sees the active title bar.
    DWORD_PTR ignored = 0;
    if (!Remaining(deadline, &left) || !SendMessageTimeoutW(search.found, WM_NULL, 0, 0, SMTO_NORMAL, left, &ignored))
        return Finish(process, 10);
    SendMessageTimeoutW(search.found, WM_NCACTIVATE, TRUE, 0, SMTO_NORMAL, left, &ignored);
    RedrawWindow(search.found, nullptr, nullptr, RDW_INVALIDATE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);

    RECT box = {};
    GetWindowRect(search.found, &box);
    HANDLE ready = CreateFileW(readyFile, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (ready == INVALID_HANDLE_VALUE)
        return Finish(process, 2);
    char rectangle[64];
    int length = std::snprintf(rectangle, sizeof rectangle, "%ld %ld %ld %ld\n", box.left, box.top,
        box.right - box.left, box.bottom - box.top);
    DWORD written = 0;
    WriteFile(ready, rectangle, static_cast<DWORD>(length), &written, nullptr);
    CloseHandle(ready);

    while (GetFileAttributesW(readyFile) != INVALID_FILE_ATTRIBUTES) {
        if (!Remaining(deadline, &left))
            return Finish(process, 12);
        Sleep(50);
    }
    PostMessageW(search.found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
        reinterpret_cast<LPARAM>(GetDlgItem(search.found, IDOK)));
    if (!Remaining(deadline, &left) || WaitForSingleObject(process, left) != WAIT_OBJECT_0)
        return Finish(process, 13);
    return Finish(process, 0);
}
