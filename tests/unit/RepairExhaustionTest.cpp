// The whole repair with the allocator failing at each of its allocations in turn: every time the
// key is closed, nothing leaks, nothing is deleted and the failure message is chosen.
#include "RegistryRoot.h"
#include "RepairProcedure.h"
#include "RepairTexts.h"

#include "CountingHeap.h"
#include "ScratchDirectory.h"
#include "WineOnly.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

class RepairUnderExhaustion : public testing::Test {
protected:
    void SetUp() override
    {
        if (!RunsUnderWine())
            GTEST_FAIL() << WineOnlyRefusal;
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(RegistryRoot, RepairSubKeyPath, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
            ERROR_SUCCESS);
        // Expandable and without its separator: every allocation the procedure can make.
        ASSERT_TRUE(SetEnvironmentVariableA("FUNDTABLE_EXHAUSTION_DIRECTORY", scratch.path.c_str()));
        const char value[] = "%FUNDTABLE_EXHAUSTION_DIRECTORY%";
        EXPECT_EQ(
            RegSetValueExA(key, RepairValueName, 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(value), sizeof value),
            ERROR_SUCCESS);
        RegCloseKey(key);
    }
    void TearDown() override
    {
        if (RunsUnderWine())
            RegDeleteKeyA(RegistryRoot, RepairSubKeyPath);
    }
    void CreateTable() { ASSERT_EQ(scratch.AddFile(RepairFileName), table); }
    // The handle the next open gets: the lowest free slot, so a key left open moves it. (Wine's
    // GetProcessHandleCount is a stub that always says 0.)
    static HKEY NextHandle()
    {
        HKEY probe = nullptr;
        RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_QUERY_VALUE, &probe);
        RegCloseKey(probe);
        return probe;
    }

    ScratchDirectory scratch{"FundTableRepairExhaustion"};
    const std::string table = scratch.path + "\\" + RepairFileName;
};

TEST_F(RepairUnderExhaustion, EachFailingAllocationGivesTheFailureAndLeavesNothingBehind)
{
    CreateTable();
    long allocations;
    {
        HeapWatch watch;
        ASSERT_TRUE(RunRepair()) << "the repair works when memory does";
        allocations = watch.Allocations();
    }
    ASSERT_GE(allocations, 2) << "the value's record and its expansion";

    for (long failing = 0; failing < allocations; ++failing) {
        CreateTable();
        HKEY handle = NextHandle();
        HeapWatch watch;
        bool succeeded;
        {
            HeapFailure failure(failing);
            succeeded = RunRepair();
        }
        EXPECT_FALSE(succeeded) << "allocation " << failing;
        EXPECT_EQ(watch.Allocations(), watch.Releases()) << "leak when allocation " << failing << " failed";
        EXPECT_EQ(NextHandle(), handle) << "the key stayed open when allocation " << failing << " failed";
        EXPECT_NE(GetFileAttributesA(table.c_str()), INVALID_FILE_ATTRIBUTES) << "deleted after a failure";
    }
}

} // namespace
