#include "SharedString.h"

#include "CountingHeap.h"
#include "SizeArithmetic.h"
#include "StringPools.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <ostream>
#include <string>

namespace {

const StringData* EmptyRecord() { return &EmptyStringData.header; }

// Gives every string pool a free block, so that a test counts only its own heap calls.
void PrimeStringPools()
{
    for (int sizeClass = 1; sizeClass <= StringPoolCount; ++sizeClass)
        StringPool(sizeClass).Deallocate(StringPool(sizeClass).Allocate());
}

void ExpectEmptyStringDataIntact()
{
    EXPECT_EQ(EmptyStringData.header.refCount, -1);
    EXPECT_EQ(EmptyStringData.header.length, 0);
    EXPECT_EQ(EmptyStringData.header.capacity, 0);
    EXPECT_EQ(EmptyStringData.terminator, '\0');
}

TEST(SharedString, NewStringsShareEmptyStringDataWithoutTouchingIt)
{
    HeapWatch watch;
    for (int i = 0; i < 3; ++i) {
        SharedString text;
        EXPECT_EQ(text.Data(), EmptyRecord());
        EXPECT_EQ(text.Length(), 0);
        EXPECT_STREQ(text.Text(), "");
    }
    EXPECT_EQ(watch.Requests(), 0);
    ExpectEmptyStringDataIntact();
}

struct SizeClassCase {
    int32_t length;
    int32_t capacity;
    int sizeClass; // 0: heap
};
void PrintTo(const SizeClassCase& c, std::ostream* out) { *out << "length " << c.length; }

class SharedStringSizeClass : public testing::TestWithParam<SizeClassCase> {};

TEST_P(SharedStringSizeClass, RecordComesFromTheClassOfItsLength)
{
    const SizeClassCase c = GetParam();
    const std::string text(static_cast<std::size_t>(c.length), 'x');
    PrimeStringPools();
    HeapWatch watch;
    {
        SharedString s;
        s.Append(text.c_str());
        EXPECT_EQ(s.Length(), c.length);
        EXPECT_EQ(s.Data()->capacity, c.capacity);
        EXPECT_EQ(s.Data()->refCount, 1);
        EXPECT_EQ(s.Text(), text);
        if (c.sizeClass != 0) {
            EXPECT_EQ(watch.Allocations(), 0) << "pool records never touch the heap";
        } else {
            EXPECT_EQ(watch.Allocations(), 1);
            EXPECT_EQ(CountingHeap::LastRequestedSize(), sizeof(StringData) + c.length + 1u);
        }
    }
    EXPECT_EQ(watch.Releases(), c.sizeClass != 0 ? 0 : 1) << "only a heap record goes back to the heap";
}

INSTANTIATE_TEST_SUITE_P(Boundaries, SharedStringSizeClass,
    testing::Values(SizeClassCase{1, 64, 1}, SizeClassCase{64, 64, 1}, SizeClassCase{65, 128, 2},
        SizeClassCase{128, 128, 2}, SizeClassCase{129, 256, 3}, SizeClassCase{256, 256, 3}, SizeClassCase{257, 512, 4},
        SizeClassCase{512, 512, 4}, SizeClassCase{513, 513, 0}, SizeClassCase{4096, 4096, 0}),
    [](const testing::TestParamInfo<SizeClassCase>& info) { return "Length" + std::to_string(info.param.length); });

TEST(SharedString, DisposedRecordReturnsToItsOwnPool)
{
    PrimeStringPools();
    for (int sizeClass = 1; sizeClass <= StringPoolCount; ++sizeClass) {
        const void* record;
        {
            SharedString s;
            s.Append(std::string(static_cast<std::size_t>(StringPoolCapacity(sizeClass)), 'y').c_str());
            record = s.Data();
        }
        void* reused = StringPool(sizeClass).Allocate();
        EXPECT_EQ(reused, record) << "size class " << sizeClass;
        StringPool(sizeClass).Deallocate(reused);
    }
}

TEST(SharedString, GrowsInPlaceUpToItsClassCapacityThenMovesUpAClass)
{
    PrimeStringPools();
    HeapWatch watch;
    SharedString s;
    s.Append("a");
    const StringData* poolOneRecord = s.Data();
    EXPECT_EQ(poolOneRecord->capacity, 64);
    for (int i = 1; i < 64; ++i) {
        s.Append("b");
        ASSERT_EQ(s.Data(), poolOneRecord) << "moved at length " << s.Length();
    }
    EXPECT_EQ(s.Length(), 64);

    s.Append("c");
    EXPECT_EQ(watch.Allocations(), 0);
    EXPECT_NE(s.Data(), poolOneRecord);
    EXPECT_EQ(s.Data()->capacity, 128);
    EXPECT_EQ(s.Text(), "a" + std::string(63, 'b') + "c");

    void* reused = StringPool(1).Allocate();
    EXPECT_EQ(reused, poolOneRecord) << "the pool-1 block went back to pool 1's free list";
    StringPool(1).Deallocate(reused);
}

TEST(SharedString, AppendOfNullOrEmptyTextChangesNothing)
{
    SharedString empty;
    empty.Append(nullptr).Append("");
    EXPECT_EQ(empty.Data(), EmptyRecord());

    SharedString s;
    s.Append("abc");
    const StringData* record = s.Data();
    HeapWatch watch;
    s.Append(nullptr).Append("");
    EXPECT_EQ(s.Data(), record);
    EXPECT_STREQ(s.Text(), "abc");
    EXPECT_EQ(watch.Requests(), 0);
    ExpectEmptyStringDataIntact();
}

TEST(SharedString, AppendOfItsOwnTextInPlaceAndAcrossAMove)
{
    SharedString s;
    s.Append("abc");
    s.Append(s.Text());
    EXPECT_STREQ(s.Text(), "abcabc");

    const std::string forty(40, 'z');
    SharedString moving;
    moving.Append(forty.c_str());
    moving.Append(moving.Text() + 10); // 70 characters: leaves pool 1
    EXPECT_EQ(moving.Data()->capacity, 128);
    EXPECT_EQ(moving.Text(), forty + std::string(30, 'z'));
}

TEST(SharedString, ReserveBufferOnAnEmptyStringGivesAFreshTerminatedArea)
{
    HeapWatch watch;
    SharedString s;
    char* buffer = s.ReserveBuffer(4096);
    EXPECT_EQ(buffer, s.Text());
    EXPECT_EQ(s.Data()->capacity, 4096);
    EXPECT_EQ(s.Length(), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[4096], '\0');
    EXPECT_EQ(watch.Allocations(), 1);
    ExpectEmptyStringDataIntact();
}

TEST(SharedString, ReserveBufferKeepsTheTextAndReusesARecordLargeEnough)
{
    SharedString s;
    s.Append("hello");
    const StringData* record = s.Data();
    EXPECT_EQ(s.ReserveBuffer(64), s.Text());
    EXPECT_EQ(s.Data(), record);

    s.ReserveBuffer(100);
    EXPECT_NE(s.Data(), record);
    EXPECT_EQ(s.Data()->capacity, 128);
    EXPECT_EQ(s.Length(), 5);
    EXPECT_STREQ(s.Text(), "hello");
}

TEST(SharedString, CommitBufferMeasuresOrTakesTheGivenLength)
{
    SharedString s;
    char* buffer = s.ReserveBuffer(4096);
    std::memcpy(buffer, "abc\0def", 8);
    s.CommitBuffer(-1);
    EXPECT_EQ(s.Length(), 3);

    buffer = s.ReserveBuffer(4096);
    std::memcpy(buffer, "abcdefgh", 8); // NOLINT(bugprone-not-null-terminated-result): the commit ends it
    s.CommitBuffer(5);
    EXPECT_EQ(s.Length(), 5);
    EXPECT_STREQ(s.Text(), "abcde");
}

TEST(SharedString, CommittingNothingKeepsTheOwnRecordAtLengthZero)
{
    SharedString s;
    s.ReserveBuffer(4096);
    s.CommitBuffer(-1);
    EXPECT_EQ(s.Length(), 0);
    EXPECT_NE(s.Data(), EmptyRecord());
    EXPECT_EQ(s.Data()->capacity, 4096);
}

TEST(SharedString, SwapExchangesRecordsWithoutTheHeap)
{
    SharedString a;
    SharedString b;
    a.Append("first");
    const StringData* record = a.Data();
    HeapWatch watch;
    a.Swap(b);
    EXPECT_EQ(a.Data(), EmptyRecord());
    EXPECT_EQ(b.Data(), record);
    EXPECT_STREQ(b.Text(), "first");
    EXPECT_EQ(watch.Requests(), 0);
}

TEST(SharedString, ExhaustionLeavesTheOldRecordAndLeaksNothing)
{
    PrimeStringPools();
    HeapWatch watch;
    {
        const std::string full(512, 'q');
        SharedString s;
        s.Append(full.c_str());
        const StringData* record = s.Data();
        {
            HeapFailure failure;
            EXPECT_THROW(s.Append("r"), std::bad_alloc);
            EXPECT_THROW(s.ReserveBuffer(4096), std::bad_alloc);
        }
        EXPECT_EQ(s.Data(), record);
        EXPECT_EQ(s.Text(), full);

        SharedString empty;
        {
            HeapFailure failure;
            EXPECT_THROW(empty.ReserveBuffer(4096), std::bad_alloc);
        }
        EXPECT_EQ(empty.Data(), EmptyRecord());
    }
    EXPECT_EQ(watch.Allocations(), watch.Releases());
    ExpectEmptyStringDataIntact();
}

TEST(SizeArithmetic, UnrepresentableSizesRaiseLikeExhaustion)
{
    EXPECT_EQ(AddLengths(INT32_MAX - 1, 1), INT32_MAX);
    EXPECT_THROW(AddLengths(INT32_MAX, 1), std::bad_alloc);
    EXPECT_THROW(AddSizes(SIZE_MAX, 1), std::bad_alloc);
    EXPECT_EQ(MultiplySizes(64, 528), 33792u);
    EXPECT_THROW(MultiplySizes(SIZE_MAX / 2 + 1, 2), std::bad_alloc);
}

} // namespace
