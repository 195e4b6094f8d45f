// Each test pins one behaviour of the registry access on the platform itself (under Wine on
// Linux), below a scratch key of the registry root.
#include "RegistryKey.h"
#include "RegistryRoot.h"
#include "RegistryString.h"

#include "CountingHeap.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>

namespace {

class Registry : public testing::Test {
protected:
    // The key carries the process ID: CTest runs the tests of one prefix two at a time, and one
    // test's SetUp must not delete the key another is reading.
    const std::string Scratch = "SoftWare\\FundTableRepairTests-" + std::to_string(GetCurrentProcessId());
    const std::string ScratchKey = Scratch + "\\Key";

    void SetUp() override
    {
        RegDeleteKeyA(RegistryRoot, ScratchKey.c_str());
        RegDeleteKeyA(RegistryRoot, Scratch.c_str());
        ASSERT_EQ(
            RegCreateKeyExA(RegistryRoot, ScratchKey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
    }
    void TearDown() override
    {
        RegCloseKey(key);
        RegDeleteKeyA(RegistryRoot, ScratchKey.c_str());
        RegDeleteKeyA(RegistryRoot, Scratch.c_str());
    }
    void Store(DWORD type, const void* data, DWORD bytes)
    {
        ASSERT_EQ(RegSetValueExA(key, "FilePath", 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
    }
    void StoreText(const std::string& text) { Store(REG_SZ, text.c_str(), DWORD(text.size()) + 1); }
    LONG Read(SharedString& out) { return ReadRegistryString(ScratchKey.c_str(), "FilePath", out); }

    HKEY key = nullptr;
};

TEST_F(Registry, RootIsTheCurrentUserFromVistaOn)
{
    EXPECT_EQ(RegistryRoot, IsVistaOrLater() ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE);
}

TEST_F(Registry, OpenKeyWithoutSubKeyBorrowsTheParentAndNeverClosesIt)
{
    for (const char* subKey : {static_cast<const char*>(nullptr), ""}) {
        RegistryKey borrowed;
        EXPECT_EQ(borrowed.OpenKey(1, key, subKey), ERROR_SUCCESS);
        EXPECT_EQ(borrowed.Handle(), key);
        EXPECT_FALSE(borrowed.OwnsHandle());
        borrowed.CloseKey();
        EXPECT_EQ(borrowed.Handle(), key);
    }
    DWORD type;
    EXPECT_EQ(RegQueryValueExA(key, "none", nullptr, &type, nullptr, nullptr), ERROR_FILE_NOT_FOUND)
        << "the parent is still open";
}

TEST_F(Registry, OpenKeyReadOnlyRequiresTheKeyAndCreatesNothing)
{
    RegistryKey missing;
    EXPECT_EQ(missing.OpenKey(1, key, "Missing"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing.Handle(), nullptr);
    HKEY probe;
    EXPECT_EQ(RegOpenKeyExA(key, "Missing", 0, KEY_QUERY_VALUE, &probe), ERROR_FILE_NOT_FOUND);
}

TEST_F(Registry, OpenKeyForWritingCreatesTheKey)
{
    {
        RegistryKey created;
        EXPECT_EQ(created.OpenKey(0, key, "Created"), ERROR_SUCCESS);
        EXPECT_NE(created.Handle(), nullptr);
        EXPECT_TRUE(created.OwnsHandle());
    }
    EXPECT_EQ(RegDeleteKeyA(key, "Created"), ERROR_SUCCESS);
}

TEST_F(Registry, ReadsAStringValueAsStored)
{
    StoreText("C:\\App\\");
    SharedString out;
    EXPECT_EQ(Read(out), ERROR_SUCCESS);
    EXPECT_EQ(out.Length(), 7);
    EXPECT_STREQ(out.Text(), "C:\\App\\");
}

TEST_F(Registry, MissingKeyOrValueLeavesTheTextAlone)
{
    SharedString out;
    EXPECT_EQ(Read(out), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(out.Length(), 0);

    out.Append("old");
    EXPECT_EQ(Read(out), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(ReadRegistryString((Scratch + "\\Missing").c_str(), "FilePath", out), ERROR_FILE_NOT_FOUND);
    EXPECT_STREQ(out.Text(), "old");
}

TEST_F(Registry, ValueOverTheLimitIsAFailedReadNotATruncatedPath)
{
    StoreText("C:\\App\\" + std::string(5000, 'x'));
    SharedString out;
    out.Append("old");
    EXPECT_EQ(Read(out), ERROR_MORE_DATA);
    EXPECT_STREQ(out.Text(), "old");
}

TEST_F(Registry, ValueFillingTheWholeBufferIsRead)
{
    const std::string longest(RegistryStringCapacity - 1, 'w');
    StoreText(longest);
    SharedString out;
    EXPECT_EQ(Read(out), ERROR_SUCCESS);
    EXPECT_EQ(out.Text(), longest);
}

TEST_F(Registry, TextWithoutTerminatorEndsWhereTheStoredBytesEnd)
{
    Store(REG_SZ, "C:\\App\\", 7);
    // Leave the next buffer of that size dirty, as a long-running heap would.
    const std::size_t recordBytes = sizeof(StringData) + RegistryStringCapacity + 1;
    void* dirty = ::operator new(recordBytes);
    std::memset(dirty, 'X', recordBytes);
    ::operator delete(dirty);

    SharedString out;
    EXPECT_EQ(Read(out), ERROR_SUCCESS);
    EXPECT_STREQ(out.Text(), "C:\\App\\");
}

TEST_F(Registry, TextEndsAtAnEmbeddedNul)
{
    Store(REG_SZ, "C:\\App\\\0D:\\Other\\", 18);
    SharedString out;
    EXPECT_EQ(Read(out), ERROR_SUCCESS);
    EXPECT_STREQ(out.Text(), "C:\\App\\");
}

TEST_F(Registry, ExpandableTextIsExpanded)
{
    ASSERT_TRUE(SetEnvironmentVariableA("FUNDTABLE_TEST_DRIVE", "C:"));
    const char stored[] = "%FUNDTABLE_TEST_DRIVE%\\App\\";
    Store(REG_EXPAND_SZ, stored, sizeof stored);
    SharedString out;
    EXPECT_EQ(Read(out), ERROR_SUCCESS);
    EXPECT_STREQ(out.Text(), "C:\\App\\");
}

TEST_F(Registry, ExpansionOverTheLimitIsAFailedRead)
{
    ASSERT_TRUE(SetEnvironmentVariableA("FUNDTABLE_TEST_LONG", std::string(5000, 'y').c_str()));
    const char stored[] = "C:\\%FUNDTABLE_TEST_LONG%\\";
    Store(REG_EXPAND_SZ, stored, sizeof stored);
    SharedString out;
    out.Append("old");
    EXPECT_EQ(Read(out), ERROR_MORE_DATA);
    EXPECT_STREQ(out.Text(), "old");
}

TEST_F(Registry, ValuesOfOtherTypesAreNoText)
{
    const char path[] = "C:\\App\\";
    const DWORD number = 0x5C3A43;
    const char multi[] = "C:\\App\\\0";
    const struct {
        DWORD type;
        const void* data;
        DWORD bytes;
    } values[] = {{REG_BINARY, path, sizeof path}, {REG_DWORD, &number, sizeof number},
        {REG_MULTI_SZ, multi, sizeof multi}, {REG_NONE, path, sizeof path}};
    for (const auto& value : values) {
        Store(value.type, value.data, value.bytes);
        SharedString out;
        out.Append("old");
        EXPECT_EQ(Read(out), ERROR_UNSUPPORTED_TYPE) << "type " << value.type;
        EXPECT_STREQ(out.Text(), "old");
    }
}

// Wine ends every string it returns with a NUL and leaves the buffer alone on ERROR_MORE_DATA;
// Windows does neither. These tests put Windows' behaviour in place of the read, through the
// import slot the code calls.
// The slot's symbol: on 32-bit x86 a stdcall name carries a leading underscore and its argument
// bytes; on x86_64 there is one calling convention and no decoration.
#ifdef _WIN64
#define REG_QUERY_VALUE_IMPORT "__imp_RegQueryValueExA"
#else
#define REG_QUERY_VALUE_IMPORT "__imp__RegQueryValueExA@24"
#endif
extern "C" decltype(&RegQueryValueExA) ImportedRegQueryValueExA asm(REG_QUERY_VALUE_IMPORT);

class WindowsRead {
public:
    explicit WindowsRead(decltype(&RegQueryValueExA) read) { Replace(read); }
    ~WindowsRead() { Replace(saved); }
    WindowsRead(const WindowsRead&) = delete;
    WindowsRead& operator=(const WindowsRead&) = delete;

private:
    void Replace(decltype(&RegQueryValueExA) read)
    {
        DWORD protection;
        VirtualProtect(&ImportedRegQueryValueExA, sizeof read, PAGE_READWRITE, &protection);
        if (saved == nullptr)
            saved = ImportedRegQueryValueExA;
        ImportedRegQueryValueExA = read;
        VirtualProtect(&ImportedRegQueryValueExA, sizeof read, protection, &protection);
    }
    decltype(&RegQueryValueExA) saved = nullptr;
};

// A string value of 5000 bytes: Windows may fill the buffer with its first bytes.
LONG WINAPI PartialWriteThenMoreData(HKEY, LPCSTR, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size)
{
    const std::string stored = "C:\\App\\" + std::string(5000, 'x');
    std::memcpy(data, stored.data(), *size);
    *type = REG_SZ;
    *size = static_cast<DWORD>(stored.size()) + 1;
    return ERROR_MORE_DATA;
}

// C:\App\ stored without its NUL, in a buffer whose other bytes were never cleared.
LONG WINAPI UnterminatedInDirtyBuffer(HKEY, LPCSTR, LPDWORD, LPDWORD type, LPBYTE data, LPDWORD size)
{
    std::memset(data, 'X', *size);
    std::memcpy(data, "C:\\App\\", 7); // NOLINT(bugprone-not-null-terminated-result): the point of the case
    *type = REG_SZ;
    *size = 7;
    return ERROR_SUCCESS;
}

TEST_F(Registry, WindowsPartialWriteOnMoreDataIsNotTakenAsTheDirectory)
{
    StoreText("C:\\App\\");
    SharedString out;
    WindowsRead windows(PartialWriteThenMoreData);
    EXPECT_EQ(Read(out), ERROR_MORE_DATA);
    EXPECT_EQ(out.Length(), 0);
}

TEST_F(Registry, WindowsUnterminatedTextEndsAtTheReportedCount)
{
    StoreText("C:\\App\\");
    SharedString out;
    WindowsRead windows(UnterminatedInDirtyBuffer);
    EXPECT_EQ(Read(out), ERROR_SUCCESS);
    EXPECT_STREQ(out.Text(), "C:\\App\\");
}

TEST_F(Registry, ExhaustionLeavesTheTextAndRaises)
{
    StoreText("C:\\App\\");
    SharedString out;
    out.Append("old");
    {
        HeapFailure failure;
        EXPECT_THROW(Read(out), std::bad_alloc);
    }
    EXPECT_STREQ(out.Text(), "old");
}

} // namespace
