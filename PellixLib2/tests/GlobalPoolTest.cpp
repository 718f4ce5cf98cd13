#include "MemAlloc/BuddySystemSubAllocator.h"
#include "MemAlloc/SnarlAllocator.h"
#include "MemAlloc/SnarlGlobalPool.h"

#include <Darwin/Clock.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/ManualClock.h>
#include <DarwinTesting/VirtualMemory.h>
#include <mach/kern_return.h>
#include <mach/mach_time.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

std::vector<SnarlGlobalBlock*> drain(SnarlGlobalPool& pool)
{
    std::vector<SnarlGlobalBlock*> blocks;
    while (SnarlGlobalBlock* block = pool.RequestBlock()) {
        blocks.push_back(block);
    }
    return blocks;
}

void giveBack(SnarlGlobalPool& pool, const std::vector<SnarlGlobalBlock*>& blocks)
{
    for (SnarlGlobalBlock* block : blocks) {
        pool.ReturnBlock(block);
    }
}

TEST(GlobalPoolTest, ANewPoolHolds256BlocksOf13Pages)
{
    SnarlGlobalPool pool;
    EXPECT_EQ(pool.PooledCount(), 256);
    const std::vector<SnarlGlobalBlock*> blocks = drain(pool);
    ASSERT_EQ(blocks.size(), 256u);
    for (SnarlGlobalBlock* block : blocks) {
        EXPECT_EQ(block->size, 53232u);
        EXPECT_EQ(SnarlGlobalBlock::MappedSize(block->size), 13u * 4096);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 4096, 0u);
    }
    EXPECT_EQ(pool.PooledCount(), 0);
    giveBack(pool, blocks);
}

TEST(GlobalPoolTest, DemandsBeyondThePooledSizeOrAnEmptyPoolMakeFreshBlocks)
{
    SnarlGlobalPool pool;
    SnarlGlobalBlock* large = pool.DemandBlock(53233);
    ASSERT_NE(large, nullptr);
    EXPECT_EQ(large->size, 53233u);
    EXPECT_EQ(pool.PooledCount(), 256);
    pool.ReturnBlock(large);
    EXPECT_EQ(pool.PooledCount(), 256);

    const std::vector<SnarlGlobalBlock*> blocks = drain(pool);
    SnarlGlobalBlock* emergency = pool.DemandBlock(100);
    ASSERT_NE(emergency, nullptr);
    EXPECT_EQ(emergency->size, 53232u);
    EXPECT_EQ(pool.RequestBlock(), nullptr);
    pool.ReturnBlock(emergency);
    EXPECT_EQ(pool.PooledCount(), 1);
    pool.ReturnBlock(nullptr);
    EXPECT_EQ(pool.PooledCount(), 1);
    giveBack(pool, blocks);

    const SnarlGlobalPoolStats& stats = pool.Stats();
    EXPECT_EQ(stats.pooledDemands, 1u);
    EXPECT_EQ(stats.largeDemands, 1u);
    EXPECT_EQ(stats.bytesDemanded, 53233u + 100u);
    EXPECT_EQ(stats.emergencies, 1u);
    EXPECT_EQ(stats.largeReturns, 1u);
    EXPECT_EQ(stats.pooledReturns, 1u + 256u);
    EXPECT_EQ(stats.bytesReturned, 53233u + 257u * 53232u);
}

TEST(GlobalPoolTest, MonitoringTrimsTo275AndRefillsTo256)
{
    SnarlGlobalPool pool;
    for (int i = 0; i < 44; ++i) {
        pool.ReturnBlock(SnarlGlobalBlock::Make(SnarlGlobalBlock::kPooledSize));
    }
    ASSERT_EQ(pool.PooledCount(), 300);
    pool.MonitorGlobalPool();
    EXPECT_EQ(pool.PooledCount(), 275);

    std::vector<SnarlGlobalBlock*> taken;
    for (int i = 0; i < 75; ++i) {
        taken.push_back(pool.RequestBlock());
    }
    ASSERT_EQ(pool.PooledCount(), 200);
    pool.MonitorGlobalPool();
    EXPECT_EQ(pool.PooledCount(), 256);
    // Within the band nothing changes.
    giveBack(pool, std::vector<SnarlGlobalBlock*>(taken.begin(), taken.begin() + 19));
    pool.MonitorGlobalPool();
    EXPECT_EQ(pool.PooledCount(), 275);
    for (auto block = taken.begin() + 19; block != taken.end(); ++block) {
        SnarlGlobalBlock::Destroy(*block);
    }
}

TEST(GlobalPoolTest, ARefusedMappingGivesNullAndNeverQueuesIt)
{
    DarwinTesting::failNextVMAllocate(KERN_NO_SPACE);
    EXPECT_EQ(SnarlGlobalBlock::Make(100), nullptr);

    SnarlGlobalPool pool;
    DarwinTesting::failNextVMAllocate(KERN_NO_SPACE);
    EXPECT_EQ(pool.DemandBlock(60000), nullptr);

    const std::vector<SnarlGlobalBlock*> blocks = drain(pool);
    DarwinTesting::failNextVMAllocate(KERN_RESOURCE_SHORTAGE);
    EXPECT_EQ(pool.DemandBlock(100), nullptr);

    // A refill in which one mapping is refused queues only the blocks made.
    DarwinTesting::failNextVMAllocate(KERN_NO_SPACE);
    pool.MonitorGlobalPool();
    EXPECT_EQ(pool.PooledCount(), 255);
    const std::vector<SnarlGlobalBlock*> refilled = drain(pool);
    EXPECT_EQ(refilled.size(), 255u);
    for (SnarlGlobalBlock* block : refilled) {
        EXPECT_NE(block, nullptr);
    }
    giveBack(pool, refilled);
    giveBack(pool, blocks);
}

// An allocation made on a thread that has ended since, so that its sub-allocator is an orphan.
void* allocateOnEndedThread(SnarlAllocator& allocator, size_t size)
{
    void* allocation = nullptr;
    std::thread([&] { allocation = allocator.GetSubAllocator()->Allocate(size); }).join();
    return allocation;
}

TEST(GlobalPoolTest, ThePoolThreadRunsARoundPer100MillisecondsAndPollsOrphansEveryFifth)
{
    SnarlAllocator allocator;
    void* held = allocateOnEndedThread(allocator, 100);
    ASSERT_NE(held, nullptr);
    // Freed here, it waits in the orphan's queue for the next poll, which gives its arena back.
    allocator.GetSubAllocator()->Deallocate(held);
    ASSERT_EQ(allocator.PooledCount(), 255);

    DarwinTesting::ManualClock clock;
    const uint64_t start = mach_absolute_time();
    // A round is over once the thread sleeps again, until 100 ms after the time it woke at.
    auto roundDone = [&](int round) {
        const uint64_t sleepsUntil = start + uint64_t(round) * 100'000'000;
        return DarwinTesting::eventually([&] { return clock.nextDeadline() == sleepsUntil; });
    };
    allocator.Initialize();
    // The first round runs at once.
    ASSERT_TRUE(roundDone(1));
    EXPECT_EQ(allocator.PooledCount(), 256);

    std::vector<SnarlGlobalBlock*> taken;
    for (int round = 2; round <= 4; ++round) {
        taken.push_back(allocator.RequestBlock());
        clock.advance(100ms);
        ASSERT_TRUE(roundDone(round));
        EXPECT_EQ(allocator.PooledCount(), 256) << "round " << round;
    }
    clock.advance(100ms);
    ASSERT_TRUE(roundDone(5));
    EXPECT_EQ(allocator.PooledCount(), 257);
    EXPECT_EQ(allocator.OrphanCount(), 0u);

    allocator.RequestQuit();
    clock.advance(100ms);
    allocator.WaitForThread();
    giveBack(allocator, taken);
}

} // namespace
