#include "Queue.h"

#include "CurrentQueue.h"
#include "Fatal.h"
#include "MainThread.h"
#include "WorkerPool.h"

#include <CFPlatform/MainQueue.h>
#include <exception>

using Dispatch::Work;

dispatch_queue_s::dispatch_queue_s(const char* label, bool isMain)
    : fLabel(label != nullptr ? label : ""), fIsMain(isMain)
{}

std::thread::id dispatch_queue_s::performer() const
{
    return fIsMain ? Dispatch::mainThreadId() : std::thread::id();
}

void dispatch_queue_s::retain()
{
    if (!fIsMain) {
        fReferences.fetch_add(1, std::memory_order_relaxed);
    }
}

void dispatch_queue_s::release()
{
    if (!fIsMain && fReferences.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
    }
}

void dispatch_queue_s::push(Work* work)
{
    bool startWorker = false;
    {
        std::lock_guard<std::mutex> lock(fLock);
        work->sequence = fPushed++;
        if (fTail != nullptr) {
            fTail->next = work;
        } else {
            fHead = work;
        }
        fTail = work;
        if (!fIsMain && !fServed) {
            fServed = true;
            startWorker = true;
        }
    }
    if (fIsMain) {
        CFPlatform::wakeMainLoopForQueue();
    } else if (startWorker) {
        retain();
        Dispatch::WorkerPool::shared().serve(this);
    }
}

void dispatch_queue_s::serve()
{
    {
        DarwinClock::ServiceScope scope(label());
        while (Work* work = takeAllOrIdle()) {
            do {
                // Read before running: the work is freed, or its sync caller returns, once run.
                Work* next = work->next;
                perform(work);
                work = next;
            } while (work != nullptr);
        }
    }
    release();
}

bool dispatch_queue_s::drainPresent()
{
    uint64_t limit;
    {
        std::lock_guard<std::mutex> lock(fLock);
        limit = fPushed;
    }
    Work* work = takeNextBefore(limit);
    if (work == nullptr) {
        return false;
    }
    DarwinClock::ServiceScope scope(label());
    do {
        perform(work);
    } while ((work = takeNextBefore(limit)) != nullptr);
    return true;
}

bool dispatch_queue_s::hasWork()
{
    std::lock_guard<std::mutex> lock(fLock);
    return fHead != nullptr;
}

// Taking every queued block at once keeps posters and the worker off each other's lock.
Work* dispatch_queue_s::takeAllOrIdle()
{
    std::lock_guard<std::mutex> lock(fLock);
    Work* work = fHead;
    if (work == nullptr) {
        fServed = false;
        Dispatch::WorkerPool::shared().workerIdling();
        return nullptr;
    }
    fHead = nullptr;
    fTail = nullptr;
    return work;
}

// A block run inside a nested run of the main loop takes from the front too, so blocks still run
// in the order they were queued.
Work* dispatch_queue_s::takeNextBefore(uint64_t limit)
{
    std::lock_guard<std::mutex> lock(fLock);
    if (fHead == nullptr || fHead->sequence >= limit) {
        return nullptr;
    }
    Work* work = fHead;
    fHead = work->next;
    if (fHead == nullptr) {
        fTail = nullptr;
    }
    return work;
}

void dispatch_queue_s::perform(Work* work)
{
    {
        const Dispatch::Frame frame{this, work->caller != nullptr ? work->caller : Dispatch::currentFrame()};
        Dispatch::FrameScope scope(frame);
        try {
            work->invoke();
        } catch (const std::exception& error) {
            Dispatch::fatal("dispatch",
                            "an exception escaped a block on queue \"" + fLabel + "\": " + error.what());
        } catch (...) {
            Dispatch::fatal("dispatch", "an exception escaped a block on queue \"" + fLabel + "\"");
        }
    }
    if (work->completion != nullptr) {
        work->completion->signal();
    } else {
        delete work;
    }
}

namespace Dispatch {

void requireQueue(dispatch_queue_t queue, const char* call)
{
    if (queue == nullptr) {
        fatal(call, "the queue is NULL");
    }
}

} // namespace Dispatch
