#include "MemAlloc/BuddySystemSubAllocator.h"
#include "MemAlloc/DumbSubAllocator.h"
#include "MemAlloc/SnarlAllocator.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

namespace {

struct HugeSize
{
    const char* name;
    size_t size;
    // Sizes that only the bump allocator's 32-bit counts cannot hold.
    bool buddyRefuses;
};

const HugeSize kHugeSizes[] = {
    {"the largest size", SIZE_MAX, true},
    {"rounding to 4 wraps", SIZE_MAX - 2, true},
    {"adding the header wraps", SIZE_MAX - 15, true},
    {"adding the block and page wraps", SIZE_MAX - 4096, true},
    {"more than malloc gives", size_t(PTRDIFF_MAX) + 1, true},
    {"the step wraps to 16 in 32 bits", UINT32_MAX, false},
    {"the step wraps to 0 in 32 bits", UINT32_MAX - 18, false},
    {"the size is truncated to 32 bits", (size_t(1) << 32) + 4, false},
};

TEST(HugeAllocationTest, SizesNoBlockCanHoldAnswerNullAndTakeNothing)
{
    SnarlAllocator allocator;
    BuddySystemSubAllocator& buddy = *allocator.GetSubAllocator();
    DumbSubAllocator dumb(allocator);
    const int64_t pooled = allocator.PooledCount();
    for (const HugeSize& huge : kHugeSizes) {
        SCOPED_TRACE(huge.name);
        EXPECT_EQ(dumb.Allocate(huge.size), nullptr);
        EXPECT_EQ(dumb.EntryCount(), 0);
        if (huge.buddyRefuses) {
            EXPECT_EQ(buddy.Allocate(huge.size), nullptr);
            EXPECT_EQ(buddy.Heap().TotalBytes(), 0u);
            EXPECT_EQ(buddy.LargeAllocations(), 0);
        }
        EXPECT_EQ(allocator.PooledCount(), pooled);
    }
}

} // namespace
