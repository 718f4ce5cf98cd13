#include "Thread.h"

#include "Basics/Failure.h"
#include "RemoveLock.h"
#include "ThreadPriority.h"

#include <pthread.h>

#include <atomic>
#include <utility>

namespace Pellix {

namespace {

// Both past, so the timer fires at the run loop's first turn; it then only keeps the loop alive.
constexpr CFAbsoluteTime kRunHandlerDate = 0.0;
constexpr CFAbsoluteTime kIdleDate = 10000000.0;
constexpr CFTimeInterval kTimerInterval = 10000000.0;

void StopCurrentRunLoop()
{
    CFRunLoopStop(CFRunLoopGetCurrent());
}

} // namespace

struct Thread::ThreadData
{
    ~ThreadData()
    {
        if (fTimer) {
            CFRelease(fTimer);
        }
        if (fKeptRunLoop) {
            CFRelease(fKeptRunLoop);
        }
    }

    // Read and cleared on the thread only.
    RunHandler* fHandler = nullptr;
    // Each holds one reference of the new thread: released once its run loop exists, and once it
    // has left it.
    RemoveLock fStartLock;
    RemoveLock fExitLock;
    pthread_t fThread{};
    std::atomic<CFRunLoopRef> fRunLoop{nullptr};
    // Retained by the thread before it publishes fRunLoop, so the destructor can still use it.
    CFRunLoopRef fKeptRunLoop = nullptr;
    CFRunLoopTimerRef fTimer = nullptr;
    std::atomic<bool> fStopRequested{false};
};

Thread::Thread(RunHandler* handler, ThreadPriority priority) : fData(std::make_shared<ThreadData>())
{
    ThreadData& data = *fData;
    data.fHandler = handler;
    data.fStartLock.Lock();
    data.fExitLock.Lock();
    CFRunLoopTimerContext context{};
    context.info = &data;
    data.fTimer = CFRunLoopTimerCreate(nullptr, handler ? kRunHandlerDate : kIdleDate, kTimerInterval, 0, 0,
                                       RunHandlerOnce, &context);
    auto* shared = new std::shared_ptr<ThreadData>(fData);
    if (pthread_create(&data.fThread, nullptr, ThreadMain, shared) != 0) {
        delete shared;
        FailMemFullError();
    }
    data.fStartLock.WaitToRemove();
    if (priority != kNormalPriority) {
        SetThreadPriority(data.fThread, priority);
    }
}

Thread::~Thread()
{
    ThreadData& data = *fData;
    data.fStopRequested.store(true);
    if (data.fRunLoop.load()) {
        // Queued into the loop, the stop reaches a run that has not begun yet.
        CFRunLoopRemoveTimer(data.fKeptRunLoop, data.fTimer, kCFRunLoopCommonModes);
        CFRunLoopPerformBlock(data.fKeptRunLoop, kCFRunLoopCommonModes, StopCurrentRunLoop);
        CFRunLoopWakeUp(data.fKeptRunLoop);
    }
    data.fExitLock.WaitToRemove();
    // The thread keeps its share of the data for as long as it still runs.
    pthread_detach(data.fThread);
}

CFRunLoopRef Thread::GetRunLoop() const
{
    return fData->fRunLoop.load();
}

void* Thread::ThreadMain(void* shared)
{
    std::shared_ptr<ThreadData> data = std::move(*static_cast<std::shared_ptr<ThreadData>*>(shared));
    delete static_cast<std::shared_ptr<ThreadData>*>(shared);
    CFRunLoopRef runLoop = CFRunLoopGetCurrent();
    if (!runLoop || !data->fTimer) {
        return nullptr;
    }
    CFRetain(runLoop);
    data->fKeptRunLoop = runLoop;
    data->fRunLoop.store(runLoop);
    struct LeaveRunLoop
    {
        ThreadData& fData;

        ~LeaveRunLoop()
        {
            fData.fRunLoop.store(nullptr);
            fData.fExitLock.Unlock();
        }
    } leave{*data};
    data->fStartLock.Unlock();
    try {
        CFRunLoopAddTimer(runLoop, data->fTimer, kCFRunLoopCommonModes);
        if (!data->fStopRequested.load()) {
            CFRunLoopRun();
        }
    } catch (...) {
        // The handler's exception ends the thread.
    }
    return nullptr;
}

void Thread::RunHandlerOnce(CFRunLoopTimerRef, void* info)
{
    auto* data = static_cast<ThreadData*>(info);
    if (RunHandler* handler = std::exchange(data->fHandler, nullptr)) {
        handler->DoRun();
    }
}

} // namespace Pellix
