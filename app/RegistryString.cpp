#include "RegistryString.h"

#include "InstallPath.h"
#include "RegistryKey.h"
#include "RegistryRoot.h"

namespace {

// Replaces text by its expansion. Fails, leaving text alone, when the expansion does not fit.
LONG ExpandEnvironmentReferences(SharedString& text)
{
    // One character of room beyond the limit: some systems' ANSI expansion writes one byte more
    // than it reports.
    const DWORD room = RegistryStringCapacity + 1;
    SharedString expanded;
    char* buffer = expanded.ReserveBuffer(room);
    const DWORD needed = ExpandEnvironmentStringsA(text.Text(), buffer, room);
    if (needed == 0) {
        const DWORD error = GetLastError();
        return error != ERROR_SUCCESS ? static_cast<LONG>(error) : ERROR_INVALID_DATA;
    }
    if (needed > room)
        return ERROR_MORE_DATA;
    expanded.CommitBuffer(-1);
    if (expanded.Length() > RegistryStringCapacity)
        return ERROR_MORE_DATA;
    text.Swap(expanded);
    return ERROR_SUCCESS;
}

} // namespace

LONG ReadRegistryString(const char* subKeyPath, const char* valueName, SharedString& out)
{
    RegistryKey key;
    LONG status = key.OpenKey(1, RegistryRoot, subKeyPath);
    if (status != ERROR_SUCCESS)
        return status;

    // Read aside, so that a failed or refused read never touches out.
    SharedString value;
    char* buffer = value.ReserveBuffer(RegistryStringCapacity);
    DWORD type = REG_NONE;
    DWORD byteCount = 0;
    status = key.ReadValue(valueName, reinterpret_cast<BYTE*>(buffer), RegistryStringCapacity, &type, &byteCount);
    key.CloseKey();
    if (status != ERROR_SUCCESS)
        return status;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_UNSUPPORTED_TYPE;

    const DWORD stored = byteCount < DWORD(RegistryStringCapacity) ? byteCount : DWORD(RegistryStringCapacity);
    value.CommitBuffer(StoredTextLength(buffer, stored));
    if (type == REG_EXPAND_SZ) {
        status = ExpandEnvironmentReferences(value);
        if (status != ERROR_SUCCESS)
            return status;
    }
    out.Swap(value);
    return ERROR_SUCCESS;
}
