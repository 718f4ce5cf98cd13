#include "WorkLoopThreadRunner.h"

WORKLOOP_NAMESPACE_BEGIN

WorkLoopThreadRunner::~WorkLoopThreadRunner()
{
    Stop();
}

std::exception_ptr WorkLoopThreadRunner::Start(std::function<void()> threadMain)
{
    {
        std::lock_guard lock(fLock);
        if (fState != State::Stopped && (std::this_thread::get_id() == fThreadId || !fStopRequested)) {
            return nullptr;
        }
    }
    JoinStopped();
    {
        std::lock_guard lock(fLock);
        fState = State::Starting;
        fStopRequested = false;
        fFailure = nullptr;
    }
    try {
        fThread = std::make_unique<std::thread>(std::move(threadMain));
    } catch (...) {
        std::lock_guard lock(fLock);
        fState = State::Stopped;
        throw;
    }
    std::exception_ptr failure;
    {
        std::unique_lock lock(fLock);
        fChanged.wait(lock, [this] { return fState != State::Starting; });
        failure = fFailure;
    }
    if (failure) {
        JoinStopped();
    }
    return failure;
}

void WorkLoopThreadRunner::Stop()
{
    CFRunLoopRef runLoop = nullptr;
    bool onLoopThread;
    {
        std::lock_guard lock(fLock);
        if (fState == State::Stopped) {
            return;
        }
        onLoopThread = std::this_thread::get_id() == fThreadId;
        if (!fStopRequested) {
            fStopRequested = true;
            runLoop = fRunLoop;
            if (runLoop) {
                CFRetain(runLoop);
            }
        }
    }
    if (runLoop) {
        // Queued into the loop, a stop cannot arrive between two runs and be lost.
        CFRunLoopPerformBlock(runLoop, kCFRunLoopCommonModes, [] { CFRunLoopStop(CFRunLoopGetCurrent()); });
        CFRunLoopWakeUp(runLoop);
        CFRelease(runLoop);
    }
    if (!onLoopThread) {
        JoinStopped();
    }
}

void WorkLoopThreadRunner::JoinStopped()
{
    if (!fThread) {
        return;
    }
    fThread->join();
    fThread.reset();
    std::lock_guard lock(fLock);
    if (fRunLoop) {
        CFRelease(fRunLoop);
        fRunLoop = nullptr;
    }
    fThreadId = {};
    fState = State::Stopped;
}

void WorkLoopThreadRunner::Serve(const std::function<void()>& setUp, const std::function<void()>& run,
                                 const std::function<void()>& tearDown)
{
    {
        std::lock_guard lock(fLock);
        fThreadId = std::this_thread::get_id();
    }
    try {
        setUp();
    } catch (...) {
        std::exception_ptr failure = std::current_exception();
        try {
            tearDown();
        } catch (...) {
            // The set-up's failure is the one reported.
        }
        std::lock_guard lock(fLock);
        fFailure = failure;
        fState = State::Failed;
        fChanged.notify_all();
        return;
    }
    bool stopped;
    {
        std::lock_guard lock(fLock);
        fRunLoop = CFRunLoopGetCurrent();
        CFRetain(fRunLoop);
        fState = State::Running;
        stopped = fStopRequested;
        fChanged.notify_all();
    }
    try {
        if (!stopped) {
            run();
        }
    } catch (...) {
        // Ends the thread quietly.
    }
    try {
        tearDown();
    } catch (...) {
        // Likewise.
    }
}

WORKLOOP_NAMESPACE_END
