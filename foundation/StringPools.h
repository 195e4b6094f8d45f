// The four process-wide pools that hold the records of strings of 1 to 512 characters.
//
// Size class k (1 to 4) stores capacity 64 << (k - 1) and uses blocks of the record header plus
// that capacity plus the terminator, rounded up to 8 bytes: 80, 144, 272 and 528 bytes, 64 to a
// chunk. The pools are built before main, pool 1 first, each registering its teardown right
// after its construction, so exit tears down pool 4 first and pool 1 last.
#pragma once

#include "BlockPool.h"

#include <cstdint>

constexpr int StringPoolCount = 4;
constexpr int32_t StringPoolBlocksPerChunk = 64;

/// Capacity stored in records of size class k. Pre: 1 <= k <= StringPoolCount.
constexpr int32_t StringPoolCapacity(int sizeClass) { return int32_t(64) << (sizeClass - 1); }

/// The pool of size class k. Pre: 1 <= k <= StringPoolCount.
BlockPool& StringPool(int sizeClass);
