#include "MemAlloc/BuddySystemSubAllocator.h"
#include "MemAlloc/SnarlAllocator.h"

#include <DarwinTesting/Eventually.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr int kLiveThreads = 8;
constexpr int kThreads = 32;
constexpr int kAllocationsPerThread = 1000;

// An allocation filled with its own stamp, so that one that overlaps another, or is written by
// anyone else, is seen when it is freed.
struct Block
{
    unsigned char* bytes;
    size_t size;
    unsigned char stamp;

    bool intact() const
    {
        return std::all_of(bytes, bytes + size, [this](unsigned char b) { return b == stamp; });
    }
};

// Blocks that one thread hands to another to free.
struct Mailbox
{
    std::mutex lock;
    std::vector<Block> blocks;

    void put(Block block)
    {
        std::lock_guard held(lock);
        blocks.push_back(block);
    }
    std::vector<Block> takeAll()
    {
        std::lock_guard held(lock);
        return std::exchange(blocks, {});
    }
};

size_t randomSize(std::mt19937& random)
{
    // One in 40 bypasses the heap.
    if (random() % 40 == 0) {
        return BuddySystemSubAllocator::kLargeThreshold + 1 + random() % 20000;
    }
    return 16 + random() % 1009;
}

void release(BuddySystemSubAllocator& allocator, const Block& block)
{
    EXPECT_TRUE(block.intact()) << "a block of " << block.size << " bytes stamped " << int(block.stamp);
    allocator.Deallocate(block.bytes);
}

void work(SnarlAllocator& allocator, std::array<Mailbox, kLiveThreads>& mailboxes, Mailbox& leftovers,
          int index)
{
    std::mt19937 random{unsigned(index)};
    BuddySystemSubAllocator& own = *allocator.GetSubAllocator();
    std::vector<Block> kept;
    for (int i = 0; i < kAllocationsPerThread; ++i) {
        const size_t size = randomSize(random);
        Block block{static_cast<unsigned char*>(own.Allocate(size)), size,
                    static_cast<unsigned char>(index * kAllocationsPerThread + i)};
        ASSERT_NE(block.bytes, nullptr);
        std::memset(block.bytes, block.stamp, size);
        if (random() % 2 == 0) {
            mailboxes[random() % kLiveThreads].put(block);
        } else {
            kept.push_back(block);
        }
        if (kept.size() > 64) {
            release(own, kept.front());
            kept.erase(kept.begin());
        }
        if (i % 50 == 0) {
            for (const Block& foreign : mailboxes[index % kLiveThreads].takeAll()) {
                release(own, foreign);
            }
        }
    }
    // The thread ends still holding these, which makes its sub-allocator an orphan.
    for (const Block& block : kept) {
        leftovers.put(block);
    }
}

TEST(BlockAllocatorStress, ThreadsComingAndGoingLoseNoMemory)
{
    SnarlAllocator allocator;
    allocator.Initialize();
    std::array<Mailbox, kLiveThreads> mailboxes;
    Mailbox leftovers;
    std::deque<std::thread> running;
    for (int index = 0; index < kThreads; ++index) {
        if (running.size() == kLiveThreads) {
            running.front().join();
            running.pop_front();
        }
        running.emplace_back(work, std::ref(allocator), std::ref(mailboxes), std::ref(leftovers), index);
    }
    for (std::thread& thread : running) {
        thread.join();
    }

    BuddySystemSubAllocator& own = *allocator.GetSubAllocator();
    for (Mailbox& mailbox : mailboxes) {
        for (const Block& block : mailbox.takeAll()) {
            release(own, block);
        }
    }
    for (const Block& block : leftovers.takeAll()) {
        release(own, block);
    }
    EXPECT_EQ(own.Heap().TotalBytes(), 0u);
    EXPECT_EQ(own.LargeAllocations(), 0);

    // Once the pool thread has polled the orphans and trimmed the arenas they gave back, only the
    // calling thread's sub-allocator is left.
    auto poolInBand = [&] { return allocator.PooledCount() >= 256 && allocator.PooledCount() <= 275; };
    EXPECT_TRUE(DarwinTesting::eventually(
        [&] { return allocator.SubAllocatorCount() == 1 && allocator.OrphanCount() == 0 && poolInBand(); }));
    allocator.RequestQuit();
    allocator.WaitForThread();
    EXPECT_TRUE(poolInBand()) << allocator.PooledCount();
}

} // namespace
