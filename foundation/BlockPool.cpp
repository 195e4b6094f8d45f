#include "BlockPool.h"

#include "SizeArithmetic.h"

#include <cassert>
#include <new>

namespace {

// Leaves the lock on every way out, exceptions included.
class LockHolder {
public:
    explicit LockHolder(PlatformLock& held) : lock(held) { lock.Enter(); }
    ~LockHolder() { lock.Leave(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

private:
    PlatformLock& lock;
};

} // namespace

BlockPool::BlockPool(int32_t blockSize, int32_t blocksPerChunk)
    : blockSize(blockSize),
      blocksPerChunk(blocksPerChunk),
      chunks(nullptr),
      freeList(nullptr)
{
}

BlockPool::~BlockPool() { ReleaseAll(); }

void* BlockPool::Allocate()
{
    LockHolder holder(lock);
    if (freeList == nullptr) {
        char* blocks = reinterpret_cast<char*>(AddChunk() + 1);
        // Threaded from the last block down, so the lowest address is handed out first.
        for (int32_t index = blocksPerChunk - 1; index >= 0; --index) {
            FreeBlock* block = reinterpret_cast<FreeBlock*>(blocks + static_cast<std::size_t>(index) * blockSize);
            block->next = freeList;
            freeList = block;
        }
    }
    assert(freeList != nullptr);
    FreeBlock* block = freeList;
    freeList = block->next;
    return block;
}

void BlockPool::Deallocate(void* block)
{
    if (block == nullptr)
        return;
    LockHolder holder(lock);
    FreeBlock* freed = static_cast<FreeBlock*>(block);
    freed->next = freeList;
    freeList = freed;
}

void BlockPool::ReleaseAll()
{
    LockHolder holder(lock);
    PoolChunk* chunk = chunks;
    while (chunk != nullptr) {
        PoolChunk* link = chunk->link;
        ::operator delete(chunk);
        chunk = link;
    }
    chunks = nullptr;
    freeList = nullptr;
}

BlockPool::PoolChunk* BlockPool::AddChunk()
{
    const std::size_t bytes = AddSizes(sizeof(PoolChunk),
        MultiplySizes(static_cast<std::size_t>(blocksPerChunk), static_cast<std::size_t>(blockSize)));
    PoolChunk* chunk = static_cast<PoolChunk*>(::operator new(bytes));
    chunk->link = chunks;
    chunks = chunk;
    return chunk;
}
