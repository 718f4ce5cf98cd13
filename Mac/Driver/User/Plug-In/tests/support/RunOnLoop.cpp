#include "RunOnLoop.h"

#include "WorkLoop.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace PlugInTesting {

namespace {

struct FunctionItem : WorkItem
{
    std::function<void()> fWork;
    std::mutex fMutex;
    std::condition_variable fDone;
    bool fRan = false;

    static bool Run(WorkLoopItem*, void* userData)
    {
        auto* self = static_cast<FunctionItem*>(userData);
        self->fWork();
        std::lock_guard<std::mutex> lock(self->fMutex);
        self->fRan = true;
        self->fDone.notify_all();
        return true;
    }
};

} // namespace

bool RunOnLoop(WorkLoop& loop, std::function<void()> work)
{
    // Shared with the loop until it has run: a test that gives up must not free it under the loop.
    auto item = std::make_shared<FunctionItem>();
    item->fWork = std::move(work);
    item->Init(&loop, FunctionItem::Run, item.get());
    item->Queue();
    std::unique_lock<std::mutex> lock(item->fMutex);
    if (!item->fDone.wait_for(lock, std::chrono::seconds(30), [&] { return item->fRan; })) {
        lock.unlock();
        item->DeQueue();
        item->WaitForRunToComplete();
        return false;
    }
    lock.unlock();
    item->WaitForRunToComplete();
    return true;
}

} // namespace PlugInTesting
