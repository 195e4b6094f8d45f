// Which Windows generation the tool runs on, from Win32s to Vista and later.
//
// The decision is a pure function of the raw version data; the query around it takes its
// platform calls through WindowsVersionPlatform, so both are testable without Windows.
#pragma once

#include <cstddef>
#include <cstdint>

enum WindowsVersion : int {
    Win32s = 0,        ///< non-NT, major version below 4
    NtOther = 1,       ///< NT not matched below, or no version record on NT
    Win95 = 2,         ///< non-NT 4.x other than 4.10 and 4.90, or no version record on non-NT
    Win98 = 3,         ///< non-NT 4.10
    WinMe = 4,         ///< non-NT 4.90
    Nt4 = 5,           ///< NT 4.x
    Win2000 = 6,       ///< NT 5.0
    WinXP = 7,         ///< NT 5.1
    WinServer2003 = 8, ///< NT 5.2
    VistaOrLater = 9,  ///< NT 6.0 and later
};

/// The version record, laid out as OSVERSIONINFOA (148 bytes).
struct VersionRecord {
    uint32_t dwOSVersionInfoSize;
    uint32_t dwMajorVersion;
    uint32_t dwMinorVersion;
    uint32_t dwBuildNumber;
    uint32_t dwPlatformId;
    char szCSDVersion[128];
};
static_assert(sizeof(VersionRecord) == 148, "the size GetVersionExA is told");

/// The raw version data: what GetVersion said, and the numbers of the version record, if one
/// could be had (a failing GetVersionExA leaves them zero).
struct VersionData {
    uint32_t getVersionResult;
    bool haveRecord;
    uint32_t majorVersion;
    uint32_t minorVersion;
};

/// The classification of raw version data. Pure.
WindowsVersion DecideWindowsVersion(const VersionData& data);

/// The platform calls the classification makes.
struct WindowsVersionPlatform {
    uint32_t (*getVersion)();
    /// A plain heap allocation that yields null on exhaustion (it never raises), and its release.
    void* (*allocate)(std::size_t bytes);
    void (*release)(void* memory);
    /// GetVersionExA; its result is not inspected.
    void (*getVersionEx)(VersionRecord* record);
};

/// Queries the platform and classifies: GetVersion first; the version record (zeroed, size
/// preset to 148) only when needed, never on Win32s, and released before returning.
WindowsVersion ClassifyWindowsVersion(const WindowsVersionPlatform& platform);
