#include "RepairProcedure.h"

#include "InstallPath.h"
#include "RegistryString.h"
#include "RepairTexts.h"
#include "SharedString.h"

#include <windows.h>

namespace {

bool IsAnsiLeadByte(unsigned char byte) { return IsDBCSLeadByte(byte) != FALSE; }

} // namespace

FileExistence FileExists(const char* path)
{
    if (path == nullptr || path[0] == '\0')
        return FileExistence::Unknown;
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES)
        return FileExistence::Present;
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? FileExistence::Absent
                                                                          : FileExistence::Unknown;
}

bool RunRepair()
{
    bool succeeded = false;
    try {
        SharedString path;
        // The status is not needed: an empty text is the one sign that nothing usable was read.
        ReadRegistryString(RepairSubKeyPath, RepairValueName, path);
        if (path.Length() != 0) {
            AppendFileName(path, RepairFileName, IsAnsiLeadByte);
            // Judged by observation, not by this result: an already absent file is a success,
            // a file still visible afterwards a failure.
            DeleteFileA(path.Text());
            succeeded = FileExists(path.Text()) == FileExistence::Absent;
        }
    } catch (...) {
        // Only memory exhaustion raises, and only before the deletion; succeeded is still false.
    }
    return succeeded;
}

void ShowRepairResult(bool succeeded)
{
    MessageBoxA(GetDesktopWindow(), succeeded ? RepairSucceededMessage : RepairFailedMessage, RepairCaption,
        MB_OK | MB_ICONINFORMATION);
}
