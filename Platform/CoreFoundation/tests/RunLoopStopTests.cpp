#include "RunLoopTestThread.h"

#include <CoreFoundation/CFRunLoop.h>
#include <CoreFoundation/CFString.h>

#include <gtest/gtest.h>

#include <cfloat>
#include <functional>

using RunLoopTesting::CountingSource;
using RunLoopTesting::Signal;

namespace {

// A run that nothing but a stop ends on the real clock.
constexpr CFTimeInterval kLongRun = 1e6;

struct ForeignStopCase
{
    const char* fName;
    std::function<CFRunLoopRunResult()> fRun;
    CFRunLoopRunResult fExpected;
};

class RunLoopStopFromAnotherThread : public testing::TestWithParam<ForeignStopCase>
{};

TEST_P(RunLoopStopFromAnotherThread, EndsTheRunWithStopped)
{
    CountingSource keepOpen;
    std::atomic<CFRunLoopRef> running{nullptr};
    Signal started;
    CFRunLoopRunResult result = 0;
    std::thread thread([&] {
        CFRunLoopRef loop = CFRunLoopGetCurrent();
        CFRunLoopAddSource(loop, keepOpen.get(), kCFRunLoopDefaultMode);
        CFRunLoopPerformBlock(loop, kCFRunLoopDefaultMode, [&] {
            running.store(loop);
            started.notify();
        });
        result = GetParam().fRun();
        CFRunLoopRemoveSource(loop, keepOpen.get(), kCFRunLoopDefaultMode);
    });
    started.waitUntil([&] { return running.load() != nullptr; });
    RunLoopTesting::waitUntilSleeping(running.load());
    CFRunLoopStop(running.load());
    thread.join();
    EXPECT_EQ(result, GetParam().fExpected);
}

INSTANTIATE_TEST_SUITE_P(
    RunLoopStop, RunLoopStopFromAnotherThread,
    testing::Values(ForeignStopCase{"CFRunLoopRun",
                                    [] {
                                        CFRunLoopRun();
                                        return CFRunLoopRunResult(kCFRunLoopRunStopped);
                                    },
                                    kCFRunLoopRunStopped},
                    ForeignStopCase{"CFRunLoopRunInMode",
                                    [] { return CFRunLoopRunInMode(kCFRunLoopDefaultMode, kLongRun, false); },
                                    kCFRunLoopRunStopped}),
    [](const auto& info) { return std::string(info.param.fName); });

TEST(RunLoopStop, StopWhileNotRunningIsLost)
{
    CountingSource source;
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopAddSource(loop, source.get(), kCFRunLoopDefaultMode);
    CFRunLoopStop(loop);
    // The stop belonged to no run: the next one runs its pass and times out.
    source.signal();
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), kCFRunLoopRunTimedOut);
    EXPECT_EQ(source.fPerforms.load(), 1);
    CFRunLoopRemoveSource(loop, source.get(), kCFRunLoopDefaultMode);
}

TEST(RunLoopStop, StopDuringCalloutEndsTheRunAfterIt)
{
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CountingSource stopping(0, [loop] { CFRunLoopStop(loop); });
    CountingSource later(1);
    CFRunLoopAddSource(loop, stopping.get(), kCFRunLoopDefaultMode);
    CFRunLoopAddSource(loop, later.get(), kCFRunLoopDefaultMode);
    stopping.signal();
    later.signal();

    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, kLongRun, false), kCFRunLoopRunStopped);
    EXPECT_EQ(stopping.fPerforms.load(), 1);
    EXPECT_EQ(later.fPerforms.load(), 0);
    // What the stop cut short waits for the next run.
    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false), kCFRunLoopRunTimedOut);
    EXPECT_EQ(later.fPerforms.load(), 1);
    CFRunLoopRemoveSource(loop, stopping.get(), kCFRunLoopDefaultMode);
    CFRunLoopRemoveSource(loop, later.get(), kCFRunLoopDefaultMode);
}

TEST(RunLoopStop, NestedRunsEndOnlyTheInnerOne)
{
    CFRunLoopRef loop = CFRunLoopGetCurrent();
    CFRunLoopMode inner = CFSTR("RunLoopStopInnerMode");
    CFRunLoopRunResult innerResult = 0;
    CountingSource innerStop(0, [loop] { CFRunLoopStop(loop); });
    CountingSource outerEnd(0, [loop] { CFRunLoopStop(loop); });
    CountingSource nesting(0, [&] {
        innerStop.signal();
        innerResult = CFRunLoopRunInMode(inner, kLongRun, false);
        // The outer run goes on: this source ends it on its next pass.
        outerEnd.signal();
    });
    CFRunLoopAddSource(loop, nesting.get(), kCFRunLoopDefaultMode);
    CFRunLoopAddSource(loop, outerEnd.get(), kCFRunLoopDefaultMode);
    CFRunLoopAddSource(loop, innerStop.get(), inner);
    nesting.signal();

    EXPECT_EQ(CFRunLoopRunInMode(kCFRunLoopDefaultMode, kLongRun, false), kCFRunLoopRunStopped);
    EXPECT_EQ(innerResult, kCFRunLoopRunStopped);
    EXPECT_EQ(outerEnd.fPerforms.load(), 1);
    CFRunLoopRemoveSource(loop, nesting.get(), kCFRunLoopDefaultMode);
    CFRunLoopRemoveSource(loop, outerEnd.get(), kCFRunLoopDefaultMode);
    CFRunLoopRemoveSource(loop, innerStop.get(), inner);
}

struct RunInModeCase
{
    const char* fName;
    // Fills the mode "RunLoopStopResultMode" of the current loop; answers what to clean up.
    std::function<std::function<void()>(CFRunLoopMode)> fPrepare;
    CFTimeInterval fSeconds;
    bool fReturnAfterSourceHandled;
    CFRunLoopRunResult fExpected;
};

class RunLoopRunInModeResult : public testing::TestWithParam<RunInModeCase>
{};

TEST_P(RunLoopRunInModeResult, AnswersAsThePlatform)
{
    CFRunLoopMode mode = CFSTR("RunLoopStopResultMode");
    std::function<void()> cleanUp = GetParam().fPrepare(mode);
    EXPECT_EQ(CFRunLoopRunInMode(mode, GetParam().fSeconds, GetParam().fReturnAfterSourceHandled),
              GetParam().fExpected);
    cleanUp();
}

std::function<void()> nothing(CFRunLoopMode)
{
    return [] {};
}

std::function<void()> idleSource(CFRunLoopMode mode)
{
    auto source = std::make_shared<CountingSource>();
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source->get(), mode);
    return [source] {};
}

std::function<void()> signalledSource(CFRunLoopMode mode)
{
    auto source = std::make_shared<CountingSource>();
    CFRunLoopAddSource(CFRunLoopGetCurrent(), source->get(), mode);
    source->signal();
    return [source] { EXPECT_EQ(source->fPerforms.load(), 1); };
}

std::function<void()> dueTimer(CFRunLoopMode mode)
{
    static int fired;
    fired = 0;
    CFRunLoopTimerRef timer = CFRunLoopTimerCreate(
        kCFAllocatorDefault, 0.0, 0, 0, 0, [](CFRunLoopTimerRef, void*) { ++fired; }, nullptr);
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, mode);
    return [timer] {
        EXPECT_EQ(fired, 1);
        CFRunLoopTimerInvalidate(timer);
        CFRelease(timer);
    };
}

INSTANTIATE_TEST_SUITE_P(
    RunLoopStop, RunLoopRunInModeResult,
    testing::Values(RunInModeCase{"EmptyModeFinishes", nothing, kLongRun, false, kCFRunLoopRunFinished},
                    RunInModeCase{"NothingDueTimesOutAtOnce", idleSource, 0, false, kCFRunLoopRunTimedOut},
                    RunInModeCase{"SignalledSourceIsHandled", signalledSource, kLongRun, true,
                                  kCFRunLoopRunHandledSource},
                    RunInModeCase{"TimerAloneInOnePassTimesOut", dueTimer, 0, true, kCFRunLoopRunTimedOut},
                    RunInModeCase{"TimerAloneRunsUntilTheModeEmpties", dueTimer, kLongRun, true,
                                  kCFRunLoopRunFinished}),
    [](const auto& info) { return std::string(info.param.fName); });

} // namespace
