#include "InstallPath.h"

#include <cstring>

int32_t StoredTextLength(const char* data, uint32_t byteCount)
{
    const void* nul = std::memchr(data, '\0', byteCount);
    return static_cast<int32_t>(nul != nullptr ? static_cast<const char*>(nul) - data : byteCount);
}

bool EndsWithPathSeparator(const char* text, int32_t length, LeadByteTest isLeadByte)
{
    // Walk character by character from the start: a trail byte cannot be told from a single-byte
    // character by looking backwards. A lead byte with nothing after it stands alone.
    int32_t last = -1;
    for (int32_t index = 0; index < length;) {
        last = index;
        const bool doubleByte = isLeadByte(static_cast<unsigned char>(text[index])) && index + 1 < length;
        index += doubleByte ? 2 : 1;
    }
    if (last < 0 || last != length - 1)
        return false;
    return text[last] == '\\' || text[last] == '/';
}

void AppendFileName(SharedString& path, const char* fileName, LeadByteTest isLeadByte)
{
    if (!EndsWithPathSeparator(path.Text(), path.Length(), isLeadByte))
        path.Append("\\");
    path.Append(fileName);
}
