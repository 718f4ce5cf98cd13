#include "MemAlloc/BuddyHeap.h"
#include "MemAlloc/SizeTable.h"
#include "MemAlloc/SnarlGlobalPool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <vector>

namespace {

const SizeTable& table()
{
    return GetGlobalSizeTable();
}

// The request that takes exactly class `cls`.
size_t requestFor(uint8_t cls)
{
    return table().sizes[cls] - 16;
}

void release(BuddyHeap& heap, BuddyBlock* block)
{
    block->SetInUse(false);
    static_cast<FreeBuddyBlock*>(block)->Free(heap);
}

BuddyBlock* at(BuddyBlock* block, uint64_t offset)
{
    return reinterpret_cast<BuddyBlock*>(reinterpret_cast<uint8_t*>(block) + offset);
}

class BuddyHeapTest : public testing::Test
{
protected:
    SnarlGlobalPool pool;
    BuddyHeap heap{pool, 0, 16000, 65536};
};

TEST_F(BuddyHeapTest, AClassZeroRequestTakesALoneClassOneBlockWhole)
{
    BuddyBlock* small = heap.Allocate(requestFor(1));
    ASSERT_NE(small, nullptr);
    std::vector<BuddyBlock*> rest = heap.EmptyHeap();
    release(heap, small);

    EXPECT_EQ(heap.Allocate(requestFor(0)), small);
    EXPECT_EQ(small->SizeClass(), 1);
    rest.push_back(small);
    for (BuddyBlock* block : rest) {
        release(heap, block);
    }
    EXPECT_EQ(heap.TotalBytes(), 0u);
}

TEST_F(BuddyHeapTest, FreeingAWholeArenaGivesItBackToThePool)
{
    const int64_t pooled = pool.PooledCount();
    std::vector<BuddyBlock*> blocks;
    for (uint8_t cls : {3, 9, 0, 12, 6}) {
        blocks.push_back(heap.Allocate(requestFor(cls)));
        ASSERT_NE(blocks.back(), nullptr);
    }
    EXPECT_EQ(heap.TotalBytes(), 41328u);
    EXPECT_EQ(pool.PooledCount(), pooled - 1);
    for (BuddyBlock* block : blocks) {
        release(heap, block);
    }
    EXPECT_EQ(heap.TotalBytes(), 0u);
    EXPECT_EQ(heap.BytesInUse(), 0u);
    EXPECT_EQ(pool.PooledCount(), pooled);
}

TEST_F(BuddyHeapTest, ARightPartMergesOnlyWithAFreeLeftBuddyOfTheClassAbove)
{
    // The arena's root (class 15) splits into a left part of class 14 and a right part of class 13.
    BuddyBlock* right = heap.Allocate(requestFor(13));
    ASSERT_NE(right, nullptr);
    BuddyBlock* left = at(right, -int64_t(table().sizes[14]));
    ASSERT_TRUE(left->IsArenaRoot());
    // Taking class 12 splits the free left part further.
    BuddyBlock* inner = heap.Allocate(requestFor(12));
    ASSERT_EQ(inner, at(left, table().sizes[13]));

    release(heap, right);
    EXPECT_EQ(right->SizeClass(), 13);
    EXPECT_EQ(left->SizeClass(), 13);
    EXPECT_FALSE(left->InUse());

    // A left buddy in use keeps the right part apart too.
    BuddyBlock* leftTaken = heap.Allocate(requestFor(13));
    ASSERT_TRUE(leftTaken == left || leftTaken == right);
    BuddyBlock* other = leftTaken == left ? right : left;
    EXPECT_FALSE(other->InUse());
    EXPECT_EQ(other->SizeClass(), 13);

    release(heap, leftTaken);
    release(heap, inner);
    EXPECT_EQ(heap.TotalBytes(), 0u);
}

TEST_F(BuddyHeapTest, EmptyHeapTakesEveryFreeBlockInAscendingClasses)
{
    BuddyBlock* taken = heap.Allocate(requestFor(4));
    ASSERT_NE(taken, nullptr);
    const uint64_t inUse = heap.BytesInUse();
    std::vector<BuddyBlock*> rest = heap.EmptyHeap();
    ASSERT_FALSE(rest.empty());
    uint64_t sum = 0;
    for (size_t i = 0; i < rest.size(); ++i) {
        EXPECT_TRUE(rest[i]->InUse());
        if (i > 0) {
            EXPECT_LE(rest[i - 1]->SizeClass(), rest[i]->SizeClass());
        }
        sum += table().sizes[rest[i]->SizeClass()];
    }
    EXPECT_EQ(inUse + sum, table().sizes[15]);
    EXPECT_EQ(heap.BytesInUse(), table().sizes[15]);
    EXPECT_TRUE(heap.EmptyHeap().empty());
    rest.push_back(taken);
    for (BuddyBlock* block : rest) {
        release(heap, block);
    }
    EXPECT_EQ(heap.TotalBytes(), 0u);
}

// Random allocations and frees checked against a model of the live blocks.
TEST_F(BuddyHeapTest, RandomTrafficKeepsBlocksApartAndReturnsEveryArena)
{
    // The pool's blocks, so that every heap block can be placed inside an arena.
    std::vector<SnarlGlobalBlock*> poolBlocks;
    while (SnarlGlobalBlock* block = pool.RequestBlock()) {
        poolBlocks.push_back(block);
    }
    std::map<uintptr_t, uintptr_t> arenas;
    for (SnarlGlobalBlock* block : poolBlocks) {
        const auto root = reinterpret_cast<uintptr_t>(block->Payload()) + 16;
        arenas[root] = root + table().sizes[15];
        pool.ReturnBlock(block);
    }
    const int64_t pooled = pool.PooledCount();

    std::mt19937 random(18);
    std::map<uintptr_t, BuddyBlock*> live;
    auto check = [&](BuddyBlock* block, size_t request) {
        const uint8_t wanted = table().CeilingIndex(request + 16);
        EXPECT_TRUE(block->SizeClass() == wanted || (wanted == 0 && block->SizeClass() == 1));
        EXPECT_TRUE(block->InUse());
        EXPECT_LE(block->SplitDepth(), 15);
        const auto start = reinterpret_cast<uintptr_t>(block);
        const uintptr_t end = start + table().sizes[block->SizeClass()];
        auto arena = arenas.upper_bound(start);
        ASSERT_NE(arena, arenas.begin());
        --arena;
        EXPECT_LE(end, arena->second);
        EXPECT_EQ(block->IsArenaRoot(), start == arena->first);
        auto next = live.lower_bound(start);
        if (next != live.end()) {
            EXPECT_LE(end, next->first);
        }
        if (next != live.begin()) {
            auto previous = std::prev(next);
            EXPECT_LE(previous->first + table().sizes[previous->second->SizeClass()], start);
        }
    };
    for (int step = 0; step < 20000; ++step) {
        if (live.empty() || random() % 100 < 50) {
            const size_t request = 4 * (random() % (41328 / 4 + 1) >> (random() % 12));
            BuddyBlock* block = heap.Allocate(request);
            ASSERT_NE(block, nullptr);
            check(block, request);
            live[reinterpret_cast<uintptr_t>(block)] = block;
        } else {
            auto victim = live.begin();
            std::advance(victim, random() % live.size());
            release(heap, victim->second);
            live.erase(victim);
        }
        ASSERT_EQ(heap.BytesInUse(), [&] {
            uint64_t sum = 0;
            for (auto& [address, block] : live) {
                sum += table().sizes[block->SizeClass()];
            }
            return sum;
        }());
    }
    for (auto& [address, block] : live) {
        release(heap, block);
    }
    EXPECT_EQ(heap.TotalBytes(), 0u);
    EXPECT_EQ(heap.BytesInUse(), 0u);
    EXPECT_EQ(pool.PooledCount(), pooled);
}

} // namespace
