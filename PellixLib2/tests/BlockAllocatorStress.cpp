#include "MemAlloc/BuddySystemSubAllocator.h"
#include "MemAlloc/SnarlAllocator.h"

#include <DarwinTesting/Eventually.h>

#include <gtest/gtest.h>

#include <array>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr int kLiveThreads = 8;
constexpr int kThreads = 32;
constexpr int kAllocationsPerThread = 1000;

// Pointers that one thread hands to another to free.
struct Mailbox
{
    std::mutex lock;
    std::vector<void*> pointers;

    void put(void* p)
    {
        std::lock_guard held(lock);
        pointers.push_back(p);
    }
    std::vector<void*> takeAll()
    {
        std::lock_guard held(lock);
        return std::exchange(pointers, {});
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

void work(SnarlAllocator& allocator, std::array<Mailbox, kLiveThreads>& mailboxes, Mailbox& leftovers,
          int index)
{
    std::mt19937 random{unsigned(index)};
    BuddySystemSubAllocator& own = *allocator.GetSubAllocator();
    std::vector<void*> kept;
    for (int i = 0; i < kAllocationsPerThread; ++i) {
        const size_t size = randomSize(random);
        auto* p = static_cast<unsigned char*>(own.Allocate(size));
        ASSERT_NE(p, nullptr);
        p[0] = p[size - 1] = static_cast<unsigned char>(index);
        if (random() % 2 == 0) {
            mailboxes[random() % kLiveThreads].put(p);
        } else {
            kept.push_back(p);
        }
        if (kept.size() > 64) {
            own.Deallocate(kept.front());
            kept.erase(kept.begin());
        }
        if (i % 50 == 0) {
            for (void* foreign : mailboxes[index % kLiveThreads].takeAll()) {
                own.Deallocate(foreign);
            }
        }
    }
    // The thread ends still holding these, which makes its sub-allocator an orphan.
    for (void* p : kept) {
        leftovers.put(p);
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
        for (void* p : mailbox.takeAll()) {
            own.Deallocate(p);
        }
    }
    for (void* p : leftovers.takeAll()) {
        own.Deallocate(p);
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
