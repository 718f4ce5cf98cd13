// The library's mutex, event, process-wide mutex, remove lock, page buffer and clock functions, on
// the manual clock where time matters.

#include "Basics/Failure.h"
#include "Util/AutoVMBuffer.h"
#include "Util/DateTime.h"
#include "Util/GlobalMutex.h"
#include "Util/Mutex.h"
#include "Util/RemoveLock.h"
#include "Util/SignalEvent.h"

#include <Darwin/Clock.h>
#include <DarwinTesting/LogCapture.h>
#include <DarwinTesting/ManualClock.h>
#include <DarwinTesting/VirtualMemory.h>
#include <mach/mach.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <regex>
#include <thread>

using namespace std::chrono_literals;
using DarwinTesting::LogCapture;
using DarwinTesting::LogSource;
using DarwinTesting::ManualClock;

namespace {

const std::vector<std::string> kTimedOut{"Mutex::WaitForCondition timed out"};

// Until a thread blocks in a timed wait on the manual clock.
void WaitForTimedWait(const ManualClock& clock)
{
    while (clock.nextDeadline() == DarwinClock::kNever) {
        std::this_thread::yield();
    }
}

// Keeps signalling until the waiter has returned: a signal sent before it waits is lost.
void SignalUntil(const std::atomic<bool>& returned, const std::function<void()>& signal)
{
    while (!returned.load()) {
        signal();
        std::this_thread::yield();
    }
}

TEST(Locks, AnUnlimitedWaitReturnsOnlyWhenSignalled)
{
    Pellix::Mutex mutex;
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        mutex.Lock("waiter");
        mutex.WaitForCondition(-1);
        EXPECT_TRUE(mutex.IsLocked());
        returned.store(true);
        mutex.Unlock();
    });
    // Time for a wait that does not wait to show; it cannot make a correct wait fail.
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(returned.load());

    SignalUntil(returned, [&] {
        mutex.Lock("signaller");
        mutex.SignalCondition();
        mutex.Unlock();
    });
    waiter.join();
}

TEST(Locks, ATimedWaitEndsWhenItsTimeHasPassedAndSaysSo)
{
    ManualClock clock;
    LogCapture capture;
    Pellix::Mutex mutex;
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        mutex.Lock("waiter");
        mutex.WaitForCondition(0.5);
        returned.store(true);
        mutex.Unlock();
    });
    WaitForTimedWait(clock);

    clock.advance(499ms);
    EXPECT_FALSE(returned.load());
    clock.advance(1ms);
    waiter.join();
    EXPECT_TRUE(returned.load());
    EXPECT_EQ(capture.texts(LogSource::OSLog), kTimedOut);
}

TEST(Locks, WaitForConditionExAnswersWhetherItWasWoken)
{
    ManualClock clock;
    LogCapture capture;
    Pellix::Mutex mutex;
    std::atomic<int> result{-1};
    auto wait = [&](double seconds) {
        return std::thread([&mutex, &result, seconds] {
            mutex.Lock("waiter");
            result.store(mutex.WaitForConditionEx(seconds) ? 1 : 0);
            mutex.Unlock();
        });
    };

    std::thread woken = wait(1.0);
    WaitForTimedWait(clock);
    // The waiter holds the mutex until it waits, so this signal cannot come too early.
    mutex.Lock("signaller");
    mutex.SignalCondition();
    mutex.Unlock();
    woken.join();
    EXPECT_EQ(result.load(), 1);

    std::thread timedOut = wait(0.25);
    WaitForTimedWait(clock);
    clock.advance(250ms);
    timedOut.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_TRUE(capture.texts(LogSource::OSLog).empty());
}

TEST(Locks, TheDepthFollowsLocksUnlocksAndWaits)
{
    ManualClock clock;
    Pellix::Mutex mutex;
    EXPECT_FALSE(mutex.IsLocked());
    mutex.Lock("first");
    mutex.Lock("second");
    mutex.Unlock();
    EXPECT_TRUE(mutex.IsLocked());
    mutex.Unlock();
    EXPECT_FALSE(mutex.IsLocked());

    mutex.Lock("waiter");
    EXPECT_FALSE(mutex.WaitForConditionEx(0));
    EXPECT_TRUE(mutex.IsLocked());
    mutex.Unlock();
    EXPECT_FALSE(mutex.IsLocked());
}

TEST(Locks, AnEventKeepsNoSignalAndLeavesTheDepthAsItFoundIt)
{
    Pellix::SignalEvent event;
    event.Signal();
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        event.Wait();
        returned.store(true);
        EXPECT_FALSE(event.IsLocked());
        event.Lock("waiter");
        EXPECT_TRUE(event.IsLocked());
        event.Unlock();
        EXPECT_FALSE(event.IsLocked());
    });
    // Time for a stored signal to release the wait; it cannot make a correct event fail.
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(returned.load());

    SignalUntil(returned, [&] { event.Signal(); });
    waiter.join();
}

TEST(Locks, TheGlobalMutexWaitsTwoSecondsAtMost)
{
    ManualClock clock;
    LogCapture capture;
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        Pellix::GlobalMutex::Lock("waiter");
        EXPECT_TRUE(Pellix::GlobalMutex::IsLocked());
        Pellix::GlobalMutex::WaitForCondition();
        returned.store(true);
        Pellix::GlobalMutex::Unlock();
    });
    WaitForTimedWait(clock);

    clock.advance(1999ms);
    EXPECT_FALSE(returned.load());
    clock.advance(1ms);
    waiter.join();
    EXPECT_EQ(capture.texts(LogSource::OSLog), kTimedOut);
    EXPECT_FALSE(Pellix::GlobalMutex::IsLocked());
}

// Lets a test wake the remove lock's waiter without a user letting go.
class ProbedRemoveLock : public Pellix::RemoveLock
{
public:
    void SpuriousWakeUp()
    {
        fMutex.Lock("test");
        fMutex.SignalCondition();
        fMutex.Unlock();
    }
};

struct RemoveCase
{
    const char* fName;
    int fUsers;
    // While the owner waits; the flag tells whether WaitToRemove has returned.
    std::function<void(ProbedRemoveLock&, ManualClock&, const std::atomic<bool>&)> fWhileWaiting;
    bool fTimesOut;
};

class RemoveLocks : public testing::TestWithParam<RemoveCase>
{};

TEST_P(RemoveLocks, WaitToRemoveEndsWhenTheUsersLetGoOrAfterTwoSeconds)
{
    const RemoveCase& removal = GetParam();
    ManualClock clock;
    LogCapture capture;
    ProbedRemoveLock lock;
    for (int i = 0; i < removal.fUsers; ++i) {
        ASSERT_TRUE(lock.Lock());
    }
    std::atomic<bool> returned{false};
    std::thread owner([&] {
        lock.WaitToRemove();
        returned.store(true);
    });
    if (removal.fWhileWaiting) {
        WaitForTimedWait(clock);
        removal.fWhileWaiting(lock, clock, returned);
    }
    owner.join();

    EXPECT_EQ(capture.texts(LogSource::OSLog), removal.fTimesOut ? kTimedOut : std::vector<std::string>{});
    EXPECT_FALSE(lock.Lock());
    lock.Reset();
    EXPECT_TRUE(lock.Lock());
}

INSTANTIATE_TEST_SUITE_P(
    Locks, RemoveLocks,
    testing::Values(RemoveCase{"NoUsers", 0, nullptr, false},
                    RemoveCase{
                        "TheUserLetsGo", 1,
                        [](ProbedRemoveLock& lock, ManualClock&, const std::atomic<bool>&) { lock.Unlock(); },
                        false},
                    RemoveCase{"TheUserHoldsOn", 1,
                               [](ProbedRemoveLock&, ManualClock& clock, const std::atomic<bool>& returned) {
                                   clock.advance(1999ms);
                                   EXPECT_FALSE(returned.load());
                                   clock.advance(1ms);
                               },
                               true},
                    RemoveCase{"ASpuriousWakeUp", 1,
                               [](ProbedRemoveLock& lock, ManualClock&, const std::atomic<bool>& returned) {
                                   lock.SpuriousWakeUp();
                                   // Time for a wait that ends early to show; it cannot make a correct one
                                   // fail.
                                   std::this_thread::sleep_for(20ms);
                                   EXPECT_FALSE(returned.load());
                                   lock.Unlock();
                               },
                               false}),
    [](const testing::TestParamInfo<RemoveCase>& info) { return info.param.fName; });

TEST(Locks, AVMBufferHasZeroedWritablePagesOrFailsAsMemoryFull)
{
    {
        Pellix::AutoVMBuffer buffer(10000);
        ASSERT_NE(buffer.fBuffer, nullptr);
        EXPECT_EQ(buffer.fSize, 10000u);
        auto* bytes = static_cast<unsigned char*>(buffer.fBuffer);
        for (unsigned i = 0; i < buffer.fSize; ++i) {
            ASSERT_EQ(bytes[i], 0) << i;
            bytes[i] = 0xA5;
        }
    }
    Pellix::VorkError memoryFull;
    try {
        Pellix::FailMemFullError();
    } catch (const Pellix::VorkError& error) {
        memoryFull = error;
    }
    DarwinTesting::failNextVMAllocate(KERN_NO_SPACE);
    try {
        Pellix::AutoVMBuffer buffer(4096);
        FAIL() << "the allocation did not fail";
    } catch (const Pellix::VorkError& error) {
        EXPECT_EQ(error, memoryFull);
    }
}

TEST(Locks, AbsoluteTimeFollowsTheClock)
{
    ManualClock clock;
    double start = Pellix::GetAbsoluteTime();
    clock.advance(1500ms);
    EXPECT_NEAR(Pellix::GetAbsoluteTime() - start, 1.5, 1e-6);
}

TEST(Locks, TheDateTimeStringIsAShortDateWithAFullTime)
{
    std::string text = Pellix::GetDateTimeString().utf8_str();
    // ICU puts a narrow no-break space before the day period.
    static const std::regex kShape(
        "[0-9]{1,2}/[0-9]{1,2}/[0-9]{2}, [0-9]{1,2}:[0-9]{2}:[0-9]{2}( |\xE2\x80\xAF)(AM|PM) [^ ].*");
    EXPECT_TRUE(std::regex_match(text, kShape)) << text;
}

} // namespace
