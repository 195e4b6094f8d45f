// Reading one string value below RegistryRoot into a SharedString.
#pragma once

#include "SharedString.h"

#include <windows.h>

#include <cstdint>

/// The most bytes a value may hold, and the most characters its expansion may take.
constexpr int32_t RegistryStringCapacity = 4096;

/// Reads the value valueName of the key RegistryRoot\subKeyPath, opened read-only, into out.
/// REG_SZ is taken as stored; REG_EXPAND_SZ has its environment references expanded. The text
/// ends at the first NUL within the bytes the registry reports, or where they end.
///
/// On failure out keeps its text, and the status says why: that of the open (ERROR_FILE_NOT_FOUND:
/// no key; ERROR_ACCESS_DENIED), that of the read (ERROR_FILE_NOT_FOUND: no value;
/// ERROR_MORE_DATA: more than RegistryStringCapacity bytes), ERROR_MORE_DATA for an expansion
/// longer than RegistryStringCapacity characters, ERROR_UNSUPPORTED_TYPE for any other type.
/// Raises std::bad_alloc on exhaustion, with the key closed and out unchanged.
LONG ReadRegistryString(const char* subKeyPath, const char* valueName, SharedString& out);
