// The run loop's waits on the process clock: a timer, and the time-out of CFRunLoopRunInMode. On
// the manual clock each ends only once an advance passes its deadline, and then reads the clock at
// that deadline; on the real clock each ends, never before its deadline.

#include "RunLoopTestThread.h"

#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFRunLoop.h>
#include <DarwinTesting/ManualWait.h>
#include <mach/mach_time.h>

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

double secondsOf(std::chrono::nanoseconds timeout)
{
    return std::chrono::duration<double>(timeout).count();
}

// Runs the calling thread's loop until a one-shot timer `timeout` from now stops it.
CFRunLoopRunResult untilTimer(std::chrono::nanoseconds timeout)
{
    CFRunLoopTimerRef timer = CFRunLoopTimerCreate(
        kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + secondsOf(timeout), 0, 0, 0,
        [](CFRunLoopTimerRef, void*) { CFRunLoopStop(CFRunLoopGetCurrent()); }, nullptr);
    CFRunLoopAddTimer(CFRunLoopGetCurrent(), timer, kCFRunLoopDefaultMode);
    CFRunLoopRunResult result = CFRunLoopRunInMode(kCFRunLoopDefaultMode, 1e9, false);
    CFRelease(timer);
    return result;
}

// Runs the calling thread's loop, held open by a source nobody signals, for `timeout`.
CFRunLoopRunResult untilTimeOut(std::chrono::nanoseconds timeout)
{
    RunLoopTesting::CountingSource idle;
    CFRunLoopAddSource(CFRunLoopGetCurrent(), idle.get(), kCFRunLoopDefaultMode);
    return CFRunLoopRunInMode(kCFRunLoopDefaultMode, secondsOf(timeout), false);
}

struct LoopWait
{
    const char* fName;
    CFRunLoopRunResult (*fWait)(std::chrono::nanoseconds timeout);
    CFRunLoopRunResult fEnded;
};

class RunLoopClockedWaits : public testing::TestWithParam<LoopWait>
{};

TEST_P(RunLoopClockedWaits, OnTheManualClockEndOnlyOnceAdvancePassesTheDeadline)
{
    DarwinTesting::ManualWaitOutcome outcome = DarwinTesting::observeManualWait(GetParam().fWait, 2s);
    EXPECT_FALSE(outcome.fEndedBeforeDeadline);
    EXPECT_TRUE(outcome.fEndedAtDeadline);
    EXPECT_EQ(outcome.fResult, GetParam().fEnded);
    EXPECT_EQ(outcome.fEndedAt, outcome.fDeadline);
}

TEST_P(RunLoopClockedWaits, OnTheRealClockEndNeverBeforeTheDeadline)
{
    constexpr auto kTimeout = 20ms;
    uint64_t start = mach_absolute_time();
    EXPECT_EQ(GetParam().fWait(kTimeout), GetParam().fEnded);
    // A date becomes a deadline to the nearest microsecond.
    EXPECT_GE(mach_absolute_time() - start + 1000, uint64_t(std::chrono::nanoseconds(kTimeout).count()));
}

INSTANTIATE_TEST_SUITE_P(RunLoop, RunLoopClockedWaits,
                         testing::Values(LoopWait{"Timer", untilTimer, kCFRunLoopRunStopped},
                                         LoopWait{"RunInModeTimeOut", untilTimeOut, kCFRunLoopRunTimedOut}),
                         [](const testing::TestParamInfo<LoopWait>& info) { return info.param.fName; });

} // namespace
