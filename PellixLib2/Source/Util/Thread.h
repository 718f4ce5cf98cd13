#pragma once

// A POSIX thread that runs its own run loop and hands a RunHandler one call there, with a
// scheduling priority.

#include <CoreFoundation/CFRunLoop.h>

#include <memory>

namespace Pellix {

class Thread
{
public:
    enum ThreadPriority
    {
        kLowPriority = 0,
        kNormalPriority = 1,
        kHighPriority = 2,
    };

    class RunHandler
    {
    public:
        virtual ~RunHandler() = default;
        // Called once, on the thread. Once its Thread is being destroyed it must return promptly:
        // the destructor waits for it 2 seconds at most.
        virtual void DoRun() = 0;
    };

    // Returns once the thread runs its run loop, or after 2 seconds of the process clock. Fails
    // through FailMemFullError when no thread can be made. The handler (which may be null) is not
    // owned.
    Thread(RunHandler* handler, ThreadPriority priority);
    // Stops the thread's run loop and waits at most 2 seconds for the thread to leave it.
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // The thread's run loop while the thread runs it, else null.
    CFRunLoopRef GetRunLoop() const;

private:
    struct ThreadData;

    static void* ThreadMain(void* data);
    static void RunHandlerOnce(CFRunLoopTimerRef timer, void* info);

    // Shared with the thread, which may outlive this object.
    std::shared_ptr<ThreadData> fData;
};

} // namespace Pellix
