#include "WorkLoopCore.h"

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

std::shared_ptr<WorkLoopCore> WorkLoopCore::CreateForCurrentThread()
{
    std::shared_ptr<WorkLoopCore> core(new WorkLoopCore());
    std::lock_guard lock(core->fItemsLock);
    core->fRunLoop = CFRunLoopGetCurrent();
    CFRetain(core->fRunLoop);
    core->AttachTimerLocked(NeverFireDate());
    return core;
}

#ifndef WORKLOOP_PLUGIN_BUILD
std::shared_ptr<WorkLoopCore> WorkLoopCore::CreateForRunLoop(CFRunLoopRef runLoop)
{
    std::shared_ptr<WorkLoopCore> core(new WorkLoopCore());
    core->fRunLoopSettable = true;
    core->setRunLoop(runLoop);
    return core;
}
#endif

WorkLoopCore::~WorkLoopCore()
{
    Close();
}

void WorkLoopCore::Close()
{
#ifndef WORKLOOP_PLUGIN_BUILD
    // Destroyed once the lock is released.
    AbandonedTasks unrun;
#endif
    std::unique_lock lock(fItemsLock);
    if (fClosed) {
        return;
    }
    fClosed = true;
    // A pass on another thread ends after its current callback. From inside a pass, the pass
    // holds the loop and ends when this callback returns.
    fPassEnded.wait(lock, [this] { return !fPassRunning || fPassThread == std::this_thread::get_id(); });
#ifndef WORKLOOP_PLUGIN_BUILD
    AbandonTasksLocked(unrun);
#endif
    // From this thread: no run loop is waited for, not even one whose thread has ended.
    DetachRunLoopLocked();
}

void WorkLoopCore::AttachTimerLocked(double fireDate)
{
    auto info = std::make_unique<std::weak_ptr<WorkLoopCore>>(weak_from_this());
    CFRunLoopTimerContext context{};
    context.info = info.get();
    context.release = [](const void* info) { delete static_cast<const std::weak_ptr<WorkLoopCore>*>(info); };
    double never = NeverFireDate();
    fTimer = CFRunLoopTimerCreate(nullptr, never, never, 0, 0, RunLoopTimerCallback, &context);
    if (!fTimer) {
        throw std::bad_alloc();
    }
    // The timer's now: it releases the reference when it goes.
    info.release();
    CFRunLoopAddTimer(fRunLoop, fTimer, kCFRunLoopCommonModes);
    SetFireDateLocked(fireDate);
}

void WorkLoopCore::DetachRunLoopLocked()
{
    if (fTimer) {
        CFRunLoopTimerInvalidate(fTimer);
        CFRelease(std::exchange(fTimer, nullptr));
    }
    if (fRunLoop) {
        CFRelease(std::exchange(fRunLoop, nullptr));
    }
}

void WorkLoopCore::SetFireDateLocked(double fireDate)
{
    fFiringSoon = false;
    if (fTimer) {
        CFRunLoopTimerSetNextFireDate(fTimer, fireDate);
    }
}

void WorkLoopCore::FireSoon(std::unique_lock<std::mutex>& lock)
{
    if (!fTimer || fFiringSoon) {
        return;
    }
    fFiringSoon = true;
    CFRunLoopTimerRef timer = fTimer;
    CFRetain(timer);
    lock.unlock();
    // Any order with the dates set under the lock is right: a pass after this one finds nothing
    // more to do, and one before it finds the item listed.
    CFRunLoopTimerSetNextFireDate(timer, 0.0);
    CFRelease(timer);
}

#ifndef WORKLOOP_PLUGIN_BUILD
bool WorkLoopCore::setRunLoop(CFRunLoopRef runLoop)
{
    if (!fRunLoopSettable) {
        return false;
    }
    std::unique_lock lock(fItemsLock);
    fSyncDone.wait(lock, [this] { return fSyncCount == 0; });
    if (runLoop == fRunLoop) {
        return true;
    }
    DetachRunLoopLocked();
    if (runLoop) {
        fRunLoop = runLoop;
        CFRetain(fRunLoop);
        // Armed for the earliest item, wherever it is listed.
        AttachTimerLocked(fItems.Empty() ? NeverFireDate() : fItems.EarliestFireTime());
    }
    return true;
}
#endif

void WorkLoopCore::AddTimer(WorkLoopTimer* timer, unsigned int ms, bool repeat)
{
    if (!timer) {
        return;
    }
    // The two builds turn milliseconds into seconds differently; both are kept.
    double interval = kWorkLoopPlugInBuild ? ms / 1000.0 : ms * 0.001;
    std::unique_lock lock(fItemsLock);
    timer->fInterval = interval;
    timer->fRepeat = repeat;
    fItems.Place(timer, CFAbsoluteTimeGetCurrent() + interval);
    FireSoon(lock);
}

void WorkLoopCore::AddWorkItem(WorkItem* item)
{
    if (!item) {
        return;
    }
    std::unique_lock lock(fItemsLock);
    if (ListWorkItemLocked(item)) {
        FireSoon(lock);
    }
}

bool WorkLoopCore::ListWorkItemLocked(WorkLoopItem* item)
{
    if (fItems.Contains(item)) {
        return false;
    }
    fItems.Place(item, CFAbsoluteTimeGetCurrent());
    return true;
}

void WorkLoopCore::RemoveItem(WorkLoopItem* item)
{
    if (!item) {
        return;
    }
    // The fire date stays: a pass with nothing due re-arms it.
    std::lock_guard lock(fItemsLock);
    fItems.Remove(item);
}

void WorkLoopCore::Run()
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

void WorkLoopCore::Stop()
{
    std::lock_guard lock(fItemsLock);
    fRunning = false;
#ifndef WORKLOOP_PLUGIN_BUILD
    if (fRunLoopSettable) {
        return;
    }
#endif
    if (fRunLoop) {
        CFRunLoopStop(fRunLoop);
    }
}

void WorkLoopCore::RunLoopTimerCallback(CFRunLoopTimerRef timer, void* info)
{
    if (!info) {
        return;
    }
    if (std::shared_ptr<WorkLoopCore> core = static_cast<std::weak_ptr<WorkLoopCore>*>(info)->lock()) {
        core->RunDueItems(timer);
    }
}

void WorkLoopCore::RunDueItems(CFRunLoopTimerRef timer)
{
    WorkLoopSchedule::Pass pass;
    {
        std::lock_guard lock(fItemsLock);
        fFiringSoon = false;
        if (fClosed) {
            return;
        }
        fPassRunning = true;
        fPassThread = std::this_thread::get_id();
        pass = fItems.BeginPass(CFAbsoluteTimeGetCurrent());
    }
    struct EndPass
    {
        WorkLoopCore& fCore;

        ~EndPass()
        {
            std::lock_guard lock(fCore.fItemsLock);
            fCore.fPassRunning = false;
            fCore.fPassEnded.notify_all();
        }
    } endPass{*this};
    while (RunningItem running = GetNextItem(timer, pass)) {
        try {
            running.Run();
        } catch (...) {
            // Work handed to the loop's thread never takes the loop down.
        }
    }
}

bool WorkLoopCore::MayRunItemsLocked([[maybe_unused]] CFRunLoopTimerRef timer) const
{
    if (fClosed) {
        return false;
    }
#ifndef WORKLOOP_PLUGIN_BUILD
    // A timer replaced by setRunLoop, a closed gate, or another thread than the run loop's.
    if (timer != fTimer || (fRunLoopSettable && !fRunning) || CFRunLoopGetCurrent() != fRunLoop) {
        return false;
    }
#endif
    return true;
}

WorkLoopCore::RunningItem WorkLoopCore::GetNextItem(CFRunLoopTimerRef timer,
                                                    const WorkLoopSchedule::Pass& pass)
{
    std::lock_guard lock(fItemsLock);
    if (!MayRunItemsLocked(timer)) {
        return {};
    }
    WorkLoopItem* item = fItems.NextDue(pass);
    if (!item) {
        // Left alone, the timer's date moves on by its interval, the largest double: never.
        if (!fItems.Empty()) {
            SetFireDateLocked(fItems.EarliestFireTime());
        }
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
    return RunningItem(item);
}

WorkLoopCore::RunningItem::RunningItem(WorkLoopItem* item)
    : fItem(item), fCallback(item->fCallback), fUserData(item->fUserData), fRunLock(item->fRunLock)
{
    fRunLock->BeginRun();
}

WorkLoopCore::RunningItem::~RunningItem()
{
    if (fRunLock) {
        fRunLock->EndRun();
    }
}

void WorkLoopCore::RunningItem::Run() const
{
    if (fCallback) {
        fCallback(fItem, fUserData);
    }
}

WORKLOOP_NAMESPACE_END
