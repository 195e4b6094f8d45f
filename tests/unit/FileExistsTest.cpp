// FileExists tells the three answers of the platform apart: only "no such file" and "no such
// path" confirm that the table file is gone.
#include "RepairProcedure.h"

#include "ScratchDirectory.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

class FileExistsOnDisk : public testing::Test {
protected:
    void SetUp() override
    {
        file = scratch.AddFile("present.txt");
        ASSERT_FALSE(file.empty());
    }
    ScratchDirectory scratch{"FundTableRepairTests"};
    const std::string directory = scratch.path + "\\";
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
