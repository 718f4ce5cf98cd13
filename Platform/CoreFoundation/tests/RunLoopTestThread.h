#pragma once

// Test helpers for the run-loop suites: a thread that runs its own loop, and a source whose
// callbacks are counted.

#include <CoreFoundation/CFRunLoop.h>
#include <DarwinTesting/Eventually.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace RunLoopTesting {

// Blocks until `ready` answers true; others call notify() after changing the atomics it reads.
class Signal
{
public:
    void notify()
    {
        std::lock_guard lock(fLock);
        fChanged.notify_all();
    }

    template <typename Ready>
    void waitUntil(Ready ready)
    {
        std::unique_lock lock(fLock);
        fChanged.wait(lock, ready);
    }

private:
    std::mutex fLock;
    std::condition_variable fChanged;
};

// A version-0 source that counts its callbacks and records where they ran.
class CountingSource
{
public:
    explicit CountingSource(CFIndex order = 0, std::function<void()> perform = {})
        : fPerform(std::move(perform))
    {
        CFRunLoopSourceContext context{};
        context.info = this;
        context.retain = [](const void* info) -> const void* {
            ++static_cast<CountingSource*>(const_cast<void*>(info))->fRetains;
            return info;
        };
        context.release = [](const void* info) {
            ++static_cast<CountingSource*>(const_cast<void*>(info))->fReleases;
        };
        context.schedule = [](void* info, CFRunLoopRef rl, CFRunLoopMode mode) {
            auto* self = static_cast<CountingSource*>(info);
            std::lock_guard lock(self->fLock);
            self->fScheduled.push_back({rl, mode, std::this_thread::get_id()});
        };
        context.cancel = [](void* info, CFRunLoopRef rl, CFRunLoopMode mode) {
            auto* self = static_cast<CountingSource*>(info);
            std::lock_guard lock(self->fLock);
            self->fCancelled.push_back({rl, mode, std::this_thread::get_id()});
        };
        context.perform = [](void* info) {
            auto* self = static_cast<CountingSource*>(info);
            self->fPerformThread = std::this_thread::get_id();
            ++self->fPerforms;
            self->fPerformed.notify();
            if (self->fPerform) {
                self->fPerform();
            }
        };
        fSource = CFRunLoopSourceCreate(kCFAllocatorDefault, order, &context);
    }

    ~CountingSource()
    {
        CFRunLoopSourceInvalidate(fSource);
        CFRelease(fSource);
    }

    CFRunLoopSourceRef get() const { return fSource; }
    void signal() const { CFRunLoopSourceSignal(fSource); }

    struct Call
    {
        CFRunLoopRef fLoop;
        CFRunLoopMode fMode;
        std::thread::id fThread;
    };

    std::vector<Call> scheduled()
    {
        std::lock_guard lock(fLock);
        return fScheduled;
    }

    std::vector<Call> cancelled()
    {
        std::lock_guard lock(fLock);
        return fCancelled;
    }

    std::atomic<int> fPerforms{0};
    std::atomic<int> fRetains{0};
    std::atomic<int> fReleases{0};
    std::atomic<std::thread::id> fPerformThread{};
    Signal fPerformed;

private:
    std::function<void()> fPerform;
    CFRunLoopSourceRef fSource;
    std::mutex fLock;
    std::vector<Call> fScheduled;
    std::vector<Call> fCancelled;
};

// A thread that runs its own loop with CFRunLoopRun, in the default mode held open by a source,
// until stop() or destruction. `setUp` runs first on that thread, and the constructor returns once
// the loop runs.
class LoopThread
{
public:
    explicit LoopThread(std::function<void()> setUp = {})
    {
        fThread = std::thread([this, setUp = std::move(setUp)] {
            CFRunLoopRef loop = CFRunLoopGetCurrent();
            CFRunLoopAddSource(loop, fKeepOpen.get(), kCFRunLoopDefaultMode);
            if (setUp) {
                setUp();
            }
            // Held until the thread is joined: stop() wakes the loop after queueing the block
            // that may end it.
            CFRetain(loop);
            // Runs inside the loop, so a stop sent after the constructor returns reaches a run.
            CFRunLoopPerformBlock(loop, kCFRunLoopDefaultMode, [this, loop] {
                fLoop.store(loop);
                fStarted.notify();
            });
            while (!fQuit.load()) {
                CFRunLoopRun();
            }
            CFRunLoopRemoveSource(loop, fKeepOpen.get(), kCFRunLoopDefaultMode);
        });
        fStarted.waitUntil([this] { return fLoop.load() != nullptr; });
        fId = fThread.get_id();
    }

    ~LoopThread() { stop(); }

    CFRunLoopRef loop() const { return fLoop.load(); }
    std::thread::id id() const { return fId; }

    // Ends the run from inside the loop and joins the thread.
    void stop()
    {
        if (!fThread.joinable()) {
            return;
        }
        fQuit.store(true);
        CFRunLoopPerformBlock(loop(), kCFRunLoopDefaultMode, [] { CFRunLoopStop(CFRunLoopGetCurrent()); });
        CFRunLoopWakeUp(loop());
        fThread.join();
        CFRelease(loop());
    }

    // Runs `work` on the loop's thread and waits for it.
    void runOnLoop(std::function<void()> work)
    {
        std::atomic<bool> done{false};
        CFRunLoopPerformBlock(loop(), kCFRunLoopDefaultMode, [&] {
            work();
            done.store(true);
            fDone.notify();
        });
        CFRunLoopWakeUp(loop());
        fDone.waitUntil([&] { return done.load(); });
    }

private:
    CountingSource fKeepOpen;
    std::atomic<CFRunLoopRef> fLoop{nullptr};
    std::atomic<bool> fQuit{false};
    Signal fStarted;
    Signal fDone;
    std::thread fThread;
    std::thread::id fId;
};

// Spins until the loop sleeps: a state check, not a timing assumption. Fails the test when the
// loop does not come to sleep within the poll limit.
inline void waitUntilSleeping(CFRunLoopRef loop)
{
    EXPECT_TRUE(DarwinTesting::eventually([loop] { return CFRunLoopIsWaiting(loop); }))
        << "the loop never slept";
}

} // namespace RunLoopTesting
