#include "WorkerPool.h"

#include "Fatal.h"
#include "Queue.h"

#include <algorithm>
#include <string>
#include <system_error>
#include <thread>

namespace Dispatch {
namespace {

// More idle workers than processors would never be busy at once; the rest end.
size_t maxIdle()
{
    static const size_t sMax = std::max(4u, std::thread::hardware_concurrency());
    return sMax;
}

} // namespace

WorkerPool& WorkerPool::shared()
{
    // Never destroyed: idle workers still wait on it while the process exits.
    static WorkerPool* sPool = new WorkerPool();
    return *sPool;
}

void WorkerPool::serve(dispatch_queue_t queue)
{
    std::unique_lock<std::mutex> lock(fLock);
    if (fIdle > 0) {
        --fIdle;
        fReady.push_back(queue);
        // Notified after unlocking, so the woken worker does not block again on the lock.
        lock.unlock();
        fReadyChanged.notify_one();
        return;
    }
    lock.unlock();
    try {
        std::thread([this, queue] { run(queue); }).detach();
    } catch (const std::system_error& error) {
        fatal("dispatch", std::string("cannot start a worker thread for queue \"") + queue->label() +
                              "\": " + error.what());
    }
}

void WorkerPool::workerIdling()
{
    std::lock_guard<std::mutex> lock(fLock);
    ++fIdle;
}

void WorkerPool::run(dispatch_queue_t queue)
{
    for (;;) {
        queue->serve();
        std::unique_lock<std::mutex> lock(fLock);
        if (fIdle > maxIdle()) {
            --fIdle;
            return;
        }
        fReadyChanged.wait(lock, [this] { return !fReady.empty(); });
        queue = fReady.front();
        fReady.pop_front();
    }
}

} // namespace Dispatch
