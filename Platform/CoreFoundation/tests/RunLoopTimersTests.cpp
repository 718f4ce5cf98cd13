#include "RunLoopTestThread.h"

#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFRunLoop.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundationTesting/RunLoop.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <memory>
#include <numeric>
#include <random>
#include <stdexcept>

using namespace std::chrono_literals;
using RunLoopTesting::CountingSource;
using RunLoopTesting::LoopThread;
using RunLoopTesting::Signal;

namespace {

// Records each callout: the clock and the timer's fire date as it ran, and the thread.
struct Firings
{
    std::mutex fLock;
    std::vector<CFAbsoluteTime> fNow;
    std::vector<CFAbsoluteTime> fDates;
    std::vector<std::thread::id> fThreads;
    std::atomic<int> fCount{0};
    std::function<void(CFRunLoopTimerRef, int)> fThen;
    Signal fFired;

    static void callout(CFRunLoopTimerRef timer, void* info)
    {
        auto* self = static_cast<Firings*>(info);
        int count;
        {
            std::lock_guard lock(self->fLock);
            self->fNow.push_back(CFAbsoluteTimeGetCurrent());
            self->fDates.push_back(CFRunLoopTimerGetNextFireDate(timer));
            self->fThreads.push_back(std::this_thread::get_id());
            count = int(self->fNow.size());
        }
        self->fCount.store(count);
        self->fFired.notify();
        if (self->fThen) {
            self->fThen(timer, count);
        }
    }

    CFRunLoopTimerRef makeTimer(CFAbsoluteTime date, CFTimeInterval interval, CFIndex order = 0)
    {
        CFRunLoopTimerContext context{};
        context.info = this;
        return CFRunLoopTimerCreate(kCFAllocatorDefault, date, interval, 0, order, callout, &context);
    }
};

void dispose(CFRunLoopTimerRef timer)
{
    CFRunLoopTimerInvalidate(timer);
    CFRelease(timer);
}

class RunLoopTimerPastDate : public testing::TestWithParam<CFAbsoluteTime>
{};

TEST_P(RunLoopTimerPastDate, FiresAtTheNextPass)
{
    Firings firings;
    CFRunLoopTimerRef timer = firings.makeTimer(GetParam(), 0);
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);

    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);

    EXPECT_EQ(firings.fCount.load(), 1);
    dispose(timer);
}

INSTANTIATE_TEST_SUITE_P(RunLoopTimers, RunLoopTimerPastDate,
                         testing::Values(0.0, 10000000.0, CFAbsoluteTimeGetCurrent() - 1));

TEST(RunLoopTimers, DueTimersFireInDateOrderThenOrderThenCreation)
{
    struct Tag
    {
        CFAbsoluteTime fDate;
        CFIndex fOrder;
        int fIndex;
        std::vector<int>* fFired;
    };
    std::vector<int> fired;
    // Expected order: index 3 (earliest), 2 (order 0), 0 and 1 (order 1, by creation).
    Tag tags[] = {{20.0, 1, 0, &fired}, {20.0, 1, 1, &fired}, {20.0, 0, 2, &fired}, {10.0, 5, 3, &fired}};
    std::vector<CFRunLoopTimerRef> timers;
    for (Tag& tag : tags) {
        CFRunLoopTimerContext context{};
        context.info = &tag;
        timers.push_back(CFRunLoopTimerCreate(
            kCFAllocatorDefault, tag.fDate, 0, 0, tag.fOrder,
            [](CFRunLoopTimerRef, void* info) {
                auto* tag = static_cast<Tag*>(info);
                tag->fFired->push_back(tag->fIndex);
            },
            &context));
    }
    for (int index : {1, 3, 0, 2}) {
        CFRunLoopAddTimer(CFRunLoopGetCurrent(), timers[index], kCFRunLoopDefaultMode);
    }

    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);

    EXPECT_EQ(fired, (std::vector<int>{3, 2, 0, 1}));
    for (CFRunLoopTimerRef timer : timers) {
        CFRelease(timer);
    }
}

TEST(RunLoopTimers, ManyTimersFireAtTheirDatesAroundRemovalsAndRearming)
{
    constexpr int kCount = 600;
    DarwinTesting::ManualClock clock;
    CFAbsoluteTime start = CFAbsoluteTimeGetCurrent();
    std::vector<int> order(kCount);
    std::iota(order.begin(), order.end(), 1);
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    std::vector<std::unique_ptr<Firings>> firings;
    std::vector<CFRunLoopTimerRef> timers;
    std::vector<std::pair<CFAbsoluteTime, int>> expected;
    for (int index = 0; index < kCount; ++index) {
        firings.push_back(std::make_unique<Firings>());
        timers.push_back(firings[index]->makeTimer(start + 0.001 * order[index], 0));
        CFRunLoopAddTimer(CFRunLoopGetCurrent(), timers[index], kCFRunLoopDefaultMode);
    }
    // Two timers in three leave, so the heap is swept; some of the rest move to later dates.
    for (int index = 0; index < kCount; ++index) {
        if (index % 3 != 2) {
            CFRunLoopTimerInvalidate(timers[index]);
            continue;
        }
        CFAbsoluteTime date = start + 0.001 * order[index];
        if (index % 2 == 0) {
            date += 0.5;
            CFRunLoopTimerSetNextFireDate(timers[index], date);
        }
        expected.emplace_back(date, index);
    }
    std::sort(expected.begin(), expected.end());
    std::vector<int> fired;
    for (int index = 0; index < kCount; ++index) {
        firings[index]->fThen = [&fired, index](CFRunLoopTimerRef, int) { fired.push_back(index); };
    }

    CoreFoundationTesting::advanceAndRun(clock, 2s);

    ASSERT_EQ(fired.size(), expected.size());
    for (size_t position = 0; position < expected.size(); ++position) {
        auto [date, index] = expected[position];
        EXPECT_EQ(fired[position], index);
        ASSERT_EQ(firings[index]->fNow.size(), 1u);
        EXPECT_NEAR(firings[index]->fNow[0], date, 1e-6);
    }
    for (CFRunLoopTimerRef timer : timers) {
        CFRelease(timer);
    }
}

TEST(RunLoopTimers, PastDateSetFromAnotherThreadFiresOnASleepingLoop)
{
    Firings firings;
    CFRunLoopTimerRef timer = firings.makeTimer(CFAbsoluteTimeGetCurrent() + DBL_MAX, DBL_MAX);
    LoopThread thread([&] { CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode); });
    RunLoopTesting::waitUntilSleeping(thread.loop());

    CFRunLoopTimerSetNextFireDate(timer, 0.0);

    firings.fFired.waitUntil([&] { return firings.fCount.load() == 1; });
    EXPECT_EQ(firings.fThreads[0], thread.id());
    thread.stop();
    // Not re-armed in its callout: its interval puts the next date out of reach.
    EXPECT_EQ(CFRunLoopTimerGetNextFireDate(timer), DBL_MAX);
    dispose(timer);
}

TEST(RunLoopTimers, LateRepeatingTimerFiresOnceThenOnItsPhase)
{
    DarwinTesting::ManualClock clock;
    Firings firings;
    CFAbsoluteTime start = CFAbsoluteTimeGetCurrent();
    CFRunLoopTimerRef timer = firings.makeTimer(start + 1, 1);
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);

    // The loop does not run while time passes 3.5 intervals beyond the first date.
    clock.advance(4500ms);
    CoreFoundationTesting::runUntilIdle();
    EXPECT_EQ(firings.fCount.load(), 1);
    EXPECT_NEAR(CFRunLoopTimerGetNextFireDate(timer), start + 5, 1e-6);

    CoreFoundationTesting::advanceAndRun(clock, 500ms);
    ASSERT_EQ(firings.fCount.load(), 2);
    EXPECT_NEAR(firings.fNow[1], start + 5, 1e-6);
    dispose(timer);
}

TEST(RunLoopTimers, ATimerBelongsToOneLoopOnly)
{
    Firings firings;
    CFRunLoopTimerRef timer = firings.makeTimer(0.0, 0);
    LoopThread thread;
    CFRunLoopRef here = CFRunLoopGetCurrent();
    CFRunLoopAddTimer(here, timer, kCFRunLoopDefaultMode);

    CFRunLoopAddTimer(thread.loop(), timer, kCFRunLoopDefaultMode);

    EXPECT_FALSE(CFRunLoopContainsTimer(thread.loop(), timer, kCFRunLoopDefaultMode));
    EXPECT_TRUE(CFRunLoopContainsTimer(here, timer, kCFRunLoopDefaultMode));
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
    EXPECT_EQ(firings.fCount.load(), 1);
    EXPECT_EQ(firings.fThreads[0], std::this_thread::get_id());
    CFRelease(timer);
}

TEST(RunLoopTimers, RemovedTimerStaysValidAndFiresOnlyInTheModesLeft)
{
    CFRunLoopMode other = CFSTR("RunLoopTimersOtherMode");
    Firings firings;
    CFRunLoopTimerRef timer = firings.makeTimer(0.0, 2.5);
    EXPECT_EQ(CFRunLoopTimerGetInterval(timer), 2.5);
    EXPECT_TRUE(CFRunLoopTimerDoesRepeat(timer));
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopAddTimer(loop, timer, kCFRunLoopDefaultMode);
    CFRunLoopAddTimer(loop, timer, other);

    CFRunLoopRemoveTimer(loop, timer, kCFRunLoopDefaultMode);
    EXPECT_FALSE(CFRunLoopContainsTimer(loop, timer, kCFRunLoopDefaultMode));
    EXPECT_TRUE(CFRunLoopContainsTimer(loop, timer, other));
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), kCFRunLoopRunFinished);
    EXPECT_EQ(firings.fCount.load(), 0);
    CFRunLoopRunInMode(other, 0, false);
    EXPECT_EQ(firings.fCount.load(), 1);

    CFRunLoopRemoveTimer(loop, timer, other);
    EXPECT_FALSE(CFRunLoopContainsTimer(loop, timer, other));
    EXPECT_TRUE(CFRunLoopTimerIsValid(timer));
    CFRelease(timer);
}

TEST(RunLoopTimers, OneShotIsInvalidAfterItsCallout)
{
    Firings firings;
    CFRunLoopTimerRef timer = firings.makeTimer(0.0, 0);
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
    EXPECT_FALSE(CFRunLoopTimerDoesRepeat(timer));

    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);

    EXPECT_EQ(firings.fCount.load(), 1);
    EXPECT_FALSE(CFRunLoopTimerIsValid(timer));
    EXPECT_FALSE(CFRunLoopContainsTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode));
    CFRelease(timer);
}

TEST(RunLoopTimers, InvalidationFromAnotherThreadDuringTheCalloutStopsFurtherCallouts)
{
    DarwinTesting::ManualClock clock;
    Firings firings;
    std::atomic<bool> invalidated{false};
    Signal invalidatedSignal;
    CFRunLoopTimerRef timer = firings.makeTimer(CFAbsoluteTimeGetCurrent() + 1, 1);
    // The first callout waits until another thread has invalidated its timer.
    std::thread invalidator([&] {
        firings.fFired.waitUntil([&] { return firings.fCount.load() == 1; });
        CFRunLoopTimerInvalidate(timer);
        invalidated.store(true);
        invalidatedSignal.notify();
    });
    firings.fThen = [&](CFRunLoopTimerRef, int) {
        invalidatedSignal.waitUntil([&] { return invalidated.load(); });
    };
    LoopThread thread([&] { CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode); });

    clock.advance(10s);

    invalidator.join();
    EXPECT_EQ(firings.fCount.load(), 1);
    EXPECT_FALSE(CFRunLoopTimerIsValid(timer));
    thread.stop();
    CFRelease(timer);
}

struct ThrowingCase
{
    const char* fName;
    // Arms something in the current loop's default mode that throws once; answers its clean-up.
    std::function<std::function<void()>()> fArm;
};

class RunLoopCalloutException : public testing::TestWithParam<ThrowingCase>
{};

TEST_P(RunLoopCalloutException, ReachesTheCallerAndTheLoopRunsAfterwards)
{
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CountingSource after;
    CFRunLoopAddSource(loop, after.get(), kCFRunLoopDefaultMode);
    std::function<void()> cleanUp = GetParam().fArm();

    EXPECT_THROW(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), std::runtime_error);

    EXPECT_EQ(CFRunLoopCopyCurrentMode(loop), nullptr);
    after.signal();
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1e6, true), kCFRunLoopRunHandledSource);
    EXPECT_EQ(after.fPerforms.load(), 1);
    cleanUp();
    CFRunLoopRemoveSource(loop, after.get(), kCFRunLoopDefaultMode);
}

void throwFromCallout()
{
    throw std::runtime_error("callout failed");
}

INSTANTIATE_TEST_SUITE_P(
    RunLoopTimers, RunLoopCalloutException,
    testing::Values(
        ThrowingCase{"OneShotTimer",
                     [] {
                         CFRunLoopTimerRef timer = CFRunLoopTimerCreate(
                             kCFAllocatorDefault, 0.0, 0, 0, 0,
                             [](CFRunLoopTimerRef, void*) { throwFromCallout(); }, nullptr);
                         CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
                         // The timer counts as fired: a one-shot is invalid afterwards.
                         return std::function<void()>([timer] {
                             EXPECT_FALSE(CFRunLoopTimerIsValid(timer));
                             CFRelease(timer);
                         });
                     }},
        ThrowingCase{"RepeatingTimer",
                     [] {
                         CFRunLoopTimerRef timer = CFRunLoopTimerCreate(
                             kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() - 0.5, 1000, 0, 0,
                             [](CFRunLoopTimerRef, void*) { throwFromCallout(); }, nullptr);
                         CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
                         // Re-armed on its phase, so not due again at once.
                         return std::function<void()>([timer] {
                             EXPECT_GT(CFRunLoopTimerGetNextFireDate(timer), CFAbsoluteTimeGetCurrent());
                             dispose(timer);
                         });
                     }},
        ThrowingCase{"Source",
                     [] {
                         auto source = std::make_shared<CountingSource>(0, throwFromCallout);
                         CFRunLoopAddSource(CFRunLoopGetCurrent(), source->get(), kCFRunLoopDefaultMode);
                         source->signal();
                         // Its signal was consumed: it performed once only.
                         return std::function<void()>([source] { EXPECT_EQ(source->fPerforms.load(), 1); });
                     }},
        ThrowingCase{"PerformBlock",
                     [] {
                         auto ran = std::make_shared<int>(0);
                         CFRunLoopPerformBlock(CFRunLoopGetCurrent(), kCFRunLoopDefaultMode, [ran] {
                             ++*ran;
                             throwFromCallout();
                         });
                         return std::function<void()>([ran] { EXPECT_EQ(*ran, 1); });
                     }}),
    [](const auto& info) { return std::string(info.param.fName); });

} // namespace

TEST(ManualClock, TimerRearmedFromItsCalloutFiresAtEachRearmedDateWithinOneAdvance)
{
    DarwinTesting::ManualClock clock;
    Firings firings;
    CFAbsoluteTime start = CFAbsoluteTimeGetCurrent();
    CFRunLoopTimerRef timer = firings.makeTimer(start + 1, DBL_MAX);
    firings.fThen = [](CFRunLoopTimerRef timer, int count) {
        if (count < 5) {
            CFRunLoopTimerSetNextFireDate(timer, CFAbsoluteTimeGetCurrent() + 1.5);
        }
    };
    LoopThread thread([&] { CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode); });

    clock.advance(10s);

    ASSERT_EQ(firings.fCount.load(), 5);
    for (int index = 0; index < 5; ++index) {
        CFAbsoluteTime expected = start + 1 + 1.5 * index;
        EXPECT_NEAR(firings.fDates[index], expected, 1e-6);
        EXPECT_NEAR(firings.fNow[index], expected, 1e-6);
    }
    thread.stop();
    dispose(timer);
}
