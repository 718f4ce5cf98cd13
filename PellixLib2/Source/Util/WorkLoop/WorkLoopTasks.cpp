#include "WorkLoopImpl.h"

#include <exception>

// Functions handed to the loop's thread. Their items refer to the shared Impl, never to the
// WorkLoop object they were posted through, and only weakly, so that neither keeps the loop alive.

WORKLOOP_NAMESPACE_BEGIN

#ifndef WORKLOOP_PLUGIN_BUILD

namespace {

// A runTaskSync task from another thread. It lives on the caller's stack; the caller waits until
// the loop's thread has run it, or the loop has gone without running it.
class SyncTaskItem : public CppWorkItem
{
public:
    explicit SyncTaskItem(std::function<void()>& task)
    {
        Init(nullptr, DoFunc, this);
        fFunc = [this, &task] {
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

// A runTaskAsync task, owned by the loop until it runs.
class AsyncTaskItem : public CppWorkItem
{
public:
    AsyncTaskItem(std::weak_ptr<WorkLoop::Impl> loop, std::function<void()> task) : fLoop(std::move(loop))
    {
        Init(nullptr, Run, nullptr);
        fFunc = [task = std::move(task)] {
            task();
            return true;
        };
    }

private:
    // Runs in a pass, which holds the loop. The item is destroyed when the task has returned.
    static bool Run(WorkLoopItem* item, void*)
    {
        std::shared_ptr<WorkLoop::Impl> loop = static_cast<AsyncTaskItem*>(item)->fLoop.lock();
        std::unique_ptr<CppWorkItem> owned = loop ? loop->TakeAsyncItem(item) : nullptr;
        return owned && owned->fFunc();
    }

    std::weak_ptr<WorkLoop::Impl> fLoop;
};

} // namespace

void WorkLoop::Impl::RunTaskSync(std::shared_ptr<Impl> impl, std::function<void()> func)
{
    bool onLoopThread;
    {
        std::lock_guard lock(impl->fItemsLock);
        if (!impl->fRunLoop) {
            return;
        }
        ++impl->fSyncCount;
        onLoopThread = CFRunLoopGetCurrent() == impl->fRunLoop;
    }
    // The count is restored on every way out; a loop that has gone meanwhile has none to restore.
    struct SyncCount
    {
        std::weak_ptr<Impl> fLoop;

        ~SyncCount()
        {
            if (std::shared_ptr<Impl> loop = fLoop.lock()) {
                loop->EndSyncTask();
            }
        }
    } count{impl};
    if (onLoopThread) {
        func();
        return;
    }
    SyncTaskItem item(func);
    {
        std::lock_guard lock(impl->fItemsLock);
        impl->ListWorkItemLocked(&item);
    }
    impl.reset();
    item.Wait();
}

void WorkLoop::Impl::EndSyncTask()
{
    std::lock_guard lock(fItemsLock);
    --fSyncCount;
    fSyncDone.notify_all();
}

void WorkLoop::Impl::RunTaskAsync(std::function<void()> func)
{
    auto item = std::make_unique<AsyncTaskItem>(weak_from_this(), std::move(func));
    AsyncTaskItem* listed = item.get();
    std::lock_guard lock(fItemsLock);
    fAsyncItems.emplace(listed, std::move(item));
    try {
        ListWorkItemLocked(listed);
    } catch (...) {
        fAsyncItems.erase(listed);
        throw;
    }
}

std::unique_ptr<CppWorkItem> WorkLoop::Impl::TakeAsyncItem(WorkLoopItem* item)
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

void WorkLoop::Impl::AbandonTasks()
{
    std::unordered_map<const WorkLoopItem*, std::unique_ptr<CppWorkItem>> unrun;
    {
        std::lock_guard lock(fItemsLock);
        unrun.swap(fAsyncItems);
        for (const auto& [item, owned] : unrun) {
            fItems.Remove(item);
        }
        fItems.ForEach([](WorkLoopItem* item) {
            if (auto* waiting = dynamic_cast<SyncTaskItem*>(item)) {
                waiting->Finish();
            }
        });
    }
}

#endif

WORKLOOP_NAMESPACE_END
