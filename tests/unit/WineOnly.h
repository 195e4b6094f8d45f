// For tests that write the quotes application's own registry key below the real root: they
// delete it afterwards, which on a Windows machine with the application installed would destroy
// its install path. They run only under Wine, a sandbox of the build's own.
#pragma once

#include <windows.h>

/// Wine's ntdll exports wine_get_version; Windows' does not.
inline bool RunsUnderWine()
{
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

inline constexpr char WineOnlyRefusal[] =
    "refused: this test writes and then deletes the quotes application's own registry key, so it runs "
    "only under Wine; on this Windows it would destroy the application's install path";
