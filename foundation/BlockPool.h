// BlockPool: fixed-size blocks carved from chunks of the heap, for the string records.
//
// Invariants:
//  - every operation holds `lock` for its whole duration, chunk allocation included, and never
//    holds another pool's lock;
//  - a free block's first pointer-sized word links to the next free block; a block handed out
//    belongs wholly to the caller;
//  - a PoolChunk is one heap allocation: a pointer-sized link to the previously added chunk,
//    then blocksPerChunk blocks of blockSize bytes;
//  - chunks go back to the heap only in ReleaseAll (at exit); the pool never shrinks before;
//  - a fresh chunk's blocks are handed out lowest address first; after that the free list is
//    last freed, first reused.
#pragma once

#include "PlatformPrimitives.h"

#include <cstdint>

class BlockPool {
public:
    /// Pre: blockSize >= sizeof(void*) and a multiple of 4; blocksPerChunk >= 1.
    BlockPool(int32_t blockSize, int32_t blocksPerChunk);
    /// ReleaseAll, then the lock is deleted.
    ~BlockPool();
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;

    /// One block of blockSize bytes, contents undefined. Touches the heap only when the free list
    /// is empty; raises std::bad_alloc when it is exhausted, with the lock left and the pool usable.
    void* Allocate();

    /// Takes back a block this pool handed out; null is ignored.
    void Deallocate(void* block);

    /// Returns every chunk to the heap and empties both lists.
    /// Pre: no block of this pool is in use any more.
    void ReleaseAll();

    int32_t BlockSize() const { return blockSize; }
    int32_t BlocksPerChunk() const { return blocksPerChunk; }

private:
    struct PoolChunk {
        PoolChunk* link;
    };
    struct FreeBlock {
        FreeBlock* next;
    };

    /// Takes one chunk from the heap and links it at the head of `chunks`. Pre: `lock` held.
    PoolChunk* AddChunk();

    int32_t blockSize;
    int32_t blocksPerChunk;
    PoolChunk* chunks;
    FreeBlock* freeList;
    PlatformLock lock;
};
