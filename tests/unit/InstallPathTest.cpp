#include "InstallPath.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Code page 936: every byte from 0x81 to 0xFE opens a double-byte character.
bool IsCodePage936LeadByte(unsigned char byte) { return byte >= 0x81 && byte <= 0xFE; }
bool NoLeadBytes(unsigned char) { return false; }

bool EndsWithSeparator(const std::string& text, LeadByteTest test = IsCodePage936LeadByte)
{
    return EndsWithPathSeparator(text.data(), static_cast<int32_t>(text.size()), test);
}

TEST(StoredTextLength, EndsAtTheFirstNulWithinTheCountOrAtTheCount)
{
    EXPECT_EQ(StoredTextLength("C:\\App\\\0", 8), 7);
    EXPECT_EQ(StoredTextLength("C:\\App\\XXXX", 7), 7) << "no terminator: the bytes after the count are not read";
    EXPECT_EQ(StoredTextLength("C:\\\0App\\", 8), 3);
    EXPECT_EQ(StoredTextLength("\0", 1), 0);
    EXPECT_EQ(StoredTextLength("", 0), 0);
}

TEST(EndsWithPathSeparator, JudgesTheLastCharacterNotTheLastByte)
{
    EXPECT_TRUE(EndsWithSeparator("C:\\App\\"));
    EXPECT_TRUE(EndsWithSeparator("C:/App/"));
    EXPECT_FALSE(EndsWithSeparator("C:\\App"));
    EXPECT_FALSE(EndsWithSeparator(""));
    EXPECT_FALSE(EndsWithSeparator("C:\\\x81\x5C")) << "0x5C as a trail byte";
    EXPECT_TRUE(EndsWithSeparator("C:\\\x81\x5C\\"));
    EXPECT_TRUE(EndsWithSeparator("C:\\\xD0\xD0\\")) << "a separator after a whole character";
    EXPECT_TRUE(EndsWithSeparator("C:\\\x81\x5C\x81\x5C"
                                  "A\\"));
    EXPECT_TRUE(EndsWithSeparator("\\"));
    EXPECT_FALSE(EndsWithSeparator("\x81")) << "a lone lead byte is no separator";
    EXPECT_TRUE(EndsWithSeparator("C:\\\x81\x5C", NoLeadBytes)) << "single-byte code pages judge by byte";
}

TEST(AppendFileName, InsertsASeparatorOnlyWhereNoneEndsTheDirectory)
{
    const struct {
        const char* directory;
        const char* path;
    } cases[] = {
        {"C:\\App\\", "C:\\App\\FundNameTable.txt"},
        {"C:\\App", "C:\\App\\FundNameTable.txt"},
        {"C:/App/", "C:/App/FundNameTable.txt"},
        {"C:\\\x81\x5C", "C:\\\x81\x5C\\FundNameTable.txt"},
    };
    for (const auto& c : cases) {
        SharedString path;
        path.Append(c.directory);
        AppendFileName(path, "FundNameTable.txt", IsCodePage936LeadByte);
        EXPECT_STREQ(path.Text(), c.path) << c.directory;
    }
}

} // namespace
