#include "RunLoopTimer.h"

#include <utility>

RunLoopTimer::~RunLoopTimer()
{
    Cancel();
}

void RunLoopTimer::Schedule(double seconds, double interval, std::function<void()> action)
{
    Cancel();
    fAction = std::move(action);
    CFRunLoopTimerContext context{0, this, nullptr, nullptr, nullptr};
    fTimer = CFRunLoopTimerCreate(kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + seconds, interval, 0, 0,
                                  Fired, &context);
    CFRunLoopAddTimer(CFRunLoopGetMain(), fTimer, kCFRunLoopCommonModes);
}

void RunLoopTimer::Cancel()
{
    if (fTimer != nullptr) {
        CFRunLoopTimerInvalidate(fTimer);
        CFRelease(fTimer);
        fTimer = nullptr;
    }
}

void RunLoopTimer::Fired(CFRunLoopTimerRef timer, void* info)
{
    auto* self = static_cast<RunLoopTimer*>(info);
    if (timer != self->fTimer) {
        return;
    }
    if (!CFRunLoopTimerDoesRepeat(timer)) {
        // Done before the action, which may schedule the timer again.
        self->Cancel();
    }
    // A copy: the action may replace itself.
    const std::function<void()> action = self->fAction;
    action();
}
