#include "WindowsVersion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>

namespace {

constexpr uint32_t NonNt = 0x80000000u;

struct Row {
    uint32_t getVersionResult;
    bool haveRecord;
    uint32_t major;
    uint32_t minor;
    WindowsVersion expected;
};

void PrintTo(const Row& row, std::ostream* out)
{
    *out << std::hex << "GetVersion 0x" << row.getVersionResult << std::dec << ", record " << row.major << "."
         << row.minor;
}

std::string RowName(const testing::TestParamInfo<Row>& info)
{
    const Row& row = info.param;
    return (row.haveRecord ? "Version" + std::to_string(row.major) + "_" + std::to_string(row.minor) : "NoRecord") +
           "_Row" + std::to_string(info.index);
}

class DecideWindowsVersionRow : public testing::TestWithParam<Row> {};

TEST_P(DecideWindowsVersionRow, Classifies)
{
    const Row row = GetParam();
    EXPECT_EQ(DecideWindowsVersion({row.getVersionResult, row.haveRecord, row.major, row.minor}), row.expected);
}

// GetVersion: top bit set on the non-NT platforms, major version in the low byte.
INSTANTIATE_TEST_SUITE_P(Nt, DecideWindowsVersionRow,
    testing::Values(Row{0x00000351u, true, 3, 51, NtOther}, Row{0x00000004u, true, 4, 0, Nt4},
        Row{0x00000004u, true, 4, 7, Nt4}, Row{0x00000005u, true, 5, 0, Win2000}, Row{0x00000105u, true, 5, 1, WinXP},
        Row{0x00000205u, true, 5, 2, WinServer2003}, Row{0x00000305u, true, 5, 3, NtOther},
        Row{0x00000006u, true, 6, 0, VistaOrLater}, Row{0x00000106u, true, 6, 1, VistaOrLater},
        Row{0x00000206u, true, 6, 2, VistaOrLater}, Row{0x0000000Au, true, 10, 0, VistaOrLater},
        Row{0x00000006u, true, 0x80000006u, 0, VistaOrLater}, // major compared unsigned
        Row{0x00000006u, false, 0, 0, NtOther},               // no version record
        Row{0x00000105u, true, 0, 0, NtOther}),               // GetVersionExA failed: zeroed record
    RowName);

INSTANTIATE_TEST_SUITE_P(NonNt, DecideWindowsVersionRow,
    testing::Values(Row{NonNt | 0x03u, true, 3, 10, Win32s}, Row{NonNt | 0x03u, false, 0, 0, Win32s},
        Row{NonNt | 0x04u, true, 4, 0, Win95}, Row{NonNt | 0x04u, true, 4, 10, Win98},
        Row{NonNt | 0x04u, true, 4, 90, WinMe}, Row{NonNt | 0x04u, true, 4, 3, Win95},
        Row{NonNt | 0x04u, false, 0, 0, Win95}, Row{NonNt | 0x04u, true, 0, 0, Win95}),
    RowName);

// A scripted platform that records the calls the classification makes.
struct FakePlatform {
    static uint32_t getVersionResult;
    static bool allocationFails;
    static uint32_t reportedMajor, reportedMinor;
    static int getVersionCalls, allocations, releases, getVersionExCalls;
    static bool recordWasZeroedWithSize;

    static void Reset(uint32_t result, uint32_t major, uint32_t minor, bool fails = false)
    {
        getVersionResult = result;
        reportedMajor = major;
        reportedMinor = minor;
        allocationFails = fails;
        getVersionCalls = allocations = releases = getVersionExCalls = 0;
        recordWasZeroedWithSize = false;
    }

    static constexpr WindowsVersionPlatform Platform = {
        [] {
            ++getVersionCalls;
            return getVersionResult;
        },
        [](std::size_t bytes) -> void* {
            if (allocationFails)
                return nullptr;
            ++allocations;
            void* memory = std::malloc(bytes);
            std::memset(memory, 0xCD, bytes); // fresh heap memory is not zero
            return memory;
        },
        [](void* memory) {
            ++releases;
            std::free(memory);
        },
        [](VersionRecord* record) {
            ++getVersionExCalls;
            VersionRecord zeroed = {};
            zeroed.dwOSVersionInfoSize = 148;
            recordWasZeroedWithSize = std::memcmp(record, &zeroed, sizeof zeroed) == 0;
            record->dwMajorVersion = reportedMajor;
            record->dwMinorVersion = reportedMinor;
        },
    };
};
uint32_t FakePlatform::getVersionResult, FakePlatform::reportedMajor, FakePlatform::reportedMinor;
bool FakePlatform::allocationFails, FakePlatform::recordWasZeroedWithSize;
int FakePlatform::getVersionCalls, FakePlatform::allocations, FakePlatform::releases, FakePlatform::getVersionExCalls;

TEST(ClassifyWindowsVersion, QueriesAZeroedRecordAndReturnsIt)
{
    FakePlatform::Reset(0x00000105u, 5, 1);
    EXPECT_EQ(ClassifyWindowsVersion(FakePlatform::Platform), WinXP);
    EXPECT_EQ(FakePlatform::getVersionCalls, 1);
    EXPECT_EQ(FakePlatform::getVersionExCalls, 1);
    EXPECT_TRUE(FakePlatform::recordWasZeroedWithSize);
    EXPECT_EQ(FakePlatform::allocations, 1);
    EXPECT_EQ(FakePlatform::releases, 1);
}

TEST(ClassifyWindowsVersion, Win32sNeedsNoRecord)
{
    FakePlatform::Reset(NonNt | 0x03u, 3, 10);
    EXPECT_EQ(ClassifyWindowsVersion(FakePlatform::Platform), Win32s);
    EXPECT_EQ(FakePlatform::allocations, 0);
    EXPECT_EQ(FakePlatform::getVersionExCalls, 0);
}

TEST(ClassifyWindowsVersion, ARecordThatCannotBeHadFallsBackByPlatform)
{
    FakePlatform::Reset(0x00000006u, 6, 0, true);
    EXPECT_EQ(ClassifyWindowsVersion(FakePlatform::Platform), NtOther);
    FakePlatform::Reset(NonNt | 0x04u, 4, 10, true);
    EXPECT_EQ(ClassifyWindowsVersion(FakePlatform::Platform), Win95);
    EXPECT_EQ(FakePlatform::getVersionExCalls, 0);
    EXPECT_EQ(FakePlatform::releases, 0);
}

} // namespace
