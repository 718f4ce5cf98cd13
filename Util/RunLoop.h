#pragma once

// A thread that owns a CFRunLoop with a dispatcher on it, so that other threads can post to it and
// run-loop based services (notifications, timers) can live on it. The constructor returns once the
// thread has run `init`; an `init` that throws makes the constructor throw the same, with no thread
// left. stop() works at any time after construction: it is delivered as a block that runs inside
// the loop, so a stop that arrives before the thread has entered its loop is not lost.

#include <AutoCFRef.h>
#include <RunLoopDispatcher.h>

#include <CoreFoundation/CFRunLoop.h>

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

namespace vork {

class RunLoop
{
public:
    using Dispatcher = RunLoopDispatcher<std::function<void()>, 100>;

    template <typename F>
    explicit RunLoop(F&& init)
    {
        std::mutex mutex;
        std::condition_variable readyChanged;
        bool ready = false;
        std::exception_ptr failure;
        fThread = std::make_unique<std::thread>([&] {
            // The constructor's locals end once it has seen `ready`.
            bool failed = false;
            try {
                fDispatcher =
                    std::make_unique<Dispatcher>([](const std::function<void()>& message) { message(); });
                fRunLoop.reset(CFRunLoopGetCurrent(), auto_cfref<CFRunLoopRef>::Retain());
                init();
            } catch (...) {
                failure = std::current_exception();
                failed = true;
                fDispatcher.reset();
            }
            {
                std::lock_guard lock(mutex);
                ready = true;
                readyChanged.notify_all();
            }
            if (!failed) {
                run();
            }
        });
        {
            std::unique_lock lock(mutex);
            readyChanged.wait(lock, [&] { return ready; });
        }
        if (failure) {
            fThread->join();
            fThread.reset();
            std::rethrow_exception(failure);
        }
    }

    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    ~RunLoop() { stop(); }

    // Stops the loop and joins the thread; a second call does nothing. Must not be called on the
    // loop's own thread.
    void stop()
    {
        if (!fThread) {
            return;
        }
        fStopRequested.store(true);
        CFRunLoopRef loop = fRunLoop.get();
        CFRunLoopPerformBlock(loop, kCFRunLoopCommonModes, [loop] { CFRunLoopStop(loop); });
        CFRunLoopWakeUp(loop);
        fThread->join();
        fThread.reset();
    }

    Dispatcher& dispatcher() { return *fDispatcher; }
    CFRunLoopRef runLoop() const { return fRunLoop.get(); }

private:
    // A loop stopped by anything but stop() runs again.
    void run()
    {
        while (!fStopRequested.load()) {
            CFRunLoopRun();
        }
    }

    std::unique_ptr<std::thread> fThread;
    auto_cfref<CFRunLoopRef> fRunLoop;
    std::unique_ptr<Dispatcher> fDispatcher;
    std::atomic<bool> fStopRequested{false};
};

} // namespace vork
