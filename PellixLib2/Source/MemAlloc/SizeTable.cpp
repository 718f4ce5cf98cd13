#include "MemAlloc/SizeTable.h"

void SizeTable::Init()
{
    ComputeSizes();
    BuildLookupTable();
    ValidateBlockSizes();
}

void SizeTable::ComputeSizes()
{
    sizes[0] = kSmallestBlockSizes[0];
    sizes[1] = kSmallestBlockSizes[1];
    count = 255;
    for (unsigned i = 2; i < 255; ++i) {
        if (__builtin_add_overflow(sizes[i - 1], sizes[i - 2], &sizes[i])) {
            count = uint8_t(i);
            return;
        }
    }
}

void SizeTable::BuildLookupTable()
{
    uint8_t cls = 0;
    for (unsigned k = 0; k < 256; ++k) {
        while (sizes[cls] < 4 * k) {
            ++cls;
        }
        lookup[k] = cls;
    }
    uint8_t start = 0;
    while (sizes[start] < 1020) {
        ++start;
    }
    lookup[256] = start;
}

uint8_t SizeTable::CeilingIndex(uint64_t n) const
{
    return n <= 1023 ? lookup[n / 4] : BigCeilingIndex(n);
}

uint8_t SizeTable::BigCeilingIndex(uint64_t n) const
{
    for (unsigned cls = lookup[256]; cls < count; ++cls) {
        if (sizes[cls] >= n) {
            return uint8_t(cls);
        }
    }
    return kNone;
}

uint8_t SizeTable::FloorIndex(uint64_t n) const
{
    const uint8_t ceiling = CeilingIndex(n + 16);
    if (ceiling == kNone) {
        return uint8_t(count - 1);
    }
    // The ceiling of n + 16 is never exactly n bytes, so the class below is the floor.
    return uint8_t(ceiling - 1);
}

const SizeTable& GetGlobalSizeTable()
{
    static const SizeTable table = [] {
        SizeTable built{};
        built.Init();
        return built;
    }();
    return table;
}
