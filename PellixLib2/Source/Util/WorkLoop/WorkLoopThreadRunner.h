#pragma once

#include "WorkLoopBuild.h"

#include <CoreFoundation/CFRunLoop.h>

#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

WORKLOOP_NAMESPACE_BEGIN

// The thread of a work-loop thread class: the start handshake, a stop that the thread cannot miss,
// and the join. Start and Stop come from the owner's threads, one at a time; Stop may also come
// from the loop's own thread. Never destroyed on that thread.
class WorkLoopThreadRunner
{
public:
    WorkLoopThreadRunner() = default;
    ~WorkLoopThreadRunner();
    WorkLoopThreadRunner(const WorkLoopThreadRunner&) = delete;
    WorkLoopThreadRunner& operator=(const WorkLoopThreadRunner&) = delete;

    // Unless a thread runs, starts one running `threadMain`, which calls Serve, and returns once
    // its set-up has ended: with the set-up's exception when it failed (the thread then joined).
    // A thread whose stop began on its own loop is joined first. From the loop's own thread it
    // does nothing.
    std::exception_ptr Start(std::function<void()> threadMain);

    // Stops the loop's run from inside the loop, and joins the thread. From the loop's own thread
    // it only stops the run; the next Start, Stop or destruction from another thread joins it.
    void Stop();

    // On the new thread: sets up, reports the start, runs unless a stop came first, tears down.
    // Exceptions of the run and the tear-down end the thread quietly.
    void Serve(const std::function<void()>& setUp, const std::function<void()>& run,
               const std::function<void()>& tearDown);

private:
    enum class State
    {
        Stopped,
        Starting,
        Running,
        Failed,
    };

    void JoinStopped();

    // The owner's only.
    std::unique_ptr<std::thread> fThread;

    std::mutex fLock;
    std::condition_variable fChanged;
    State fState = State::Stopped;
    std::thread::id fThreadId;
    // The loop thread's run loop, retained while the thread object exists.
    CFRunLoopRef fRunLoop = nullptr;
    bool fStopRequested = false;
    std::exception_ptr fFailure;
};

WORKLOOP_NAMESPACE_END
