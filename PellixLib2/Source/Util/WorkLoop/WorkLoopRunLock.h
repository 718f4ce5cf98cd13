#pragma once

#include "WorkLoopBuild.h"

#include <condition_variable>
#include <mutex>
#include <thread>

WORKLOOP_NAMESPACE_BEGIN

// Marks the runs of an item's callback, so that other threads can wait for one in progress. The
// loop marks a run as it takes the item, under its items lock; nothing is held while the callback
// runs, so the callback may call into the loop freely.
class WorkLoopRunLock
{
public:
    void BeginRun()
    {
        std::lock_guard lock(fLock);
        ++fRuns;
        fRunner = std::this_thread::get_id();
    }

    void EndRun()
    {
        std::lock_guard lock(fLock);
        --fRuns;
        fEnded.notify_all();
    }

    // Returns once no run is in progress; at once on the thread of the run.
    void WaitForRun()
    {
        std::unique_lock lock(fLock);
        fEnded.wait(lock, [this] { return fRuns == 0 || fRunner == std::this_thread::get_id(); });
    }

private:
    std::mutex fLock;
    std::condition_variable fEnded;
    int fRuns = 0;
    std::thread::id fRunner;
};

WORKLOOP_NAMESPACE_END
