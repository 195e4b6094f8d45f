// Size computations that cannot overflow. A size that cannot be represented is reported exactly
// as memory exhaustion is: by raising std::bad_alloc before anything is allocated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

/// a + b for two non-negative lengths; raises when the sum exceeds INT32_MAX.
inline int32_t AddLengths(int32_t a, int32_t b)
{
    int32_t sum;
    if (__builtin_add_overflow(a, b, &sum))
        throw std::bad_alloc();
    return sum;
}

/// a + b in bytes; raises when the sum does not fit in size_t.
inline std::size_t AddSizes(std::size_t a, std::size_t b)
{
    std::size_t sum;
    if (__builtin_add_overflow(a, b, &sum))
        throw std::bad_alloc();
    return sum;
}

/// a * b in bytes; raises when the product does not fit in size_t.
inline std::size_t MultiplySizes(std::size_t a, std::size_t b)
{
    std::size_t product;
    if (__builtin_mul_overflow(a, b, &product))
        throw std::bad_alloc();
    return product;
}
