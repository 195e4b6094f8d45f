// RegistryKey: the owner of one registry key handle.
//
// Invariants:
//  - handle is null, or a key this object opened or created (ownsHandle 1), or a borrowed
//    parent key (ownsHandle 0);
//  - a borrowed key is never closed here; an owned one is closed exactly once, by CloseKey or
//    the destructor;
//  - access masks never carry a registry-view flag: the process's default view is read.
#pragma once

#include <windows.h>

class RegistryKey {
public:
    RegistryKey() = default;
    ~RegistryKey() { CloseKey(); }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    /// Closes what the object held, then opens parent\subKeyPath. readOnly: RegOpenKeyExA with
    /// KEY_QUERY_VALUE, the key must exist. Otherwise RegCreateKeyExA with KEY_QUERY_VALUE |
    /// KEY_SET_VALUE, creating the key when missing. A null or empty subKeyPath borrows parent
    /// and returns ERROR_SUCCESS. Returns the Win32 status; on failure the object holds nothing.
    /// Pre: parent is an open or predefined key.
    LONG OpenKey(int readOnly, HKEY parent, const char* subKeyPath);

    /// Closes an owned key and forgets it; a borrowed handle is left as it is.
    void CloseKey();

    /// RegQueryValueExA on the held key into buffer[0, size). On return *type holds the value's
    /// type and *byteCount the bytes the registry reports: those written on success, those needed
    /// on ERROR_MORE_DATA (then the buffer's contents are undefined). ERROR_FILE_NOT_FOUND: no
    /// such value. Pre: OpenKey succeeded.
    LONG ReadValue(const char* valueName, BYTE* buffer, DWORD size, DWORD* type, DWORD* byteCount);

    HKEY Handle() const { return handle; }
    bool OwnsHandle() const { return ownsHandle != 0; }

private:
    HKEY handle = nullptr;
    int ownsHandle = 1;
};
