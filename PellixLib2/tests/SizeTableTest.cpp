#include "MemAlloc/SizeTable.h"
#include "MemAlloc/BuddyHeap.h"
#include "MemAlloc/BuddySystemSubAllocator.h"
#include "MemAlloc/SnarlGlobalPool.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(SizeTableTest, HoldsTheFibonacciClassesFrom32And48)
{
    const SizeTable& table = GetGlobalSizeTable();
    ASSERT_EQ(table.count, 86);
    const std::vector<uint64_t> first(table.sizes, table.sizes + 18);
    EXPECT_EQ(first, (std::vector<uint64_t>{32, 48, 80, 128, 208, 336, 544, 880, 1424, 2304, 3728, 6032, 9760,
                                            15792, 25552, 41344, 66896, 108240}));
    EXPECT_EQ(table.sizes[85], 17601404453857630896ull);
    EXPECT_EQ(table.lookup[256], 8);
    EXPECT_EQ(table.BigCeilingIndex(table.sizes[85] + 1), SizeTable::kNone);
    EXPECT_EQ(table.BigCeilingIndex(1424), 8);
    EXPECT_EQ(table.BigCeilingIndex(1425), 9);
}

TEST(SizeTableTest, ArenaClassesComeFromTheFloorOfTheLargestArena)
{
    EXPECT_EQ(GetGlobalSizeTable().FloorIndex(65520), 15);
    SnarlGlobalPool pool;
    BuddyHeap heap(pool, 0, 16000, 65536);
    EXPECT_EQ(heap.SmallestArenaClass(), 14);
    EXPECT_EQ(heap.LargestArenaClass(), 15);
    EXPECT_EQ(heap.TotalBytes(), 0u);
}

TEST(SizeTableTest, RequestsAreRoundedToTheirClass)
{
    struct Case
    {
        size_t first;
        size_t last;
        size_t payload;
    };
    // The payload is the class size less its 16-byte header.
    const Case cases[] = {{1, 16, 16},     {17, 32, 32},      {33, 33, 64},
                          {849, 864, 864}, {865, 1009, 1408}, {1010, 1408, 1408}};
    for (const Case& c : cases) {
        for (size_t size = c.first; size <= c.last; ++size) {
            EXPECT_EQ(BuddySystemSubAllocator::RequestedToActualSize(size), c.payload) << "size " << size;
        }
    }
}

} // namespace
