#include "WorkLoopCore.h"

#include <exception>

// Functions handed to the loop's thread. Their items refer to the loop's core, never to the
// WorkLoop object they were posted through; a pending one never keeps the loop open.

WORKLOOP_NAMESPACE_BEGIN

#ifndef WORKLOOP_PLUGIN_BUILD

// A runTaskSync task from another thread. It lives on the caller's stack; the caller waits until
// the loop's thread has run it, or the loop has closed without running it.
class SyncTaskItem : public CppWorkItem
{
public:
    // While listed, `core` is alive: it is running the item, or the caller holds it.
    SyncTaskItem(WorkLoopCore& core, std::function<void()>& task)
    {
        Init(nullptr, DoFunc, this);
        fFunc = [this, &core, &task] {
            core.ForgetSyncItem(this);
            try {
                task();
            } catch (...) {
                fError = std::current_exception();
            }
            Finish();
            return true;
        };
    }

    // The waiting caller may destroy the item as soon as this has released the lock.
    void Finish()
    {
        std::lock_guard lock(fLock);
        fFinished = true;
        fDone.notify_all();
    }

    // Returns once finished, with the task's exception if it threw.
    void Wait()
    {
        std::unique_lock lock(fLock);
        fDone.wait(lock, [this] { return fFinished; });
        if (fError) {
            std::rethrow_exception(fError);
        }
    }

private:
    std::mutex fLock;
    std::condition_variable fDone;
    bool fFinished = false;
    std::exception_ptr fError;
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
        std::lock_guard lock(core->fItemsLock);
        try {
            core->fSyncItems.insert(&item);
            core->ListWorkItemLocked(&item);
        } catch (...) {
            core->fSyncItems.erase(&item);
            core->fItems.Remove(&item);
            throw;
        }
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
    std::lock_guard lock(fItemsLock);
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
        waiting->Finish();
    }
    fSyncItems.clear();
    return unrun;
}

#endif

WORKLOOP_NAMESPACE_END
