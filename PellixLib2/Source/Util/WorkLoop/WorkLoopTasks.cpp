#include "WorkLoopCore.h"

#include <exception>
#include <optional>
#include <utility>

// Functions handed to the loop's thread. Their items refer to nothing but the task, never to the
// WorkLoop object they were posted through; a pending one never keeps the loop open. The loop
// tells them from other items by their callbacks.

WORKLOOP_NAMESPACE_BEGIN

#ifndef WORKLOOP_PLUGIN_BUILD

// A runTaskSync task from another thread. It lives on the caller's stack; the caller waits until
// the loop's thread has run it, or the loop has closed without running it. Listed, it is pending;
// once a pass has taken it off the list, Close no longer releases its caller.
class WORKLOOP_INTERNAL SyncTaskItem : public WorkLoopItem
{
public:
    explicit SyncTaskItem(std::function<void()>& task) : fTask(task) { Init(Run, nullptr); }

    static bool IsSyncTask(const WorkLoopItem& item) { return item.fCallback == Run; }

    // For a loop that closes without running it. The caller may return at once: the outcome is
    // kept meanwhile.
    void Abandon()
    {
        std::shared_ptr<Outcome> outcome = fOutcome;
        outcome->Finish();
    }

    // Returns once finished, with the task's exception if it threw.
    void Wait()
    {
        std::unique_lock lock(fOutcome->fLock);
        fOutcome->fDone.wait(lock, [this] { return fOutcome->fFinished; });
        if (fOutcome->fError) {
            std::rethrow_exception(fOutcome->fError);
        }
    }

private:
    // Shared with the running task, so that it can wake the caller after letting go of the lock
    // (the caller then finds it free) even when the caller has already returned.
    struct Outcome
    {
        void Finish()
        {
            {
                std::lock_guard lock(fLock);
                fFinished = true;
            }
            fDone.notify_all();
        }

        std::mutex fLock;
        std::condition_variable fDone;
        bool fFinished = false;
        std::exception_ptr fError;
    };

    // The caller may destroy the item once it is finished: only locals are used after that.
    static bool Run(WorkLoopItem* item, void*)
    {
        auto* self = static_cast<SyncTaskItem*>(item);
        std::shared_ptr<Outcome> outcome = self->fOutcome;
        try {
            self->fTask();
        } catch (...) {
            outcome->fError = std::current_exception();
        }
        outcome->Finish();
        return true;
    }

    std::function<void()>& fTask;
    std::shared_ptr<Outcome> fOutcome = std::make_shared<Outcome>();
};

// A runTaskAsync task. The loop owns it while it is listed, and the pass that takes it off the list
// owns it from then on.
class WORKLOOP_INTERNAL AsyncTaskItem : public WorkLoopItem
{
public:
    explicit AsyncTaskItem(std::function<void()> task) : fTask(std::move(task)) { Init(Run, nullptr); }

    static bool IsAsyncTask(const WorkLoopItem& item) { return item.fCallback == Run; }

    // The next of a chain of abandoned items.
    AsyncTaskItem* fNextAbandoned = nullptr;

private:
    // Destroys the item once the task has returned, or thrown.
    static bool Run(WorkLoopItem* item, void*)
    {
        std::unique_ptr<AsyncTaskItem> owned(static_cast<AsyncTaskItem*>(item));
        owned->fTask();
        return true;
    }

    std::function<void()> fTask;
};

void WorkLoopCore::RunTaskSync(std::shared_ptr<WorkLoopCore> core, std::function<void()> func)
{
    std::optional<SyncTaskItem> item;
    {
        std::unique_lock lock(core->fItemsLock);
        if (!core->fRunLoop || core->fClosed) {
            return;
        }
        if (CFRunLoopGetCurrent() != core->fRunLoop) {
            core->ListWorkItemLocked(&item.emplace(func));
        }
        ++core->fSyncCount;
        if (item) {
            core->FireSoon(lock);
        }
    }
    // The count is restored on every way out.
    struct SyncCount
    {
        WorkLoopCore& fCore;

        ~SyncCount() { fCore.EndSyncTask(); }
    } count{*core};
    if (!item) {
        func();
        return;
    }
    item->Wait();
}

void WorkLoopCore::EndSyncTask()
{
    std::lock_guard lock(fItemsLock);
    --fSyncCount;
    fSyncDone.notify_all();
}

void WorkLoopCore::RunTaskAsync(std::function<void()> func)
{
    auto item = std::make_unique<AsyncTaskItem>(std::move(func));
    std::unique_lock lock(fItemsLock);
    if (fClosed) {
        return;
    }
    ListWorkItemLocked(item.get());
    // Listed, it belongs to the loop.
    item.release();
    FireSoon(lock);
}

void WorkLoopCore::AbandonTasksLocked(AbandonedTasks& unrun)
{
    fItems.RemoveWhere([&](WorkLoopItem* item) {
        if (AsyncTaskItem::IsAsyncTask(*item)) {
            unrun.Add(static_cast<AsyncTaskItem*>(item));
            return true;
        }
        if (SyncTaskItem::IsSyncTask(*item)) {
            static_cast<SyncTaskItem*>(item)->Abandon();
            return true;
        }
        return false;
    });
}

void AbandonedTasks::Add(AsyncTaskItem* item)
{
    item->fNextAbandoned = std::exchange(fFirst, item);
}

AbandonedTasks::~AbandonedTasks()
{
    while (fFirst) {
        std::unique_ptr<AsyncTaskItem> item(std::exchange(fFirst, fFirst->fNextAbandoned));
    }
}

#endif

WORKLOOP_NAMESPACE_END
