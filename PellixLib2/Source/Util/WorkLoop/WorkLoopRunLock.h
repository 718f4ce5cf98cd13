#pragma once

#include "WorkLoopBuild.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <utility>

WORKLOOP_NAMESPACE_BEGIN

// Marks the runs of an item's callback, so that other threads can wait for one in progress. The
// loop marks a run as it takes the item, under its items lock; nothing is held while the callback
// runs, so the callback may call into the loop freely. Marking takes no lock unless someone waits.
class WORKLOOP_INTERNAL WorkLoopRunLock
{
public:
    // On the thread of the run; runs on one thread nest.
    void BeginRun()
    {
        fOuter = std::exchange(tRunning, this);
        // The items lock, held meanwhile, orders this before a waiter's look.
        fRuns.fetch_add(1, std::memory_order_relaxed);
    }

    void EndRun()
    {
        tRunning = fOuter;
        // Either this sees the waiter, or the waiter sees the run end.
        if (fRuns.fetch_sub(1) == 1 && fWaiters.load() > 0) {
            std::lock_guard lock(fLock);
            fEnded.notify_all();
        }
    }

    // Returns once no run is in progress; at once from inside the run.
    void WaitForRun()
    {
        if (fRuns.load() == 0 || IsRunningHere()) {
            return;
        }
        std::unique_lock lock(fLock);
        fWaiters.fetch_add(1);
        fEnded.wait(lock, [this] { return fRuns.load() == 0; });
        fWaiters.fetch_sub(1);
    }

private:
    bool IsRunningHere() const
    {
        for (const WorkLoopRunLock* run = tRunning; run; run = run->fOuter) {
            if (run == this) {
                return true;
            }
        }
        return false;
    }

    // The runs on this thread, innermost first.
    static inline constinit thread_local WorkLoopRunLock* tRunning = nullptr;

    std::atomic<int> fRuns{0};
    // Written and read on the thread of the run only.
    WorkLoopRunLock* fOuter = nullptr;
    std::atomic<int> fWaiters{0};
    std::mutex fLock;
    std::condition_variable fEnded;
};

WORKLOOP_NAMESPACE_END
