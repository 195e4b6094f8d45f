// From the registry's raw string data to the full path of the file to delete. Portable: the
// ANSI code page's lead-byte test is passed in.
#pragma once

#include "SharedString.h"

#include <cstdint>

/// Whether a byte opens a double-byte character in the ANSI code page.
using LeadByteTest = bool (*)(unsigned char byte);

/// Length of the text stored in data[0, byteCount): up to the first NUL within the count, or the
/// whole count, since the registry does not promise a terminator. Never reads past byteCount.
int32_t StoredTextLength(const char* data, uint32_t byteCount);

/// Whether the last character of text[0, length) is '\' or '/'. Judged by characters, not bytes:
/// the trail byte of a double-byte character (0x5C in code page 936, say) is no separator.
bool EndsWithPathSeparator(const char* text, int32_t length, LeadByteTest isLeadByte);

/// Appends fileName to the directory held in path, with a '\' between them unless the directory
/// already ends in a separator. Pre: path is not empty.
void AppendFileName(SharedString& path, const char* fileName, LeadByteTest isLeadByte);
