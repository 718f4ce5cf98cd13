#pragma once

// The size classes of the block allocator's buddy heaps: a Fibonacci series from 32 and 48 bytes,
// header included, so that every class splits into the two below it.

#include <cstddef>
#include <cstdint>

struct SizeTable
{
    static constexpr uint8_t kNone = 255;
    static constexpr uint64_t kSmallestBlockSizes[2] = {32, 48};

    // Valid up to count - 1.
    uint64_t sizes[255];
    uint8_t count;
    // lookup[k] is the smallest class of at least 4k bytes; lookup[256] the class where the linear
    // search for larger sizes starts.
    uint8_t lookup[257];

    void Init();
    void ComputeSizes();
    void BuildLookupTable();
    void ValidateBlockSizes() const {}

    // The smallest class of at least n bytes, kNone when the table has none. Exact for multiples of
    // 4 below 1024, which is all the heaps ask for.
    uint8_t CeilingIndex(uint64_t n) const;
    uint8_t BigCeilingIndex(uint64_t n) const;
    // The largest class whose block, less its header, holds n bytes.
    uint8_t FloorIndex(uint64_t n) const;
};

// Built on first use, shared by every heap.
const SizeTable& GetGlobalSizeTable();
