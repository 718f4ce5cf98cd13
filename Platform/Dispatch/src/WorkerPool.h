#pragma once

#include <condition_variable>
#include <deque>
#include <dispatch/dispatch.h>
#include <mutex>

namespace Dispatch {

// The threads that serve ordinary queues. A queue that receives work while idle is handed to an
// idle worker, or to a new thread when none is idle; a worker that has emptied its queue waits for
// the next one. Idle workers belong to no queue, so an idle queue holds no thread.
class WorkerPool
{
public:
    static WorkerPool& shared();

    // Serves `queue` on a worker; the queue carries a reference for the worker.
    void serve(dispatch_queue_t queue);

    // Called by a worker, with its queue's lock held, as it finds the queue empty: from then on a
    // post to that queue may hand it back to this worker instead of starting a thread.
    void workerIdling();

private:
    WorkerPool() = default;
    void run(dispatch_queue_t queue);

    std::mutex fLock;
    std::condition_variable fReadyChanged;
    std::deque<dispatch_queue_t> fReady;
    // Idle workers not yet claimed by a queue in fReady.
    size_t fIdle = 0;
};

} // namespace Dispatch
