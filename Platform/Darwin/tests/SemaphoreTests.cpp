#include "WaitFor.h"

#include <DarwinTesting/Semaphore.h>
#include <mach/mach.h>

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr mach_timespec_t kTry{0, 0};

class Semaphore : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(semaphore_create(mach_task_self(), &fSemaphore, SYNC_POLICY_FIFO, 0), KERN_SUCCESS);
    }
    void TearDown() override { semaphore_destroy(mach_task_self(), fSemaphore); }

    // Starts a thread that waits once and then records `id`, and returns once it is blocked.
    std::jthread blockedWaiter(int id, std::vector<int>& woken, std::mutex& lock,
                               kern_return_t expected = KERN_SUCCESS)
    {
        size_t before = DarwinTesting::blockedWaiters(fSemaphore);
        std::jthread waiter([=, this, &woken, &lock] {
            EXPECT_EQ(semaphore_wait(fSemaphore), expected);
            std::lock_guard held(lock);
            woken.push_back(id);
        });
        waitFor([&] { return DarwinTesting::blockedWaiters(fSemaphore) == before + 1; });
        return waiter;
    }

    semaphore_t fSemaphore = MACH_PORT_NULL;
};

TEST_F(Semaphore, WakesBlockedWaitersInTheOrderTheyBlocked)
{
    std::mutex lock;
    std::vector<int> woken;
    std::vector<std::jthread> waiters;
    for (int id = 0; id < 3; ++id) {
        waiters.push_back(blockedWaiter(id, woken, lock));
    }
    for (size_t count = 1; count <= 3; ++count) {
        ASSERT_EQ(semaphore_signal(fSemaphore), KERN_SUCCESS);
        waitFor([&] {
            std::lock_guard held(lock);
            return woken.size() == count;
        });
    }
    EXPECT_EQ(woken, (std::vector<int>{0, 1, 2}));
}

TEST_F(Semaphore, ZeroTimeOutIsATry)
{
    EXPECT_EQ(semaphore_timedwait(fSemaphore, kTry), KERN_OPERATION_TIMED_OUT);
    ASSERT_EQ(semaphore_signal(fSemaphore), KERN_SUCCESS);
    EXPECT_EQ(semaphore_timedwait(fSemaphore, kTry), KERN_SUCCESS);
    EXPECT_EQ(semaphore_timedwait(fSemaphore, kTry), KERN_OPERATION_TIMED_OUT);
    EXPECT_EQ(DarwinTesting::blockedWaiters(fSemaphore), 0u);
}

TEST_F(Semaphore, SignalsBeforeWaitsAreCounted)
{
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(semaphore_signal(fSemaphore), KERN_SUCCESS);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(semaphore_wait(fSemaphore), KERN_SUCCESS);
    }
    EXPECT_EQ(semaphore_timedwait(fSemaphore, kTry), KERN_OPERATION_TIMED_OUT);
}

TEST_F(Semaphore, MalformedTimeOutIsRefused)
{
    for (mach_timespec_t time :
         {mach_timespec_t{0, 1000000000}, mach_timespec_t{1, 1000000000}, mach_timespec_t{0, -1}}) {
        EXPECT_EQ(semaphore_timedwait(fSemaphore, time), KERN_INVALID_VALUE)
            << time.tv_sec << " s " << time.tv_nsec;
    }
}

TEST_F(Semaphore, TimedWaitTakesASignalThatArrivesInTime)
{
    std::jthread signaller([this] {
        waitFor([this] { return DarwinTesting::blockedWaiters(fSemaphore) == 1; });
        semaphore_signal(fSemaphore);
    });
    EXPECT_EQ(semaphore_timedwait(fSemaphore, mach_timespec_t{UINT_MAX, 0}), KERN_SUCCESS);
}

TEST_F(Semaphore, DestroyReleasesWaitersAndInvalidatesTheHandle)
{
    std::mutex lock;
    std::vector<int> woken;
    {
        std::jthread waiter = blockedWaiter(0, woken, lock, KERN_TERMINATED);
        ASSERT_EQ(semaphore_destroy(mach_task_self(), fSemaphore), KERN_SUCCESS);
    }
    EXPECT_EQ(woken.size(), 1u);
    EXPECT_EQ(semaphore_signal(fSemaphore), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_signal_all(fSemaphore), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_wait(fSemaphore), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_timedwait(fSemaphore, mach_timespec_t{1, 0}), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_destroy(mach_task_self(), fSemaphore), KERN_INVALID_ARGUMENT);
}

TEST_F(Semaphore, InjectedAbortsReachTheCallerWithoutTakingACount)
{
    ASSERT_EQ(semaphore_signal(fSemaphore), KERN_SUCCESS);
    DarwinTesting::injectAbortedWaits(fSemaphore, 2);
    EXPECT_EQ(semaphore_wait(fSemaphore), KERN_ABORTED);
    EXPECT_EQ(semaphore_timedwait(fSemaphore, kTry), KERN_ABORTED);
    EXPECT_EQ(semaphore_timedwait(fSemaphore, kTry), KERN_SUCCESS);
    EXPECT_EQ(semaphore_timedwait(fSemaphore, kTry), KERN_OPERATION_TIMED_OUT);
}

TEST_F(Semaphore, SignalAllWakesEveryCurrentWaiterAndAddsNothing)
{
    ASSERT_EQ(semaphore_signal_all(fSemaphore), KERN_SUCCESS);
    EXPECT_EQ(semaphore_timedwait(fSemaphore, kTry), KERN_OPERATION_TIMED_OUT);

    std::mutex lock;
    std::vector<int> woken;
    {
        std::jthread first = blockedWaiter(0, woken, lock);
        std::jthread second = blockedWaiter(1, woken, lock);
        ASSERT_EQ(semaphore_signal_all(fSemaphore), KERN_SUCCESS);
    }
    EXPECT_EQ(woken.size(), 2u);
    EXPECT_EQ(semaphore_timedwait(fSemaphore, kTry), KERN_OPERATION_TIMED_OUT);
}

TEST(SemaphoreCreate, RefusesBadArguments)
{
    semaphore_t semaphore;
    EXPECT_EQ(semaphore_create(mach_task_self(), &semaphore, SYNC_POLICY_FIFO, -1), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_create(MACH_PORT_NULL, &semaphore, SYNC_POLICY_FIFO, 0), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_create(mach_task_self(), nullptr, SYNC_POLICY_FIFO, 0), KERN_INVALID_ARGUMENT);
}

TEST(SemaphoreCreate, AnInjectedFailureReachesTheNextCallOnly)
{
    semaphore_t semaphore = MACH_PORT_NULL;
    DarwinTesting::failNextSemaphoreCreate(KERN_RESOURCE_SHORTAGE);
    EXPECT_EQ(semaphore_create(mach_task_self(), &semaphore, SYNC_POLICY_FIFO, 0), KERN_RESOURCE_SHORTAGE);
    EXPECT_EQ(semaphore, semaphore_t(MACH_PORT_NULL));
    ASSERT_EQ(semaphore_create(mach_task_self(), &semaphore, SYNC_POLICY_FIFO, 0), KERN_SUCCESS);
    semaphore_destroy(mach_task_self(), semaphore);
}

TEST(SemaphoreCreate, InitialValueAndNamesNeverReused)
{
    semaphore_t first;
    ASSERT_EQ(semaphore_create(mach_task_self(), &first, SYNC_POLICY_FIFO, 2), KERN_SUCCESS);
    EXPECT_EQ(semaphore_timedwait(first, kTry), KERN_SUCCESS);
    EXPECT_EQ(semaphore_timedwait(first, kTry), KERN_SUCCESS);
    EXPECT_EQ(semaphore_timedwait(first, kTry), KERN_OPERATION_TIMED_OUT);
    ASSERT_EQ(semaphore_destroy(mach_task_self(), first), KERN_SUCCESS);

    // The destroyed semaphore's storage is reused, its name never.
    semaphore_t second;
    ASSERT_EQ(semaphore_create(mach_task_self(), &second, SYNC_POLICY_FIFO, 0), KERN_SUCCESS);
    EXPECT_NE(second, first);
    EXPECT_EQ(semaphore_signal(first), KERN_INVALID_ARGUMENT);
    EXPECT_EQ(semaphore_timedwait(second, kTry), KERN_OPERATION_TIMED_OUT);
    semaphore_destroy(mach_task_self(), second);
}

// Producers signal while consumers take permits with short timed waits that often time out: every
// permit is taken exactly once, none is lost to a time-out racing a signal, and none is left over.
TEST_F(Semaphore, StressSignalsRacingTimedWaitsLoseNoPermit)
{
    constexpr int kThreads = 4;
    constexpr int kPerThread = 5000;
    std::atomic<int> taken{0};
    std::atomic<int> timedOut{0};
    {
        std::vector<std::jthread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([this] {
                for (int n = 0; n < kPerThread; ++n) {
                    ASSERT_EQ(semaphore_signal(fSemaphore), KERN_SUCCESS);
                }
            });
            threads.emplace_back([&, this] {
                for (int n = 0; n < kPerThread;) {
                    kern_return_t result = semaphore_timedwait(fSemaphore, mach_timespec_t{0, 20000});
                    if (result == KERN_SUCCESS) {
                        ++n;
                        ++taken;
                    } else {
                        ASSERT_EQ(result, KERN_OPERATION_TIMED_OUT);
                        ++timedOut;
                    }
                }
            });
        }
    }
    EXPECT_EQ(taken.load(), kThreads * kPerThread);
    EXPECT_EQ(semaphore_timedwait(fSemaphore, kTry), KERN_OPERATION_TIMED_OUT);
    EXPECT_EQ(DarwinTesting::blockedWaiters(fSemaphore), 0u);
}

} // namespace
