#include "MemAlloc/DumbSubAllocator.h"
#include "MemAlloc/SnarlAllocator.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

namespace {

class DumbSubAllocatorTest : public testing::Test
{
protected:
    SnarlAllocator allocator;
    const int64_t pooled = allocator.PooledCount();
    DumbSubAllocator dumb{allocator};
};

TEST_F(DumbSubAllocatorTest, StepsIncludeTheHeaderRoundedTo4AndFillABlockInTurn)
{
    struct Case
    {
        size_t size;
        ptrdiff_t step;
    };
    const Case cases[] = {{1, 20}, {4, 20}, {5, 24}, {13, 32}, {100, 116}};
    std::vector<char*> pointers{static_cast<char*>(dumb.Allocate(0))};
    for (const Case& c : cases) {
        pointers.push_back(static_cast<char*>(dumb.Allocate(c.size)));
    }
    pointers.push_back(static_cast<char*>(dumb.Allocate(0)));
    // The first allocation takes a block; the others follow it in that block.
    EXPECT_EQ(pointers[1] - pointers[0], 16);
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(pointers[i + 2] - pointers[i + 1], cases[i].step) << "size " << cases[i].size;
    }
    EXPECT_EQ(dumb.EntryCount(), 1);
    EXPECT_EQ(allocator.PooledCount(), pooled - 2);

    for (char* p : pointers) {
        EXPECT_EQ(dumb.Reallocate(p, 1000), p);
        EXPECT_EQ(allocator.PooledCount(), pooled - 2);
        dumb.Deallocate(p);
    }
    // The last free gives the block back.
    EXPECT_EQ(allocator.PooledCount(), pooled - 1);
    EXPECT_TRUE(dumb.AllowDestruction());
}

TEST_F(DumbSubAllocatorTest, ItsHeadersAreRecognisedByItselfAndByABuddySubAllocator)
{
    void* first = dumb.Allocate(40);
    void* second = dumb.Allocate(40);
    ASSERT_NE(SnarlSubAllocator::Recognise(first), nullptr);
    EXPECT_EQ(SnarlSubAllocator::Recognise(first)->magic, 0xFEEDFACEu);
    dumb.Deallocate(first);
    EXPECT_EQ(dumb.EntryCount(), 1);

    // A buddy sub-allocator hands it back; the next call here reclaims it and frees the block.
    allocator.GetSubAllocator()->Deallocate(second);
    EXPECT_EQ(allocator.PooledCount(), pooled - 2);
    dumb.ConsumeStack();
    EXPECT_EQ(allocator.PooledCount(), pooled - 1);
    EXPECT_EQ(dumb.EntryCount(), 0);
}

TEST_F(DumbSubAllocatorTest, ReleasingTheLastBlocksLowersTheEntryCount)
{
    // Each of these takes a block of its own.
    constexpr size_t kHalfABlock = 30000;
    void* a = dumb.Allocate(kHalfABlock);
    void* b = dumb.Allocate(kHalfABlock);
    void* c = dumb.Allocate(kHalfABlock);
    ASSERT_EQ(dumb.EntryCount(), 3);
    dumb.Deallocate(b);
    EXPECT_EQ(dumb.EntryCount(), 3);
    dumb.Deallocate(c);
    EXPECT_EQ(dumb.EntryCount(), 1);
    // The freed slot is taken again first.
    void* d = dumb.Allocate(kHalfABlock);
    EXPECT_EQ(dumb.EntryCount(), 2);
    dumb.Deallocate(a);
    EXPECT_EQ(dumb.EntryCount(), 2);
    dumb.Deallocate(d);
    EXPECT_EQ(dumb.EntryCount(), 0);
    EXPECT_EQ(allocator.PooledCount(), pooled - 1);
}

TEST_F(DumbSubAllocatorTest, AFullEntryTableAnswersNull)
{
    ASSERT_EQ(DumbSubAllocator::kMaxEntries, 3327u);
    std::vector<void*> pointers;
    for (uint32_t i = 0; i < DumbSubAllocator::kMaxEntries; ++i) {
        pointers.push_back(dumb.Allocate(30000));
        ASSERT_NE(pointers.back(), nullptr) << i;
    }
    EXPECT_EQ(dumb.Allocate(30000), nullptr);
    // Room left in a block still serves.
    EXPECT_NE(pointers.back(), nullptr);
    void* small = dumb.Allocate(100);
    ASSERT_NE(small, nullptr);
    dumb.Deallocate(small);
    for (void* p : pointers) {
        dumb.Deallocate(p);
    }
    EXPECT_EQ(dumb.EntryCount(), 0);
}

} // namespace
