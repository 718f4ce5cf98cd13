#include "QueueState.h"

#include <DriverKit/IOTimerDispatchSource.h>

#include <Darwin/Clock.h>

#include <utility>

kern_return_t IOTimerDispatchSource::Create(IODispatchQueue* queue, IOTimerDispatchSource** source)
{
    if (queue == nullptr || source == nullptr) {
        return kIOReturnBadArgument;
    }
    auto* created = new IOTimerDispatchSource;
    queue->retain();
    created->fQueue = queue;
    *source = created;
    return kIOReturnSuccess;
}

kern_return_t IOTimerDispatchSource::SetHandler(OSAction* action)
{
    if (action == nullptr || action->kind() != OSAction::Kind::TimerOccurred) {
        return kIOReturnBadArgument;
    }
    action->retain();
    std::lock_guard lock(fLock);
    std::swap(fHandler, action);
    if (action != nullptr) {
        action->release();
    }
    return kIOReturnSuccess;
}

kern_return_t IOTimerDispatchSource::SetEnable(bool enable)
{
    std::lock_guard lock(fLock);
    fEnabled = enable;
    return kIOReturnSuccess;
}

// The clock's alarm hands the firing to the source's queue; an alarm of an earlier arming, or one
// that arrives after a cancel, does nothing.
void IOTimerDispatchSource::fire(uint64_t generation)
{
    {
        std::lock_guard lock(fLock);
        if (generation != fGeneration || fCancelled) {
            return;
        }
        fAlarm = 0;
        // The last reference may be going on another thread right now.
        if (!fEnabled || fHandler == nullptr || !platformTryRetain()) {
            return;
        }
        OSAction::Arguments arguments;
        arguments.values[0] = DarwinClock::hostNow();
        if (DriverKitPlatform::enqueueDelivery(
                fQueue, fHandler, arguments,
                [](void* source) { static_cast<IOTimerDispatchSource*>(source)->release(); }, this)) {
            return;
        }
    }
    // The queue takes no more work; the reference goes outside the lock, as it may be the last.
    release();
}

kern_return_t IOTimerDispatchSource::WakeAtTime(uint64_t options, uint64_t deadline, uint64_t)
{
    if (options != kIOTimerClockMachAbsoluteTime) {
        return kIOReturnBadArgument;
    }
    uint64_t previous;
    uint64_t generation;
    {
        std::lock_guard lock(fLock);
        if (fCancelled) {
            return kIOReturnAborted;
        }
        previous = std::exchange(fAlarm, 0);
        generation = ++fGeneration;
    }
    // The clock's alarm calls run with its own locks held, so ours is never held around them.
    if (previous != 0) {
        DarwinClock::cancelAlarm(previous);
    }
    const DarwinClock::AlarmId alarm = DarwinClock::scheduleAlarm(
        deadline, [this, generation] { fire(generation); }, "IOTimerDispatchSource");
    bool stale;
    {
        std::lock_guard lock(fLock);
        stale = generation != fGeneration || fCancelled;
        if (!stale) {
            fAlarm = alarm;
        }
    }
    if (stale) {
        DarwinClock::cancelAlarm(alarm);
    }
    return kIOReturnSuccess;
}

kern_return_t IOTimerDispatchSource::Cancel(IODispatchSourceCancelHandler handler)
{
    uint64_t alarm;
    {
        std::lock_guard lock(fLock);
        if (fCancelled) {
            return kIOReturnAborted;
        }
        fCancelled = true;
        alarm = std::exchange(fAlarm, 0);
    }
    if (alarm != 0) {
        DarwinClock::cancelAlarm(alarm);
    }
    if (handler) {
        fQueue->DispatchAsync(std::move(handler));
    }
    return kIOReturnSuccess;
}

void IOTimerDispatchSource::free()
{
    uint64_t alarm;
    {
        std::lock_guard lock(fLock);
        fCancelled = true;
        alarm = std::exchange(fAlarm, 0);
    }
    if (alarm != 0) {
        DarwinClock::cancelAlarm(alarm);
    }
    OSSafeReleaseNULL(fHandler);
    OSSafeReleaseNULL(fQueue);
    OSObject::free();
}
