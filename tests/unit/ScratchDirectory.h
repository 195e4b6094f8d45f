// A directory of the test's own below the temporary directory, removed with what the test left
// in it (files only). Its name carries the process ID: CTest runs the tests of one prefix two at
// a time, and one test removing the directory must not pull it from under another.
#pragma once

#include <windows.h>

#include <string>

class ScratchDirectory {
public:
    explicit ScratchDirectory(const char* name)
    {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        path = std::string(temp) + name + "-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(path.c_str(), nullptr);
    }
    ~ScratchDirectory()
    {
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do
                DeleteFileA((path + "\\" + found.cFileName).c_str());
            while (FindNextFileA(search, &found));
            FindClose(search);
        }
        RemoveDirectoryA(path.c_str());
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    /// Creates (or empties) the file in the directory; returns its path, empty on failure.
    std::string AddFile(const char* name) const
    {
        std::string file = path + "\\" + name;
        HANDLE handle = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            return std::string();
        CloseHandle(handle);
        return file;
    }

    std::string path;
};
