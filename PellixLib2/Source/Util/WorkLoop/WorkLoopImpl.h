#pragma once

#include "WorkLoop.h"
#include "WorkLoopSchedule.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <unordered_map>

WORKLOOP_NAMESPACE_BEGIN

// What the WorkLoop objects of one loop share. Its run-loop timer refers to it weakly: a pass keeps
// it alive while it runs, and a timer that fires after it has gone does nothing.
class WorkLoop::Impl : public std::enable_shared_from_this<Impl>
{
public:
    // Bound to the calling thread's run loop.
    static std::shared_ptr<Impl> CreateForCurrentThread();
#ifndef WORKLOOP_PLUGIN_BUILD
    static std::shared_ptr<Impl> CreateForRunLoop(CFRunLoopRef runLoop);
#endif
    virtual ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

#ifndef WORKLOOP_PLUGIN_BUILD
    bool setRunLoop(CFRunLoopRef runLoop);
#endif
    void AddTimer(WorkLoopTimer* timer, unsigned int ms, bool repeat);
    void AddWorkItem(WorkItem* item);
    void RemoveItem(WorkLoopItem* item);
    void Run();
    void Stop();

#ifndef WORKLOOP_PLUGIN_BUILD
    // The caller's reference is dropped while it waits, so the loop's end releases it.
    static void RunTaskSync(std::shared_ptr<Impl> impl, std::function<void()> func);
    void RunTaskAsync(std::function<void()> func);
    // The runTaskAsync item, now owned by the caller; null when the loop has dropped it.
    std::unique_ptr<CppWorkItem> TakeAsyncItem(WorkLoopItem* item);
#endif

private:
    // The item a pass runs now, with its run lock held until the callback has returned.
    struct RunningItem
    {
        WorkLoopItem* fItem = nullptr;
        WorkLoopItem::Callback fCallback = nullptr;
        void* fUserData = nullptr;
        std::shared_ptr<std::recursive_mutex> fRunLock;
        std::unique_lock<std::recursive_mutex> fHeld;

        explicit operator bool() const { return fItem != nullptr; }
    };

    Impl() = default;

    static void RunLoopTimerCallback(CFRunLoopTimerRef timer, void* info);
    void RunDueItems(CFRunLoopTimerRef timer);
    RunningItem GetNextItem(CFRunLoopTimerRef timer, const WorkLoopSchedule::Pass& pass);
    bool MayRunItemsLocked(CFRunLoopTimerRef timer) const;
    void ListWorkItemLocked(WorkItem* item);
    // With fRunLoop set: a new timer on it, armed for `fireDate`.
    void AttachTimerLocked(double fireDate);
    void SetFireDateLocked(double fireDate);
#ifndef WORKLOOP_PLUGIN_BUILD
    void EndSyncTask();
    // Drops the pending runTaskAsync items unrun and releases waiting runTaskSync callers.
    void AbandonTasks();
#endif

    CFRunLoopRef fRunLoop = nullptr;
    CFRunLoopTimerRef fTimer = nullptr;
    mutable std::mutex fItemsLock;
    WorkLoopSchedule fItems;
    bool fRunning = false;
#ifndef WORKLOOP_PLUGIN_BUILD
    bool fRunLoopSettable = false;
    std::condition_variable fSyncDone;
    int fSyncCount = 0;
    std::unordered_map<const WorkLoopItem*, std::unique_ptr<CppWorkItem>> fAsyncItems;
#endif
};

WORKLOOP_NAMESPACE_END
