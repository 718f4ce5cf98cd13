#pragma once

// Threads whose only job is to run a work loop on their own run loop, so that its timers and work
// items run off the caller's thread. Start, Stop and destruction come from the owner's thread;
// Stop from the loop's own thread only ends the run, and the owner's next call joins the thread.

#include "WorkLoop.h"
#include "WorkLoopThreadRunner.h"

#include <memory>

WORKLOOP_NAMESPACE_BEGIN

// Tells a subclass on the new thread when its loop has started and when it has stopped. A subclass
// with hooks calls Stop in its own destructor, before its part of the object goes.
class WorkLoopThread
{
public:
    WorkLoopThread() = default;
    virtual ~WorkLoopThread();
    WorkLoopThread(const WorkLoopThread&) = delete;
    WorkLoopThread& operator=(const WorkLoopThread&) = delete;

    // Starts the thread unless it runs, and returns once its loop exists (or its set-up failed,
    // which ends the thread quietly).
    virtual void Start();
    virtual void Stop();
    // On the loop's thread, before its first item and after its last one. Exceptions end the
    // thread quietly.
    virtual void WorkLoopThreadStarted() {}
    virtual void WorkLoopThreadStopped() {}

    static void ThreadProc(WorkLoopThread* self);

    // Made and destroyed by the thread; after Start has returned, the owner may use it until Stop.
    std::unique_ptr<WorkLoop> fWorkLoop;

private:
    WorkLoopThreadRunner fRunner;
};

// Without hooks; Start returns once the loop exists, so the caller may add timers at once, and
// rethrows the failure of the loop's set-up.
class WorkLoopThread2
{
public:
    WorkLoopThread2() = default;
    virtual ~WorkLoopThread2();
    WorkLoopThread2(const WorkLoopThread2&) = delete;
    WorkLoopThread2& operator=(const WorkLoopThread2&) = delete;

    void Start();
    void Stop();

    static void ThreadProc(WorkLoopThread2* self);

    std::unique_ptr<WorkLoop> fWorkLoop;

private:
    WorkLoopThreadRunner fRunner;
};

WORKLOOP_NAMESPACE_END
