#include "StringPools.h"

#include "SharedString.h"
#include "StartupOrder.h"

namespace {

constexpr int32_t BlockSizeFor(int sizeClass)
{
    return (static_cast<int32_t>(sizeof(StringData)) + StringPoolCapacity(sizeClass) + 1 + 7) / 8 * 8;
}
static_assert(BlockSizeFor(1) == 80 && BlockSizeFor(2) == 144 && BlockSizeFor(3) == 272 && BlockSizeFor(4) == 528,
    "block sizes of the four size classes");

// Separate objects, not an array: each registers its own teardown right after its construction.
BlockPool pool1 STARTUP_ORDER_STRING_POOLS(BlockSizeFor(1), StringPoolBlocksPerChunk);
BlockPool pool2 STARTUP_ORDER_STRING_POOLS(BlockSizeFor(2), StringPoolBlocksPerChunk);
BlockPool pool3 STARTUP_ORDER_STRING_POOLS(BlockSizeFor(3), StringPoolBlocksPerChunk);
BlockPool pool4 STARTUP_ORDER_STRING_POOLS(BlockSizeFor(4), StringPoolBlocksPerChunk);

} // namespace

BlockPool& StringPool(int sizeClass)
{
    switch (sizeClass) {
    case 1: return pool1;
    case 2: return pool2;
    case 3: return pool3;
    default: return pool4;
    }
}
