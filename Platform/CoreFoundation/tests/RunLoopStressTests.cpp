#include "RunLoopTestThread.h"

#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFRunLoop.h>
#include <DarwinTesting/Eventually.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <cfloat>

using namespace std::chrono_literals;
using RunLoopTesting::Signal;

namespace {

constexpr int kPosters = 4;
constexpr int kItemsEach = 10000;

// Items posted through one version-0 source: appended under a lock, then signal and wake-up.
struct Inbox
{
    std::mutex fLock;
    std::vector<std::pair<int, int>> fPending;
    // Touched on the loop's thread only.
    std::vector<std::vector<int>> fPerformed = std::vector<std::vector<int>>(kPosters);
    std::atomic<int> fCount{0};
    Signal fChanged;

    static void perform(void* info)
    {
        auto* self = static_cast<Inbox*>(info);
        std::vector<std::pair<int, int>> items;
        {
            std::lock_guard lock(self->fLock);
            items.swap(self->fPending);
        }
        for (auto [poster, item] : items) {
            self->fPerformed[poster].push_back(item);
        }
        self->fCount.fetch_add(int(items.size()));
        self->fChanged.notify();
    }
};

struct TimerLog
{
    std::vector<CFAbsoluteTime> fNow;
    std::vector<CFAbsoluteTime> fDates;
    int fRearmUntil = 0;

    static void fired(CFRunLoopTimerRef timer, void* info)
    {
        auto* self = static_cast<TimerLog*>(info);
        self->fNow.push_back(CFAbsoluteTimeGetCurrent());
        self->fDates.push_back(CFRunLoopTimerGetNextFireDate(timer));
        if (int(self->fNow.size()) < self->fRearmUntil) {
            CFRunLoopTimerSetNextFireDate(timer, CFAbsoluteTimeGetCurrent() + 0.75);
        }
    }

    CFRunLoopTimerRef make(CFAbsoluteTime date, CFTimeInterval interval)
    {
        CFRunLoopTimerContext context{};
        context.info = this;
        return CFRunLoopTimerCreate(kCFAllocatorDefault, date, interval, 0, 0, fired, &context);
    }

    void expectFiredAt(CFAbsoluteTime first, CFTimeInterval step, int count) const
    {
        ASSERT_EQ(int(fNow.size()), count);
        for (int index = 0; index < count; ++index) {
            EXPECT_NEAR(fDates[index], first + step * index, 1e-6) << "firing " << index;
            EXPECT_NEAR(fNow[index], fDates[index], 1e-6) << "firing " << index;
        }
    }
};

TEST(RunLoopStress, FourPostersAndThreeTimersUnderTheManualClock)
{
    DarwinTesting::ManualClock clock;
    CFAbsoluteTime start = CFAbsoluteTimeGetCurrent();
    Inbox inbox;
    TimerLog repeating;
    TimerLog rearmed;
    rearmed.fRearmUntil = 5;
    TimerLog far;
    CFRunLoopTimerRef timers[] = {repeating.make(start + 1, 1), rearmed.make(start + 0.75, DBL_MAX),
                                  far.make(start + DBL_MAX, 0)};
    CFRunLoopSourceContext context{};
    context.info = &inbox;
    context.perform = Inbox::perform;
    CFRunLoopSourceRef source = CFRunLoopSourceCreate(kCFAllocatorDefault, 0, &context);

    std::atomic<CFRunLoopRef> loop{nullptr};
    Signal started;
    std::thread loopThread([&] {
        CFRunLoopRef current = CFRunLoopGetCurrent();
        CFRunLoopAddSource(current, source, kCFRunLoopDefaultMode);
        for (CFRunLoopTimerRef timer : timers) {
            CFRunLoopAddTimer(current, timer, kCFRunLoopDefaultMode);
        }
        CFRunLoopPerformBlock(current, kCFRunLoopDefaultMode, [&] {
            loop.store(current);
            started.notify();
        });
        CFRunLoopRun();
    });
    started.waitUntil([&] { return loop.load() != nullptr; });

    std::vector<std::thread> posters;
    for (int poster = 0; poster < kPosters; ++poster) {
        posters.emplace_back([&, poster] {
            for (int item = 0; item < kItemsEach; ++item) {
                {
                    std::lock_guard lock(inbox.fLock);
                    inbox.fPending.emplace_back(poster, item);
                }
                CFRunLoopSourceSignal(source);
                CFRunLoopWakeUp(loop.load());
            }
        });
    }
    for (int step = 0; step < 40; ++step) {
        clock.advance(250ms);
    }
    for (std::thread& poster : posters) {
        poster.join();
    }
    inbox.fChanged.waitUntil([&] { return inbox.fCount.load() == kPosters * kItemsEach; });
    CFRunLoopStop(loop.load());
    loopThread.join();

    for (int poster = 0; poster < kPosters; ++poster) {
        ASSERT_EQ(inbox.fPerformed[poster].size(), size_t(kItemsEach));
        for (int item = 0; item < kItemsEach; ++item) {
            ASSERT_EQ(inbox.fPerformed[poster][item], item) << "poster " << poster;
        }
    }
    repeating.expectFiredAt(start + 1, 1, 10);
    rearmed.expectFiredAt(start + 0.75, 0.75, 5);
    EXPECT_TRUE(far.fNow.empty());

    for (CFRunLoopTimerRef timer : timers) {
        CFRunLoopTimerInvalidate(timer);
        CFRelease(timer);
    }
    CFRunLoopSourceInvalidate(source);
    CFRelease(source);
}

// A call from another thread that ends the run, and with it the thread and its loop. The caller
// holds no reference on the loop, so it may be gone before the call returns; the sanitizer builds
// catch a call that touches it after letting go of its lock. The loop holds a timer far in the
// future, whose callout stops the run.
struct EndingCall
{
    const char* fName;
    void (*fCall)(CFRunLoopRef loop, CFRunLoopTimerRef stopper);
};

class RunLoopEndingCall : public testing::TestWithParam<EndingCall>
{};

TEST_P(RunLoopEndingCall, TouchesNothingOfTheLoopOnceItMayHaveEnded)
{
    constexpr int kRounds = 300;
    for (int round = 0; round < kRounds; ++round) {
        CFRunLoopTimerRef stopper = CFRunLoopTimerCreate(
            kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + 1e6, 0, 0, 0,
            [](CFRunLoopTimerRef, void*) { CFRunLoopStop(CFRunLoopGetCurrent()); }, nullptr);
        std::atomic<CFRunLoopRef> running{nullptr};
        // Keeps the loop busy, so the call often finds it in a pass that ends the run at once.
        RunLoopTesting::CountingSource busy(0, [&busy] {
            busy.signal();
            CFRunLoopWakeUp(CFRunLoopGetCurrent());
        });
        std::thread thread([&] {
            CFRunLoopRef loop = CFRunLoopGetCurrent();
            CFRunLoopAddSource(loop, busy.get(), kCFRunLoopDefaultMode);
            CFRunLoopAddTimer(loop, stopper, kCFRunLoopDefaultMode);
            busy.signal();
            CFRunLoopPerformBlock(loop, kCFRunLoopDefaultMode, [&] { running.store(loop); });
            CFRunLoopRun();
        });
        // Published from inside the run, so the call may find it busy or asleep.
        ASSERT_TRUE(DarwinTesting::eventually([&] { return running.load() != nullptr; }));
        GetParam().fCall(running.load(), stopper);
        thread.join();
        CFRelease(stopper);
    }
}

INSTANTIATE_TEST_SUITE_P(RunLoopStress, RunLoopEndingCall,
                         testing::Values(EndingCall{"Stop", [](CFRunLoopRef loop,
                                                               CFRunLoopTimerRef) { CFRunLoopStop(loop); }},
                                         EndingCall{"TimerDateSetFromAnotherThread",
                                                    [](CFRunLoopRef, CFRunLoopTimerRef stopper) {
                                                        CFRunLoopTimerSetNextFireDate(stopper, 0.0);
                                                    }}),
                         [](const auto& info) { return std::string(info.param.fName); });

} // namespace
