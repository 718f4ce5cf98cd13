#include "WorkLoopImpl.h"

#include <CoreFoundation/CFDate.h>

#include <limits>
#include <new>
#include <utility>

WORKLOOP_NAMESPACE_BEGIN

namespace {

// A fire date that never comes, without overflowing when it becomes a deadline.
double NeverFireDate()
{
    return CFAbsoluteTimeGetCurrent() + std::numeric_limits<double>::max();
}

} // namespace

std::shared_ptr<WorkLoop::Impl> WorkLoop::Impl::CreateForCurrentThread()
{
    std::shared_ptr<Impl> impl(new Impl());
    impl->fRunLoop = CFRunLoopGetCurrent();
    CFRetain(impl->fRunLoop);
    std::lock_guard lock(impl->fItemsLock);
    impl->AttachTimerLocked(NeverFireDate());
    return impl;
}

#ifndef WORKLOOP_PLUGIN_BUILD
std::shared_ptr<WorkLoop::Impl> WorkLoop::Impl::CreateForRunLoop(CFRunLoopRef runLoop)
{
    std::shared_ptr<Impl> impl(new Impl());
    impl->fRunLoopSettable = true;
    impl->setRunLoop(runLoop);
    return impl;
}
#endif

WorkLoop::Impl::~Impl()
{
#ifndef WORKLOOP_PLUGIN_BUILD
    AbandonTasks();
#endif
    // No pass runs now (a pass holds the loop), and the timer, invalidated from this thread, never
    // calls into it again; so no run loop is waited for, not even one whose thread has ended.
    if (fTimer) {
        CFRunLoopTimerInvalidate(fTimer);
        CFRelease(fTimer);
    }
    if (fRunLoop) {
        CFRelease(fRunLoop);
    }
}

void WorkLoop::Impl::AttachTimerLocked(double fireDate)
{
    auto info = std::make_unique<std::weak_ptr<Impl>>(weak_from_this());
    CFRunLoopTimerContext context{};
    context.info = info.get();
    context.release = [](const void* info) { delete static_cast<const std::weak_ptr<Impl>*>(info); };
    double never = NeverFireDate();
    fTimer = CFRunLoopTimerCreate(nullptr, never, never, 0, 0, RunLoopTimerCallback, &context);
    if (!fTimer) {
        throw std::bad_alloc();
    }
    // The timer's now: it releases the reference when it goes.
    info.release();
    CFRunLoopAddTimer(fRunLoop, fTimer, kCFRunLoopCommonModes);
    CFRunLoopTimerSetNextFireDate(fTimer, fireDate);
}

void WorkLoop::Impl::SetFireDateLocked(double fireDate)
{
    if (fTimer) {
        CFRunLoopTimerSetNextFireDate(fTimer, fireDate);
    }
}

#ifndef WORKLOOP_PLUGIN_BUILD
bool WorkLoop::Impl::setRunLoop(CFRunLoopRef runLoop)
{
    if (!fRunLoopSettable) {
        return false;
    }
    std::unique_lock lock(fItemsLock);
    fSyncDone.wait(lock, [this] { return fSyncCount == 0; });
    if (runLoop == fRunLoop) {
        return true;
    }
    if (fTimer) {
        CFRunLoopTimerInvalidate(fTimer);
        CFRelease(std::exchange(fTimer, nullptr));
    }
    if (fRunLoop) {
        CFRelease(std::exchange(fRunLoop, nullptr));
    }
    if (runLoop) {
        fRunLoop = runLoop;
        CFRetain(fRunLoop);
        // Armed for the earliest item, wherever it is listed.
        AttachTimerLocked(fItems.Empty() ? NeverFireDate() : fItems.EarliestFireTime());
    }
    return true;
}
#endif

void WorkLoop::Impl::AddTimer(WorkLoopTimer* timer, unsigned int ms, bool repeat)
{
    if (!timer) {
        return;
    }
    // The two builds turn milliseconds into seconds differently; both are kept.
    double interval = kWorkLoopPlugInBuild ? ms / 1000.0 : ms * 0.001;
    std::lock_guard lock(fItemsLock);
    timer->fInterval = interval;
    timer->fRepeat = repeat;
    fItems.Place(timer, CFAbsoluteTimeGetCurrent() + interval);
    SetFireDateLocked(0.0);
}

void WorkLoop::Impl::AddWorkItem(WorkItem* item)
{
    if (!item) {
        return;
    }
    std::lock_guard lock(fItemsLock);
    ListWorkItemLocked(item);
}

void WorkLoop::Impl::ListWorkItemLocked(WorkItem* item)
{
    if (fItems.Contains(item)) {
        return;
    }
    fItems.Place(item, CFAbsoluteTimeGetCurrent());
    SetFireDateLocked(0.0);
}

void WorkLoop::Impl::RemoveItem(WorkLoopItem* item)
{
    if (!item) {
        return;
    }
    // The fire date stays: a pass with nothing due re-arms it.
    std::lock_guard lock(fItemsLock);
    fItems.Remove(item);
}

void WorkLoop::Impl::Run()
{
    {
        std::lock_guard lock(fItemsLock);
        fRunning = true;
#ifndef WORKLOOP_PLUGIN_BUILD
        if (fRunLoopSettable) {
            // Items that came due while the gate was closed run now.
            SetFireDateLocked(0.0);
            return;
        }
#endif
    }
    CFRunLoopRun();
}

void WorkLoop::Impl::Stop()
{
    {
        std::lock_guard lock(fItemsLock);
        fRunning = false;
#ifndef WORKLOOP_PLUGIN_BUILD
        if (fRunLoopSettable) {
            return;
        }
#endif
    }
    CFRunLoopStop(fRunLoop);
}

void WorkLoop::Impl::RunLoopTimerCallback(CFRunLoopTimerRef timer, void* info)
{
    if (!info) {
        return;
    }
    if (std::shared_ptr<Impl> impl = static_cast<std::weak_ptr<Impl>*>(info)->lock()) {
        impl->RunDueItems(timer);
    }
}

void WorkLoop::Impl::RunDueItems(CFRunLoopTimerRef timer)
{
    WorkLoopSchedule::Pass pass;
    {
        std::lock_guard lock(fItemsLock);
        pass = fItems.BeginPass(CFAbsoluteTimeGetCurrent());
    }
    while (RunningItem running = GetNextItem(timer, pass)) {
        if (!running.fCallback) {
            continue;
        }
        try {
            running.fCallback(running.fItem, running.fUserData);
        } catch (...) {
            // Work handed to the loop's thread never takes the loop down.
        }
    }
}

bool WorkLoop::Impl::MayRunItemsLocked([[maybe_unused]] CFRunLoopTimerRef timer) const
{
#ifndef WORKLOOP_PLUGIN_BUILD
    // A timer replaced by setRunLoop, a closed gate, or another thread than the run loop's.
    if (timer != fTimer || (fRunLoopSettable && !fRunning) || CFRunLoopGetCurrent() != fRunLoop) {
        return false;
    }
#endif
    return true;
}

WorkLoop::Impl::RunningItem WorkLoop::Impl::GetNextItem(CFRunLoopTimerRef timer,
                                                        const WorkLoopSchedule::Pass& pass)
{
    std::lock_guard lock(fItemsLock);
    if (!MayRunItemsLocked(timer)) {
        return {};
    }
    WorkLoopItem* item = fItems.NextDue(pass);
    if (!item) {
        SetFireDateLocked(fItems.Empty() ? NeverFireDate() : fItems.EarliestFireTime());
        return {};
    }
    if (item->fRepeat) {
        // A late item runs once and goes on from now, rather than in a burst that catches up.
        double next = item->fNextFireTime + item->fInterval;
        if (!(next > pass.fNow)) {
            next = pass.fNow + item->fInterval;
        }
        fItems.Place(item, next);
    } else {
        fItems.Remove(item);
    }
    RunningItem running{item, item->fCallback, item->fUserData, item->fRunLock, {}};
    running.fHeld = std::unique_lock(*running.fRunLock);
    return running;
}

WORKLOOP_NAMESPACE_END
