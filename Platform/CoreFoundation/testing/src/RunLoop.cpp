#include <CoreFoundationTesting/RunLoop.h>

#include "RunLoop/RunLoop.h"

#include <Darwin/Clock.h>

#include <algorithm>

namespace CoreFoundationTesting {

void runUntilIdle(CFRunLoopMode mode)
{
    CFPlatform::RunLoop& loop = CFPlatform::RunLoop::current();
    while (loop.hasReadyWork(mode)) {
        loop.run(mode, 0, false, true);
    }
}

void advanceAndRun(DarwinTesting::ManualClock& clock, std::chrono::nanoseconds by)
{
    CFPlatform::RunLoop& loop = CFPlatform::RunLoop::current();
    uint64_t target =
        DarwinClock::addSaturating(DarwinClock::hostNow(), uint64_t(std::max(by.count(), int64_t(0))));
    runUntilIdle(kCFRunLoopDefaultMode);
    for (;;) {
        uint64_t next = std::min(clock.nextDeadline(), loop.nextTimerDeadline(kCFRunLoopDefaultMode));
        if (next > target) {
            break;
        }
        clock.advanceTo(std::max(next, DarwinClock::hostNow()));
        runUntilIdle(kCFRunLoopDefaultMode);
    }
    clock.advanceTo(target);
    runUntilIdle(kCFRunLoopDefaultMode);
}

} // namespace CoreFoundationTesting
