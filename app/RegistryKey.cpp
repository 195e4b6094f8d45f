#include "RegistryKey.h"

LONG RegistryKey::OpenKey(int readOnly, HKEY parent, const char* subKeyPath)
{
    CloseKey();
    ownsHandle = 1;
    if (subKeyPath == nullptr || subKeyPath[0] == '\0') {
        ownsHandle = 0;
        handle = parent;
        return ERROR_SUCCESS;
    }
    HKEY opened = nullptr;
    LONG status;
    if (readOnly != 0) {
        status = RegOpenKeyExA(parent, subKeyPath, 0, KEY_QUERY_VALUE, &opened);
    } else {
        DWORD disposition;
        status = RegCreateKeyExA(parent, subKeyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
            KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &opened, &disposition);
    }
    // A failing call may leave anything in its out parameter; only a success is a key of ours.
    handle = status == ERROR_SUCCESS ? opened : nullptr;
    return status;
}

void RegistryKey::CloseKey()
{
    if (handle != nullptr && ownsHandle != 0) {
        RegCloseKey(handle);
        handle = nullptr;
    }
}

LONG RegistryKey::ReadValue(const char* valueName, BYTE* buffer, DWORD size, DWORD* type, DWORD* byteCount)
{
    *byteCount = size;
    return RegQueryValueExA(handle, valueName, nullptr, type, buffer, byteCount);
}
