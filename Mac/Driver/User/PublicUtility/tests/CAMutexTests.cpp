#include "CAMutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

TEST(CAMutex, IsRecursiveForItsOwner)
{
    CAMutex mutex("Recursive");
    CAMutex::Locker outer(mutex);
    CAMutex::Locker inner(mutex);
    EXPECT_EQ(mutex.GetName(), "Recursive");
}

TEST(CAMutex, LockersOfSeveralThreadsExcludeEachOther)
{
    CAMutex mutex("Shared");
    int counter = 0;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                CAMutex::Locker locker(mutex);
                if (inside.fetch_add(1) != 0) {
                    overlapped = true;
                }
                ++counter;
                inside.fetch_sub(1);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(counter, 8000);
}

} // namespace
