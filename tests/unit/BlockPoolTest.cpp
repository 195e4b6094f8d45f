#include "BlockPool.h"

#include "CountingHeap.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <new>
#include <thread>
#include <vector>

namespace {

constexpr int32_t BlockSize = 80;
constexpr int32_t BlocksPerChunk = 64;

std::intptr_t Address(const void* block) { return reinterpret_cast<std::intptr_t>(block); }

TEST(BlockPool, FreshChunkHandsOutItsBlocksLowestAddressFirst)
{
    BlockPool pool(BlockSize, BlocksPerChunk);
    std::vector<void*> blocks(BlocksPerChunk);
    HeapWatch watch;
    for (void*& block : blocks)
        block = pool.Allocate();
    const long allocations = watch.Allocations();
    const std::size_t requested = CountingHeap::LastRequestedSize();
    const std::intptr_t chunk = Address(CountingHeap::LastAllocation());

    EXPECT_EQ(allocations, 1);
    EXPECT_EQ(requested, sizeof(void*) + std::size_t(BlocksPerChunk) * BlockSize);
    // The chunk's link comes first, the blocks follow it directly.
    EXPECT_EQ(Address(blocks[0]), chunk + std::intptr_t(sizeof(void*)));
    for (int i = 1; i < BlocksPerChunk; ++i)
        EXPECT_EQ(Address(blocks[i]) - Address(blocks[i - 1]), BlockSize) << "block " << i;
}

TEST(BlockPool, TouchesTheHeapOncePerChunkOfBlocks)
{
    BlockPool pool(BlockSize, BlocksPerChunk);
    HeapWatch watch;
    long afterEachChunk[3];
    for (int chunk = 0; chunk < 3; ++chunk) {
        for (int i = 0; i < BlocksPerChunk; ++i)
            pool.Allocate();
        afterEachChunk[chunk] = watch.Allocations();
    }
    EXPECT_EQ(afterEachChunk[0], 1);
    EXPECT_EQ(afterEachChunk[1], 2);
    EXPECT_EQ(afterEachChunk[2], 3);

    pool.ReleaseAll();
    EXPECT_EQ(watch.Releases(), 3);
}

TEST(BlockPool, LastFreedIsFirstReused)
{
    BlockPool pool(BlockSize, BlocksPerChunk);
    void* first = pool.Allocate();
    void* second = pool.Allocate();
    void* third = pool.Allocate();
    HeapWatch watch;

    pool.Deallocate(first);
    pool.Deallocate(third);
    pool.Deallocate(nullptr);
    EXPECT_EQ(pool.Allocate(), third);
    EXPECT_EQ(pool.Allocate(), first);
    // Then the fresh chunk's untouched blocks continue in address order.
    EXPECT_EQ(Address(pool.Allocate()), Address(third) + BlockSize);
    EXPECT_EQ(watch.Allocations(), 0);
    EXPECT_EQ(watch.Releases(), 0);
    (void)second;
}

TEST(BlockPool, ReleaseAllEmptiesBothListsAndThePoolStaysUsable)
{
    BlockPool pool(BlockSize, BlocksPerChunk);
    for (int i = 0; i < BlocksPerChunk + 1; ++i)
        pool.Allocate();
    HeapWatch watch;
    pool.ReleaseAll();
    EXPECT_EQ(watch.Releases(), 2);

    pool.Allocate();
    EXPECT_EQ(watch.Allocations(), 1);
}

TEST(BlockPool, ExhaustionLeavesTheLockAndThePoolUsable)
{
    // On the heap: a pool whose lock stayed held could not even be destroyed.
    BlockPool* pool = new BlockPool(BlockSize, BlocksPerChunk);
    {
        HeapFailure failure;
        EXPECT_THROW(pool->Allocate(), std::bad_alloc);
    }
    // A lock still held would block another thread for good; the same thread could re-enter a
    // critical section and prove nothing.
    std::promise<void*> allocated;
    std::future<void*> block = allocated.get_future();
    std::thread other([&] { allocated.set_value(pool->Allocate()); });
    if (block.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        other.detach(); // blocked for good, and so is the pool: both are left behind
        FAIL() << "the pool's lock was not released after the failed allocation";
    }
    other.join();
    EXPECT_NE(block.get(), nullptr);
    delete pool;
}

TEST(BlockPool, UnrepresentableChunkSizeRaisesLikeExhaustion)
{
    BlockPool pool(INT32_MAX, BlocksPerChunk);
    HeapWatch watch;
    EXPECT_THROW(pool.Allocate(), std::bad_alloc);
    // Where size_t holds the true size the heap may be asked for it, never for a wrapped one.
    const std::uint64_t trueSize = sizeof(void*) + std::uint64_t(INT32_MAX) * BlocksPerChunk;
    if (trueSize > SIZE_MAX)
        EXPECT_EQ(watch.Requests(), 0);
    else
        EXPECT_EQ(CountingHeap::LastRequestedSize(), trueSize);
}

} // namespace
