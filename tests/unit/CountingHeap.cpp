#include "CountingHeap.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long> requests{0};
std::atomic<long> allocations{0};
std::atomic<long> releases{0};
std::atomic<long> allowedBeforeFailure{-1};
std::atomic<void*> lastAllocation{nullptr};
std::atomic<std::size_t> lastRequestedSize{0};
} // namespace

CountingHeap::Counts CountingHeap::Current() { return {requests.load(), allocations.load(), releases.load()}; }
void* CountingHeap::LastAllocation() { return lastAllocation.load(); }
std::size_t CountingHeap::LastRequestedSize() { return lastRequestedSize.load(); }

HeapFailure::HeapFailure(long allowed) { allowedBeforeFailure = allowed; }
HeapFailure::~HeapFailure() { allowedBeforeFailure = -1; }

void* operator new(std::size_t size)
{
    ++requests;
    lastRequestedSize = size;
    long allowed = allowedBeforeFailure.load();
    while (allowed >= 0) {
        if (allowed == 0)
            throw std::bad_alloc();
        if (allowedBeforeFailure.compare_exchange_weak(allowed, allowed - 1))
            break;
    }
    if (size > CountingHeap::RefusedSize)
        throw std::bad_alloc();
    void* memory = std::malloc(size != 0 ? size : 1);
    if (memory == nullptr)
        throw std::bad_alloc();
    ++allocations;
    lastAllocation = memory;
    return memory;
}

void operator delete(void* memory) noexcept
{
    if (memory == nullptr)
        return;
    ++releases;
    std::free(memory);
}

void operator delete(void* memory, std::size_t) noexcept { operator delete(memory); }
