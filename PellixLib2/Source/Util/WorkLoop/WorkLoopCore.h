#pragma once

#include "WorkLoop.h"
#include "WorkLoopRunLock.h"
#include "WorkLoopSchedule.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

WORKLOOP_NAMESPACE_BEGIN

#ifndef WORKLOOP_PLUGIN_BUILD
class WORKLOOP_INTERNAL AsyncTaskItem;

// The runTaskAsync items a closing loop takes out, chained through the items themselves so that
// closing allocates nothing. Destroyed once the items lock is released: a task's captures may call
// into the loop.
class WORKLOOP_INTERNAL AbandonedTasks
{
public:
    AbandonedTasks() = default;
    ~AbandonedTasks();
    AbandonedTasks(const AbandonedTasks&) = delete;
    AbandonedTasks& operator=(const AbandonedTasks&) = delete;

    void Add(AsyncTaskItem* item);

private:
    AsyncTaskItem* fFirst = nullptr;
};
#endif

// The scheduler of one loop: its items, its run-loop timer and the passes that run what is due.
// Its owners (WorkLoop::Impl) close it when the last of them goes. The timer refers to it weakly,
// and a pass holds it while it runs.
class WORKLOOP_INTERNAL WorkLoopCore : public std::enable_shared_from_this<WorkLoopCore>
{
public:
    // Bound to the calling thread's run loop.
    static std::shared_ptr<WorkLoopCore> CreateForCurrentThread();
#ifndef WORKLOOP_PLUGIN_BUILD
    static std::shared_ptr<WorkLoopCore> CreateForRunLoop(CFRunLoopRef runLoop);
#endif
    ~WorkLoopCore();
    WorkLoopCore(const WorkLoopCore&) = delete;
    WorkLoopCore& operator=(const WorkLoopCore&) = delete;

    // Runs nothing more: waits for a pass under way on another thread, drops the pending tasks,
    // releases waiting runTaskSync callers and invalidates the timer from the calling thread.
    void Close();

#ifndef WORKLOOP_PLUGIN_BUILD
    bool setRunLoop(CFRunLoopRef runLoop);
#endif
    void AddTimer(WorkLoopTimer* timer, unsigned int ms, bool repeat);
    void AddWorkItem(WorkItem* item);
    void RemoveItem(WorkLoopItem* item);
    void Run();
    void Stop();

#ifndef WORKLOOP_PLUGIN_BUILD
    static void RunTaskSync(std::shared_ptr<WorkLoopCore> core, std::function<void()> func);
    void RunTaskAsync(std::function<void()> func);
#endif

private:
    // The item a pass runs now, marked as running until the callback has returned.
    class RunningItem
    {
    public:
        RunningItem() = default;
        // Marks the run; called with the items lock held, so that a WaitForRunToComplete after
        // RemoveItem cannot miss it.
        explicit RunningItem(WorkLoopItem* item);
        ~RunningItem();
        RunningItem(RunningItem&& other) noexcept = default;
        RunningItem& operator=(RunningItem&&) = delete;

        explicit operator bool() const { return fItem != nullptr; }
        // Runs the callback, if any.
        void Run() const;

    private:
        WorkLoopItem* fItem = nullptr;
        WorkLoopItem::Callback fCallback = nullptr;
        void* fUserData = nullptr;
        std::shared_ptr<WorkLoopRunLock> fRunLock;
    };

    WorkLoopCore() = default;

    static void RunLoopTimerCallback(CFRunLoopTimerRef timer, void* info);
    void RunDueItems(CFRunLoopTimerRef timer);
    RunningItem GetNextItem(CFRunLoopTimerRef timer, const WorkLoopSchedule::Pass& pass);
    bool MayRunItemsLocked(CFRunLoopTimerRef timer) const;
    // Lists a work item to run now; false when it was listed already.
    bool ListWorkItemLocked(WorkLoopItem* item);
    // Arms the timer to fire at once, for what was just listed. Called with the lock held, it
    // releases it first, so that the loop's thread, woken, does not wait for it.
    void FireSoon(std::unique_lock<std::mutex>& lock);
    // With fRunLoop set: a new timer on it, armed for `fireDate`.
    void AttachTimerLocked(double fireDate);
    void DetachRunLoopLocked();
    void SetFireDateLocked(double fireDate);
#ifndef WORKLOOP_PLUGIN_BUILD
    void EndSyncTask();
    // Takes out the pending runTaskAsync items, and releases the waiting runTaskSync callers.
    void AbandonTasksLocked(AbandonedTasks& unrun);
#endif

    CFRunLoopRef fRunLoop = nullptr;
    CFRunLoopTimerRef fTimer = nullptr;
    mutable std::mutex fItemsLock;
    WorkLoopSchedule fItems;
    bool fRunning = false;
    bool fClosed = false;
    // The timer is armed to fire at once, and has not fired since.
    bool fFiringSoon = false;
    // The pass under way, which Close waits for.
    bool fPassRunning = false;
    std::thread::id fPassThread;
    std::condition_variable fPassEnded;
#ifndef WORKLOOP_PLUGIN_BUILD
    bool fRunLoopSettable = false;
    std::condition_variable fSyncDone;
    int fSyncCount = 0;
#endif
};

// What the WorkLoop objects of one loop share; the last of them to go closes the loop.
class WORKLOOP_INTERNAL WorkLoop::Impl
{
public:
    explicit Impl(std::shared_ptr<WorkLoopCore> core) : fCore(std::move(core)) {}
    ~Impl() { fCore->Close(); }
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    const std::shared_ptr<WorkLoopCore> fCore;
};

WORKLOOP_NAMESPACE_END
