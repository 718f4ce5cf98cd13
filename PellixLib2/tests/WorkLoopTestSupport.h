#pragma once

// Helpers of the work-loop suites, which run against both builds of the family: the library's and,
// with WORKLOOP_PLUGIN_BUILD, the plug-in's.

#include "Util/WorkLoop/WorkLoop.h"
#include "Util/WorkLoop/WorkLoopThread.h"

#include <CoreFoundation/CFDate.h>
#include <CoreFoundation/CFRunLoop.h>

#include <atomic>
#include <cfloat>
#include <condition_variable>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Suite names, distinct per build so both binaries can run under one test list.
#ifdef WORKLOOP_PLUGIN_BUILD
#define WORKLOOP_SUITE WorkLoopPlugInBuild
#define WORKLOOP_THREADS_SUITE WorkLoopThreadsPlugInBuild
#else
#define WORKLOOP_SUITE WorkLoop
#define WORKLOOP_THREADS_SUITE WorkLoopThreads
using Pellix::WorkItem;
using Pellix::WorkLoop;
using Pellix::WorkLoopItem;
using Pellix::WorkLoopThread;
using Pellix::WorkLoopThread2;
using Pellix::WorkLoopThreadRunner;
using Pellix::WorkLoopTimer;
#endif

namespace WorkLoopTesting {

// Blocks until a condition holds; others call Notify after changing what it reads.
class Signal
{
public:
    void Notify()
    {
        std::lock_guard lock(fLock);
        fChanged.notify_all();
    }

    template <typename Ready>
    void WaitUntil(Ready ready)
    {
        std::unique_lock lock(fLock);
        fChanged.wait(lock, ready);
    }

private:
    std::mutex fLock;
    std::condition_variable fChanged;
};

// Records the runs of the items it watches, in order, with the clock and the thread of each.
class RunLog
{
public:
    struct Run
    {
        std::string fName;
        CFAbsoluteTime fTime;
        std::thread::id fThread;
    };

    // The item records its runs under `name`, then calls `then`.
    void Watch(WorkLoopTimer& timer, std::string name, std::function<void()> then = {})
    {
        timer.Init(Record, &Add(std::move(name), std::move(then)));
    }
    void Watch(WorkItem& item, WorkLoop* loop, std::string name, std::function<void()> then = {})
    {
        item.Init(loop, Record, &Add(std::move(name), std::move(then)));
    }

    std::vector<Run> Runs() const
    {
        std::lock_guard lock(fLock);
        return fRuns;
    }
    // The names since the last call.
    std::vector<std::string> TakeNames()
    {
        std::lock_guard lock(fLock);
        std::vector<std::string> names;
        for (size_t i = fTaken; i < fRuns.size(); ++i) {
            names.push_back(fRuns[i].fName);
        }
        fTaken = fRuns.size();
        return names;
    }
    size_t Count() const
    {
        std::lock_guard lock(fLock);
        return fRuns.size();
    }
    void WaitForCount(size_t count)
    {
        fRan.WaitUntil([&] { return Count() >= count; });
    }

private:
    struct Watched
    {
        RunLog* fLog;
        std::string fName;
        std::function<void()> fThen;
    };

    Watched& Add(std::string name, std::function<void()> then)
    {
        std::lock_guard lock(fLock);
        return fWatched.emplace_back(Watched{this, std::move(name), std::move(then)});
    }

    static bool Record(WorkLoopItem*, void* userData)
    {
        auto* watched = static_cast<Watched*>(userData);
        {
            std::lock_guard lock(watched->fLog->fLock);
            watched->fLog->fRuns.push_back(
                Run{watched->fName, CFAbsoluteTimeGetCurrent(), std::this_thread::get_id()});
        }
        watched->fLog->fRan.Notify();
        if (watched->fThen) {
            watched->fThen();
        }
        return true;
    }

    mutable std::mutex fLock;
    std::vector<Run> fRuns;
    size_t fTaken = 0;
    // A list, so that the items' user data stays where it is.
    std::list<Watched> fWatched;
    Signal fRan;
};

// Runs `work` on the loop's thread through a work item, and returns when it has.
inline void RunOnLoop(WorkLoop& loop, std::function<void()> work)
{
    struct Job
    {
        explicit Job(std::function<void()> work) : fWork(std::move(work)) {}

        std::function<void()> fWork;
        std::atomic<bool> fDone{false};
        Signal fFinished;
    } job(std::move(work));
    WorkItem item;
    item.Init(
        &loop,
        [](WorkLoopItem*, void* userData) {
            auto* job = static_cast<Job*>(userData);
            job->fWork();
            job->fDone.store(true);
            job->fFinished.Notify();
            return true;
        },
        &job);
    item.Queue();
    job.fFinished.WaitUntil([&] { return job.fDone.load(); });
    item.WaitForRunToComplete();
}

// A thread that runs its own run loop until stopped, held open by a timer that never fires.
class LoopThread
{
public:
    LoopThread()
    {
        fThread = std::thread([this] {
            CFRunLoopTimerRef keepOpen = CFRunLoopTimerCreate(
                nullptr, DBL_MAX, 0, 0, 0, [](CFRunLoopTimerRef, void*) {}, nullptr);
            CFRunLoopAddTimer(CFRunLoopGetCurrent(), keepOpen, kCFRunLoopDefaultMode);
            CFRunLoopRef loop = CFRunLoopGetCurrent();
            CFRetain(loop);
            fLoop.store(loop);
            fStarted.Notify();
            while (!fQuit.load()) {
                CFRunLoopRun();
            }
            CFRunLoopTimerInvalidate(keepOpen);
            CFRelease(keepOpen);
        });
        fStarted.WaitUntil([this] { return fLoop.load() != nullptr; });
        fId = fThread.get_id();
    }

    ~LoopThread()
    {
        Stop();
        CFRelease(fLoop.load());
    }

    CFRunLoopRef Loop() const { return fLoop.load(); }
    std::thread::id Id() const { return fId; }

    // Runs `work` on the thread, at its loop's next turn, and returns when it has.
    void RunOnThread(std::function<void()> work)
    {
        std::atomic<bool> done{false};
        CFRunLoopPerformBlock(Loop(), kCFRunLoopCommonModes, [&] {
            work();
            done.store(true);
            fDone.Notify();
        });
        CFRunLoopWakeUp(Loop());
        fDone.WaitUntil([&] { return done.load(); });
    }

    // Ends the run from inside the loop and joins the thread; its run loop is then dead.
    void Stop()
    {
        if (!fThread.joinable()) {
            return;
        }
        fQuit.store(true);
        CFRunLoopPerformBlock(Loop(), kCFRunLoopCommonModes, [] { CFRunLoopStop(CFRunLoopGetCurrent()); });
        CFRunLoopWakeUp(Loop());
        fThread.join();
    }

private:
    std::atomic<CFRunLoopRef> fLoop{nullptr};
    std::atomic<bool> fQuit{false};
    Signal fStarted;
    Signal fDone;
    std::thread fThread;
    std::thread::id fId;
};

// Runs the calling thread's run loop for exactly one pass.
inline void RunOnePass()
{
    CFRunLoopRunInMode(kCFRunLoopDefaultMode, 0, false);
}

} // namespace WorkLoopTesting
