#include "MemAlloc/Atomics.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 8;

template <typename Body>
void onThreads(Body body)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back(body);
    }
    for (auto& thread : threads) {
        thread.join();
    }
}

TEST(AtomicsStress, AddsAreExact)
{
    constexpr int kAdds = 1'000'000;
    volatile int32_t sum32 = 0;
    volatile int64_t sum64 = 0;
    onThreads([&] {
        for (int i = 0; i < kAdds; ++i) {
            AtomicAdd32Implementation(&sum32, 1);
            AtomicAdd64Implementation(&sum64, 3);
        }
    });
    EXPECT_EQ(AtomicLoad32(&sum32), kThreads * kAdds);
    EXPECT_EQ(AtomicLoad64(&sum64), int64_t{3} * kThreads * kAdds);
}

TEST(AtomicsStress, PairsNeverTear)
{
    constexpr int kAdvances = 20'000;
    // Both halves always hold the same count.
    alignas(16) volatile int64_t pair[2] = {0, 0};
    volatile int32_t torn = 0;
    onThreads([&] {
        for (int done = 0; done < kAdvances;) {
            const int64_t low = AtomicLoad64(&pair[0]);
            const int64_t high = AtomicLoad64(&pair[1]);
            if (AtomicCompareAndSwap128Implementation(pair, low, high, low + 1, high + 1)) {
                // Success means the pair held exactly (low, high).
                if (low != high) {
                    AtomicAdd32Implementation(&torn, 1);
                }
                ++done;
            }
        }
    });
    EXPECT_EQ(AtomicLoad32(&torn), 0);
    EXPECT_EQ(AtomicLoad64(&pair[0]), int64_t{kThreads} * kAdvances);
    EXPECT_EQ(AtomicLoad64(&pair[1]), int64_t{kThreads} * kAdvances);
}

TEST(AtomicsStress, TryLockGuardsAPlainCounter)
{
    constexpr int kIncrements = 20'000;
    volatile int32_t lock = 0;
    long counter = 0;
    onThreads([&] {
        for (int i = 0; i < kIncrements; ++i) {
            while (!AtomicTryLock(&lock)) {
                std::this_thread::yield();
            }
            ++counter;
            AtomicLoadAndStore32(&lock, 0);
        }
    });
    EXPECT_EQ(counter, long{kThreads} * kIncrements);
}

} // namespace
