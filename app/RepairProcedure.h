// The repair: find the install directory, delete the fund name table file there, confirm it is
// gone, and tell the user.
#pragma once

/// What GetFileAttributesA says of a path.
enum class FileExistence {
    Present, ///< the path names something, a directory included
    Absent,  ///< the platform says no such file or no such path
    Unknown, ///< any other failure (access denied, a bad name, a network path that is gone), or a null or empty path
};

FileExistence FileExists(const char* path);

/// Reads the install directory, deletes the table file in it and reports whether the file is
/// confirmed gone. Never raises: any exception (memory exhaustion) means false.
bool RunRepair();

/// The modal message box over the desktop window: the success or the failure message, caption
/// and information icon, one OK button. Returns when the user has dismissed it.
void ShowRepairResult(bool succeeded);
