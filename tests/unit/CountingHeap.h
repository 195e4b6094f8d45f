// The test programs replace the global allocating operators with a counting heap, so that tests
// can pin the exact heap traffic of the code under test and make the heap fail on demand.
// Requests above RefusedSize are refused as a real heap refuses them.
#pragma once

#include <cstddef>

namespace CountingHeap {

constexpr std::size_t RefusedSize = std::size_t(1) << 30;

struct Counts {
    long requests; ///< every call, refused ones included
    long allocations;
    long releases;
};

Counts Current();
/// The address and size of the last successful allocation.
void* LastAllocation();
std::size_t LastRequestedSize();

} // namespace CountingHeap

/// Heap calls made between its construction and a query.
class HeapWatch {
public:
    HeapWatch() : start(CountingHeap::Current()) {}
    long Requests() const { return CountingHeap::Current().requests - start.requests; }
    long Allocations() const { return CountingHeap::Current().allocations - start.allocations; }
    long Releases() const { return CountingHeap::Current().releases - start.releases; }

private:
    CountingHeap::Counts start;
};

/// While alive, every allocation after the first `allowed` ones raises std::bad_alloc.
class HeapFailure {
public:
    explicit HeapFailure(long allowed = 0);
    ~HeapFailure();
    HeapFailure(const HeapFailure&) = delete;
    HeapFailure& operator=(const HeapFailure&) = delete;
};
