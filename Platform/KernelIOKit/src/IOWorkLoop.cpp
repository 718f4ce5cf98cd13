#include "Failures.h"

#include <IOKit/IOWorkLoop.h>

#include <Darwin/Clock.h>
#include <Darwin/RealTimeClass.h>

#include <pthread.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

OSDefineMetaClassAndStructors(IOWorkLoop, OSObject)
#define super OSObject

    inline namespace kernel
{

    struct IOWorkLoopState
    {
        // The gate: held by one thread at a time, recursively.
        std::mutex fGateMutex;
        std::condition_variable fGateOpened;
        std::atomic<std::thread::id> fHolder{};
        int fDepth = 0;

        // Work signalled since the thread last looked.
        std::mutex fWorkMutex;
        std::condition_variable fWorkSignalled;
        bool fWorkPending = false;
        bool fStopping = false;
        // On the manual clock, signalled work an advance waits for until the loop has run it.
        DarwinClock::Activity fPendingActivity;
        // The loop was freed on its own thread, which then frees this state as it ends.
        bool fDetached = false;

        // Changed and walked only with the gate closed.
        std::vector<IOEventSource*> fSources;
        std::thread fThread;
        std::atomic<std::thread::id> fThreadID{};

        void closeGate()
        {
            const std::thread::id me = std::this_thread::get_id();
            std::unique_lock lock(fGateMutex);
            if (fHolder.load(std::memory_order_relaxed) != me) {
                fGateOpened.wait(lock, [&] { return fDepth == 0; });
                fHolder.store(me, std::memory_order_relaxed);
            }
            ++fDepth;
        }

        void openGate()
        {
            std::unique_lock lock(fGateMutex);
            if (--fDepth == 0) {
                fHolder.store(std::thread::id{}, std::memory_order_relaxed);
                lock.unlock();
                fGateOpened.notify_one();
            }
        }

        // Calls every enabled source once; true when one of them has more work.
        bool runSourcesOnce()
        {
            bool more = false;
            for (size_t index = 0; index < fSources.size(); ++index) {
                IOEventSource* source = fSources[index];
                if (!source->isEnabled()) {
                    continue;
                }
                // A source may remove itself while it runs.
                source->retain();
                more = IOWorkLoopSourceAccess::checkForWork(source) || more;
                source->release();
            }
            return more;
        }

        // The loop thread: waits for a signal, then runs the sources with the gate closed until none
        // has more work.
        void signal()
        {
            {
                std::lock_guard lock(fWorkMutex);
                fWorkPending = true;
                if (!fPendingActivity && DarwinClock::isManual()) {
                    fPendingActivity =
                        DarwinClock::Activity("IOWorkLoop", fThreadID.load(std::memory_order_acquire));
                }
            }
            fWorkSignalled.notify_one();
        }

        void run()
        {
            pthread_setname_np(pthread_self(), "IOWorkLoop");
            if (DarwinRealTime::forDriverThreads()) {
                DarwinRealTime::enter(DarwinRealTime::kDriverLevel);
            }
            fThreadID.store(std::this_thread::get_id(), std::memory_order_release);
            for (;;) {
                DarwinClock::Activity serving;
                {
                    std::unique_lock lock(fWorkMutex);
                    fWorkSignalled.wait(lock, [&] { return fWorkPending || fStopping; });
                    if (fStopping) {
                        break;
                    }
                    fWorkPending = false;
                    serving = std::move(fPendingActivity);
                }
                closeGate();
                while (runSourcesOnce()) {
                }
                openGate();
                serving.end();
            }
            std::unique_lock lock(fWorkMutex);
            if (fDetached) {
                lock.unlock();
                delete this;
            }
        }
    };

} // namespace kernel

IOWorkLoop* IOWorkLoop::workLoop()
{
    auto* loop = new IOWorkLoop;
    if (!loop->init()) {
        loop->release();
        return nullptr;
    }
    return loop;
}

bool IOWorkLoop::init()
{
    if (KernelIOKitPlatform::creationFails() || !super::init()) {
        return false;
    }
    fState = new IOWorkLoopState;
    fState->fSources.reserve(8);
    fState->fThread = std::thread(&IOWorkLoopState::run, fState);
    return true;
}

void IOWorkLoop::free()
{
    if (fState) {
        // On its own thread the loop is inside a pass and holds the gate; elsewhere the thread ends
        // first. Either way nothing else walks the sources while they are let go.
        const bool onOwnThread = onThread();
        {
            std::lock_guard lock(fState->fWorkMutex);
            fState->fStopping = true;
            fState->fDetached = onOwnThread;
            // Work still signalled is never run now.
            fState->fPendingActivity.end();
        }
        fState->fWorkSignalled.notify_one();
        if (onOwnThread) {
            fState->fThread.detach();
        } else {
            fState->fThread.join();
        }
        for (IOEventSource* source : std::exchange(fState->fSources, {})) {
            source->setWorkLoop(nullptr);
            source->release();
        }
        if (!onOwnThread) {
            delete fState;
        }
        fState = nullptr;
    }
    super::free();
}

IOReturn IOWorkLoop::addEventSource(IOEventSource* source)
{
    if (!source) {
        return kIOReturnBadArgument;
    }
    closeGate();
    source->retain();
    fState->fSources.push_back(source);
    source->setWorkLoop(this);
    openGate();
    signalWorkAvailable();
    return kIOReturnSuccess;
}

IOReturn IOWorkLoop::removeEventSource(IOEventSource* source)
{
    closeGate();
    auto& sources = fState->fSources;
    for (auto at = sources.begin(); at != sources.end(); ++at) {
        if (*at == source) {
            sources.erase(at);
            source->setWorkLoop(nullptr);
            openGate();
            source->release();
            return kIOReturnSuccess;
        }
    }
    openGate();
    return kIOReturnBadArgument;
}

IOReturn IOWorkLoop::runAction(Action action, OSObject* target, void* arg0, void* arg1, void* arg2,
                               void* arg3)
{
    if (!action) {
        return kIOReturnBadArgument;
    }
    closeGate();
    const IOReturn result = action(target, arg0, arg1, arg2, arg3);
    openGate();
    return result;
}

void IOWorkLoop::closeGate()
{
    fState->closeGate();
}

bool IOWorkLoop::tryCloseGate()
{
    const std::thread::id me = std::this_thread::get_id();
    std::lock_guard lock(fState->fGateMutex);
    if (fState->fDepth != 0 && fState->fHolder.load(std::memory_order_relaxed) != me) {
        return false;
    }
    fState->fHolder.store(me, std::memory_order_relaxed);
    ++fState->fDepth;
    return true;
}

void IOWorkLoop::openGate()
{
    fState->openGate();
}

bool IOWorkLoop::inGate() const
{
    return fState->fHolder.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

bool IOWorkLoop::onThread() const
{
    return fState->fThreadID.load(std::memory_order_acquire) == std::this_thread::get_id();
}

void IOWorkLoop::signalWorkAvailable()
{
    fState->signal();
}
