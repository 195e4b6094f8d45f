// Raw registry bytes to the path of the table file: the stored byte count, a missing
// terminator, embedded NULs and the separator rule in code page 936.
#include "InstallPath.h"

#include "FuzzInput.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Code page 936's lead bytes, as a table of our own: 0x81 to 0xFE.
struct LeadByteTable {
    bool lead[256] = {};
    LeadByteTable()
    {
        for (int byte = 0x81; byte <= 0xFE; ++byte)
            lead[byte] = true;
    }
};
const LeadByteTable CodePage936;

bool IsCodePage936LeadByte(unsigned char byte) { return CodePage936.lead[byte]; }

// The model splits the text into its characters and looks at the last one.
bool ModelEndsWithSeparator(const std::string& text)
{
    std::vector<std::string> characters;
    for (std::size_t index = 0; index < text.size();) {
        const std::size_t width =
            CodePage936.lead[static_cast<unsigned char>(text[index])] && index + 1 < text.size() ? 2 : 1;
        characters.push_back(text.substr(index, width));
        index += width;
    }
    return !characters.empty() && (characters.back() == "\\" || characters.back() == "/");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    FuzzInput input(data, size);
    const std::size_t reported = input.Word() % 4200;
    std::string stored;
    while (!input.Empty())
        stored.push_back(static_cast<char>(input.Byte()));
    const std::size_t count = reported < stored.size() ? reported : stored.size();

    // An exactly sized copy: a read past the count is a sanitizer report.
    std::unique_ptr<char[]> bytes(new char[count != 0 ? count : 1]);
    std::memcpy(bytes.get(), stored.data(), count);
    const int32_t length = StoredTextLength(bytes.get(), static_cast<uint32_t>(count));
    const std::size_t nul = stored.substr(0, count).find('\0');
    FUZZ_EXPECT(static_cast<std::size_t>(length) == (nul == std::string::npos ? count : nul));

    const std::string directory = stored.substr(0, static_cast<std::size_t>(length));
    FUZZ_EXPECT(
        EndsWithPathSeparator(directory.data(), length, IsCodePage936LeadByte) == ModelEndsWithSeparator(directory));
    if (directory.empty())
        return 0;
    SharedString path;
    path.Append(directory.c_str());
    AppendFileName(path, "FundNameTable.txt", IsCodePage936LeadByte);
    const std::string expected = directory + (ModelEndsWithSeparator(directory) ? "" : "\\") + "FundNameTable.txt";
    FUZZ_EXPECT(path.Text() == expected);
    return 0;
}
