#include "VorkDeadline.h"
#include "VorkSemaphoreDestroyCounter.h"

#include <CountingSemaphore.h>

#include <DarwinTesting/ManualClock.h>
#include <DarwinTesting/Semaphore.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using Semaphore = vork::counting_semaphore<2147483646>;
using std::chrono::steady_clock;

TEST(CountingSemaphore, AcquireRetriesAbortedWaits)
{
    Semaphore semaphore;
    semaphore.release();
    DarwinTesting::injectAbortedWaits(semaphore.native_handle(), 3);
    semaphore.acquire();
    EXPECT_FALSE(semaphore.try_acquire());
}

TEST(CountingSemaphore, TryAcquireRetriesAbortedWaits)
{
    Semaphore semaphore;
    semaphore.release();
    DarwinTesting::injectAbortedWaits(semaphore.native_handle(), 2);
    EXPECT_TRUE(semaphore.try_acquire());
    EXPECT_FALSE(semaphore.try_acquire());
}

TEST(CountingSemaphore, TryAcquireUntilWaitsAgainAfterAbortedWait)
{
    Semaphore semaphore;
    DarwinTesting::injectAbortedWaits(semaphore.native_handle(), 1);
    std::atomic<bool> acquired{false};
    std::thread waiter(
        [&] { acquired = semaphore.try_acquire_until(steady_clock::now() + std::chrono::hours(1)); });
    ASSERT_TRUE(VorkTesting::eventually(
        [&] { return DarwinTesting::blockedWaiters(semaphore.native_handle()) > 0; }));
    semaphore.release();
    waiter.join();
    EXPECT_TRUE(acquired);
}

TEST(CountingSemaphore, TryAcquireUntilPastTimeOnlyTries)
{
    // On the manual clock a wait of any length would never end.
    DarwinTesting::ManualClock clock;
    Semaphore semaphore;
    DarwinTesting::injectAbortedWaits(semaphore.native_handle(), 1);
    EXPECT_FALSE(semaphore.try_acquire_until(steady_clock::now() - std::chrono::seconds(1)));
    semaphore.release();
    EXPECT_TRUE(semaphore.try_acquire_until(steady_clock::now() - std::chrono::seconds(1)));
}

// Only a semaphore that was created is destroyed: after a failed creation the handle is not this
// object's, and destroying it could end another owner's semaphore.
TEST(CountingSemaphore, DestroysOnlyACreatedSemaphore)
{
    struct Case
    {
        kern_return_t creation;
        int destroys;
    };
    for (const Case& c : {Case{KERN_SUCCESS, 1}, Case{KERN_RESOURCE_SHORTAGE, 0}, Case{KERN_FAILURE, 0}}) {
        SCOPED_TRACE(c.creation);
        VorkTesting::SemaphoreDestroyCounter destroys;
        if (c.creation != KERN_SUCCESS) {
            DarwinTesting::failNextSemaphoreCreate(c.creation);
        }
        {
            Semaphore semaphore;
        }
        EXPECT_EQ(destroys.count(), c.destroys);
    }
}

} // namespace
