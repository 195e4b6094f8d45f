// FileExists tells the three answers of the platform apart: only "no such file" and "no such
// path" confirm that the table file is gone.
#include "RepairProcedure.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

class FileExistsOnDisk : public testing::Test {
protected:
    void SetUp() override
    {
        char temp[MAX_PATH];
        ASSERT_NE(GetTempPathA(MAX_PATH, temp), 0u);
        directory = std::string(temp) + "FundTableRepairTests\\";
        CreateDirectoryA(directory.c_str(), nullptr);
        file = directory + "present.txt";
        HANDLE handle = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        CloseHandle(handle);
    }
    void TearDown() override
    {
        DeleteFileA(file.c_str());
        RemoveDirectoryA(directory.c_str());
    }
    std::string directory;
    std::string file;
};

TEST_F(FileExistsOnDisk, AnythingThatIsThereIsPresent)
{
    EXPECT_EQ(FileExists(file.c_str()), FileExistence::Present);
    EXPECT_EQ(FileExists(directory.c_str()), FileExistence::Present) << "a directory counts";
}

TEST_F(FileExistsOnDisk, OnlyNoSuchFileOrPathIsAbsent)
{
    EXPECT_EQ(FileExists((directory + "missing.txt").c_str()), FileExistence::Absent);
    EXPECT_EQ(FileExists((directory + "missing\\FundNameTable.txt").c_str()), FileExistence::Absent);
}

TEST_F(FileExistsOnDisk, AnyOtherFailureConfirmsNothing)
{
    EXPECT_EQ(FileExists((directory + "bad|name\\FundNameTable.txt").c_str()), FileExistence::Unknown);
    EXPECT_EQ(FileExists(nullptr), FileExistence::Unknown);
    EXPECT_EQ(FileExists(""), FileExistence::Unknown);
}

} // namespace
