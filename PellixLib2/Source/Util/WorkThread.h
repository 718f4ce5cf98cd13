#pragma once

// A cancellable background job: StartWork runs the subclass's DoRun on a Thread of its own, and a
// Timer polls every 0.1 s for a cancel request, which stops the job. The job watches GetState and
// returns promptly once it is no longer 3 (working).
//
// States: 0 cancel requested, 1 idle, 2 stopping, 3 working. StartWork, StopWork and CancelWork
// may come from any thread.

#include "Mutex.h"
#include "Thread.h"
#include "Timer.h"

#include <memory>

namespace Pellix {

class WorkThread : public Timer, public Thread::RunHandler
{
public:
    explicit WorkThread(Thread::ThreadPriority priority);
    // Stops the job and the poll.
    ~WorkThread() override;

    // The poll: a cancel request stops the job.
    void DoTimerCallback() override;
    // Only when idle or cancelled and no job thread exists: starts the job and the poll.
    virtual bool StartWork();
    // Stops the job (waiting for it at most 2 seconds) and the poll; the work thread is then idle.
    virtual void StopWork();
    // For the subclass to report the outcome of its job; the library never calls it.
    virtual void WorkCompleted() = 0;

    void CancelWork();
    int GetState();

private:
    std::unique_ptr<Thread> fThread;
    // Guards fState and fThread.
    Mutex fLock;
    int fState = 1;
    const Thread::ThreadPriority fPriority;
};

} // namespace Pellix
