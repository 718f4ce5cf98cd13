#include "WorkLoopCore.h"

#include <exception>

// Functions handed to the loop's thread. Their items refer to the loop's core, never to the
// WorkLoop object they were posted through; a pending one never keeps the loop open.

WORKLOOP_NAMESPACE_BEGIN

#ifndef WORKLOOP_PLUGIN_BUILD

// A runTaskSync task from another thread. It lives on the caller's stack; the caller waits until
// the loop's thread has run it, or the loop has closed without running it.
class WORKLOOP_INTERNAL SyncTaskItem : public CppWorkItem
{
public:
    // While listed, `core` is alive: it is running the item, or the caller holds it.
    SyncTaskItem(WorkLoopCore& core, std::function<void()>& task)
    {
        Init(nullptr, DoFunc, this);
        fFunc = [this, &core, &task] {
            // The caller may destroy the item once it is done: only locals are used after that.
            std::shared_ptr<Outcome> outcome = fOutcome;
            core.ForgetSyncItem(this);
            try {
                task();
            } catch (...) {
                outcome->fError = std::current_exception();
            }
            outcome->Finish();
            return true;
        };
    }

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

    std::shared_ptr<Outcome> fOutcome = std::make_shared<Outcome>();
};

namespace {

// A runTaskAsync task, owned by the loop until it runs.
class AsyncTaskItem : public CppWorkItem
{
public:
    AsyncTaskItem(std::weak_ptr<WorkLoopCore> core, std::function<void()> task) : fCore(std::move(core))
    {
        Init(nullptr, Run, nullptr);
        fFunc = [task = std::move(task)] {
            task();
            return true;
        };
    }

private:
    // Runs in a pass, which holds the loop. The item is destroyed once the task has returned.
    static bool Run(WorkLoopItem* item, void*)
    {
        std::shared_ptr<WorkLoopCore> core = static_cast<AsyncTaskItem*>(item)->fCore.lock();
        std::unique_ptr<CppWorkItem> owned = core ? core->TakeAsyncItem(item) : nullptr;
        return owned && owned->fFunc();
    }

    std::weak_ptr<WorkLoopCore> fCore;
};

} // namespace

void WorkLoopCore::RunTaskSync(std::shared_ptr<WorkLoopCore> core, std::function<void()> func)
{
    bool onLoopThread;
    {
        std::lock_guard lock(core->fItemsLock);
        if (!core->fRunLoop || core->fClosed) {
            return;
        }
        ++core->fSyncCount;
        onLoopThread = CFRunLoopGetCurrent() == core->fRunLoop;
    }
    // The count is restored on every way out.
    struct SyncCount
    {
        WorkLoopCore& fCore;

        ~SyncCount() { fCore.EndSyncTask(); }
    } count{*core};
    if (onLoopThread) {
        func();
        return;
    }
    SyncTaskItem item(*core, func);
    {
        std::unique_lock lock(core->fItemsLock);
        try {
            core->fSyncItems.insert(&item);
            core->ListWorkItemLocked(&item);
        } catch (...) {
            core->fSyncItems.erase(&item);
            core->fItems.Remove(&item);
            throw;
        }
        core->FireSoon(lock);
    }
    item.Wait();
}

void WorkLoopCore::EndSyncTask()
{
    std::lock_guard lock(fItemsLock);
    --fSyncCount;
    fSyncDone.notify_all();
}

void WorkLoopCore::ForgetSyncItem(SyncTaskItem* item)
{
    std::lock_guard lock(fItemsLock);
    fSyncItems.erase(item);
}

void WorkLoopCore::RunTaskAsync(std::function<void()> func)
{
    auto item = std::make_unique<AsyncTaskItem>(weak_from_this(), std::move(func));
    AsyncTaskItem* listed = item.get();
    std::unique_lock lock(fItemsLock);
    if (fClosed) {
        return;
    }
    fAsyncItems.emplace(listed, std::move(item));
    try {
        ListWorkItemLocked(listed);
    } catch (...) {
        fAsyncItems.erase(listed);
        throw;
    }
    FireSoon(lock);
}

std::unique_ptr<CppWorkItem> WorkLoopCore::TakeAsyncItem(WorkLoopItem* item)
{
    std::lock_guard lock(fItemsLock);
    auto found = fAsyncItems.find(item);
    if (found == fAsyncItems.end()) {
        return nullptr;
    }
    std::unique_ptr<CppWorkItem> owned = std::move(found->second);
    fAsyncItems.erase(found);
    return owned;
}

std::unordered_map<const WorkLoopItem*, std::unique_ptr<CppWorkItem>> WorkLoopCore::AbandonTasksLocked()
{
    std::unordered_map<const WorkLoopItem*, std::unique_ptr<CppWorkItem>> unrun;
    unrun.swap(fAsyncItems);
    for (const auto& [item, owned] : unrun) {
        fItems.Remove(item);
    }
    for (SyncTaskItem* waiting : fSyncItems) {
        fItems.Remove(waiting);
        waiting->Abandon();
    }
    fSyncItems.clear();
    return unrun;
}

#endif

WORKLOOP_NAMESPACE_END
