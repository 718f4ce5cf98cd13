// The library's mutex, event, process-wide mutex, remove lock, page buffer and clock functions, on
// the manual clock where time matters.

#include "ThreadWatch.h"

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
using DarwinTesting::eventually;
using DarwinTesting::LogCapture;
using DarwinTesting::LogSource;
using DarwinTesting::ManualClock;

namespace {

const std::vector<std::string> kTimedOut{"Mutex::WaitForCondition timed out"};

// Whether a thread has begun a timed wait on the manual clock.
bool InTimedWait(const ManualClock& clock)
{
    return eventually([&] { return clock.nextDeadline() != DarwinClock::kNever; });
}

TEST(Locks, AnUnlimitedWaitReturnsOnlyWhenSignalled)
{
    ManualClock clock;
    Pellix::Mutex mutex;
    std::atomic<bool> holding{false};
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        mutex.Lock("waiter");
        holding.store(true);
        mutex.WaitForCondition(-1);
        EXPECT_TRUE(mutex.IsLocked());
        returned.store(true);
        mutex.Unlock();
    });
    ASSERT_TRUE(eventually([&] { return holding.load(); }));
    // The waiter lets go of the mutex only in its wait, or once it has returned.
    mutex.Lock("observer");
    EXPECT_FALSE(returned.load());
    mutex.Unlock();
    // A wait with a limit of up to a day would end here, and hold the mutex again before the
    // advance returns.
    clock.advance(24h);

    mutex.Lock("signaller");
    EXPECT_FALSE(returned.load());
    mutex.SignalCondition();
    mutex.Unlock();
    waiter.join();
    EXPECT_TRUE(returned.load());
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
    ASSERT_TRUE(InTimedWait(clock));

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
    ASSERT_TRUE(InTimedWait(clock));
    // The waiter holds the mutex until it waits, so this signal cannot come too early.
    mutex.Lock("signaller");
    mutex.SignalCondition();
    mutex.Unlock();
    woken.join();
    EXPECT_EQ(result.load(), 1);

    std::thread timedOut = wait(0.25);
    ASSERT_TRUE(InTimedWait(clock));
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
    std::atomic<pid_t> waiterId{0};
    std::atomic<bool> returned{false};
    std::thread waiter([&] {
        waiterId.store(PellixTesting::KernelThreadId());
        event.Wait();
        returned.store(true);
    });
    ASSERT_TRUE(eventually([&] { return waiterId.load() != 0; }));
    // Asleep in its wait, unless a kept signal let it through.
    ASSERT_TRUE(eventually([&] { return returned.load() || PellixTesting::IsAsleep(waiterId.load()); }));
    EXPECT_FALSE(returned.load());

    // A signal sent before the waiter waits is lost, so it is sent until the waiter returns.
    EXPECT_TRUE(eventually([&] {
        event.Signal();
        return returned.load();
    }));
    waiter.join();
    // Read once the signalling is over: Signal holds the lock while it runs.
    EXPECT_FALSE(event.IsLocked());
    event.Lock("test");
    EXPECT_TRUE(event.IsLocked());
    event.Unlock();
    EXPECT_FALSE(event.IsLocked());
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
    ASSERT_TRUE(InTimedWait(clock));

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
    // Whether a user may still take the lock once WaitToRemove has returned: only while one holds it.
    bool fLockableAfter;
};

void PrintTo(const RemoveCase& removal, std::ostream* os)
{
    *os << removal.fName;
}

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
        ASSERT_TRUE(InTimedWait(clock));
        removal.fWhileWaiting(lock, clock, returned);
    }
    owner.join();

    EXPECT_EQ(capture.texts(LogSource::OSLog), removal.fTimesOut ? kTimedOut : std::vector<std::string>{});
    EXPECT_EQ(lock.Lock(), removal.fLockableAfter);
    lock.Reset();
    EXPECT_TRUE(lock.Lock());
}

INSTANTIATE_TEST_SUITE_P(
    Locks, RemoveLocks,
    testing::Values(
        RemoveCase{"NoUsers", 0, nullptr, false, false},
        RemoveCase{"TheUserLetsGo", 1,
                   [](ProbedRemoveLock& lock, ManualClock&, const std::atomic<bool>&) { lock.Unlock(); },
                   false, false},
        RemoveCase{"TheUserHoldsOn", 1,
                   [](ProbedRemoveLock&, ManualClock& clock, const std::atomic<bool>& returned) {
                       clock.advance(1999ms);
                       EXPECT_FALSE(returned.load());
                       clock.advance(1ms);
                   },
                   true, true},
        RemoveCase{"AUserJoinsWhileTheOwnerWaits", 1,
                   [](ProbedRemoveLock& lock, ManualClock& clock, const std::atomic<bool>& returned) {
                       EXPECT_TRUE(lock.Lock());
                       lock.Unlock();
                       // The owner waits for the one that joined as well.
                       clock.advance(1999ms);
                       EXPECT_FALSE(returned.load());
                       lock.Unlock();
                   },
                   false, false},
        // The wait goes on after the wake-up, until its time is up.
        RemoveCase{"ASpuriousWakeUp", 1,
                   [](ProbedRemoveLock& lock, ManualClock& clock, const std::atomic<bool>&) {
                       lock.SpuriousWakeUp();
                       clock.advance(2s);
                   },
                   true, true}),
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
