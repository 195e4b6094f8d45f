#include "WindowsVersion.h"

#include <cstring>

namespace {

bool IsNtPlatform(uint32_t getVersionResult) { return getVersionResult < 0x80000000u; }
// Non-NT below major version 4: told from GetVersion alone, without a version record.
bool IsWin32s(uint32_t getVersionResult) { return !IsNtPlatform(getVersionResult) && (getVersionResult & 0xFFu) < 4; }

WindowsVersion DecideNt(uint32_t major, uint32_t minor)
{
    if (major == 4)
        return Nt4;
    if (major == 5 && minor == 0)
        return Win2000;
    if (major == 5 && minor == 1)
        return WinXP;
    if (major == 5 && minor == 2)
        return WinServer2003;
    if (major >= 6)
        return VistaOrLater;
    return NtOther;
}

WindowsVersion DecideNonNt(uint32_t major, uint32_t minor)
{
    if (major == 4 && minor == 10)
        return Win98;
    if (major == 4 && minor == 90)
        return WinMe;
    return Win95;
}

} // namespace

WindowsVersion DecideWindowsVersion(const VersionData& data)
{
    if (IsNtPlatform(data.getVersionResult)) {
        if (!data.haveRecord)
            return NtOther;
        return DecideNt(data.majorVersion, data.minorVersion);
    }
    if (IsWin32s(data.getVersionResult))
        return Win32s;
    if (!data.haveRecord)
        return Win95;
    return DecideNonNt(data.majorVersion, data.minorVersion);
}

WindowsVersion ClassifyWindowsVersion(const WindowsVersionPlatform& platform)
{
    VersionData data = {platform.getVersion(), false, 0, 0};
    if (!IsWin32s(data.getVersionResult)) {
        VersionRecord* record = static_cast<VersionRecord*>(platform.allocate(sizeof(VersionRecord)));
        if (record != nullptr) {
            std::memset(record, 0, sizeof(VersionRecord));
            record->dwOSVersionInfoSize = sizeof(VersionRecord);
            platform.getVersionEx(record);
            data.haveRecord = true;
            data.majorVersion = record->dwMajorVersion;
            data.minorVersion = record->dwMinorVersion;
            platform.release(record);
        }
    }
    return DecideWindowsVersion(data);
}
