// Pellix::Thread with its run loop, handler and priorities, and the cancellable WorkThread.

#include "ThreadWatch.h"

#include "Util/Mutex.h"
#include "Util/Thread.h"
#include "Util/ThreadPriority.h"
#include "Util/WorkThread.h"

#include <Darwin/Clock.h>
#include <DarwinTesting/LogCapture.h>
#include <DarwinTesting/ManualClock.h>
#include <DarwinTesting/ThreadPolicy.h>
#include <mach/mach.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using DarwinTesting::eventually;
using DarwinTesting::LogCapture;
using DarwinTesting::LogSource;
using DarwinTesting::ManualClock;
using Pellix::Thread;
using Pellix::WorkThread;
using PellixTesting::ThreadEnd;

namespace {

// Records its one run, and can hold it until released.
class RecordingHandler : public Thread::RunHandler
{
public:
    explicit RecordingHandler(bool hold = false) : fHold(hold) {}

    void DoRun() override
    {
        fRunLoop.store(CFRunLoopGetCurrent());
        fThread.store(pthread_mach_thread_np(pthread_self()));
        fRuns.fetch_add(1);
        fHoldLock.Lock("DoRun");
        while (fHold) {
            fHoldLock.WaitForConditionEx(1000.0);
        }
        fHoldLock.Unlock();
        fReturned.store(true);
    }

    void Release()
    {
        fHoldLock.Lock("Release");
        fHold = false;
        fHoldLock.SignalCondition();
        fHoldLock.Unlock();
    }

    bool Ran() const
    {
        return eventually([this] { return fRuns.load() > 0; });
    }

    std::atomic<CFRunLoopRef> fRunLoop{nullptr};
    std::atomic<mach_port_t> fThread{MACH_PORT_NULL};
    std::atomic<int> fRuns{0};
    std::atomic<bool> fReturned{false};

private:
    Pellix::Mutex fHoldLock;
    bool fHold;
};

TEST(Threads, AThreadWithoutHandlerRunsItsRunLoop)
{
    Thread thread(nullptr, Thread::kNormalPriority);
    CFRunLoopRef runLoop = thread.GetRunLoop();
    EXPECT_NE(runLoop, nullptr);
    EXPECT_NE(runLoop, CFRunLoopGetCurrent());
}

TEST(Threads, TheHandlerRunsOnceOnTheThreadsRunLoop)
{
    RecordingHandler handler(true);
    Thread thread(&handler, Thread::kNormalPriority);
    ASSERT_TRUE(handler.Ran());
    EXPECT_EQ(thread.GetRunLoop(), handler.fRunLoop.load());
    EXPECT_NE(handler.fRunLoop.load(), CFRunLoopGetCurrent());
    handler.Release();
    ASSERT_TRUE(eventually([&] { return handler.fReturned.load(); }));
    EXPECT_EQ(handler.fRuns.load(), 1);
}

// Stops its thread's run loop from its run.
class LeavingHandler : public Thread::RunHandler
{
public:
    void DoRun() override
    {
        fLeft.store(CFRunLoopGetCurrent());
        CFRunLoopStop(CFRunLoopGetCurrent());
    }

    std::atomic<CFRunLoopRef> fLeft{nullptr};
};

TEST(Threads, TheRunLoopIsGoneOnceTheThreadHasLeftIt)
{
    LeavingHandler handler;
    Thread thread(&handler, Thread::kNormalPriority);
    ASSERT_TRUE(eventually([&] { return handler.fLeft.load() != nullptr; }));
    EXPECT_TRUE(eventually([&] { return thread.GetRunLoop() == nullptr; }));
}

// Runs a job, and tells when its thread has ended.
class JobHandler : public Thread::RunHandler
{
public:
    explicit JobHandler(std::function<void()> job) : fJob(std::move(job)) {}

    void DoRun() override
    {
        thread_local ThreadEnd end;
        end.fEnded = &fThreadEnded;
        fStarted.store(true);
        fJob();
    }

    std::function<void()> fJob;
    std::atomic<bool> fStarted{false};
    std::atomic<bool> fThreadEnded{false};
};

TEST(Threads, AHandlerThatOutlivesTheTwoSecondBoundFindsItsDataStillThere)
{
    ManualClock clock;
    LogCapture capture;
    std::unique_ptr<Thread> thread;
    std::atomic<bool> destroyed{false};
    // The job moves the clock itself: its own thread is busy with it, so no other thread can.
    JobHandler handler([&] {
        EXPECT_TRUE(eventually([&] {
            clock.advance(100ms);
            return destroyed.load();
        }));
    });
    thread = std::make_unique<Thread>(&handler, Thread::kNormalPriority);
    ASSERT_TRUE(eventually([&] { return handler.fStarted.load(); }));

    // Waits 2 seconds of clock time for the job, then gives up; the job returns later and its
    // thread then leaves its run loop and ends, on data that must still be there.
    std::thread destroyer([&] {
        thread.reset();
        destroyed.store(true);
    });
    destroyer.join();
    ASSERT_TRUE(eventually([&] { return handler.fThreadEnded.load(); }));
    EXPECT_EQ(capture.texts(LogSource::OSLog), std::vector<std::string>{"Mutex::WaitForCondition timed out"});
}

struct PriorityCase
{
    const char* fName;
    Thread::ThreadPriority fPriority;
    thread_policy_flavor_t fFlavor;
    std::vector<integer_t> fValues;
    const char* fFailure;
};

class ThreadPriorities : public testing::TestWithParam<PriorityCase>
{};

TEST_P(ThreadPriorities, SetTheRecordedPolicy)
{
    const PriorityCase& priority = GetParam();
    std::thread([&] {
        mach_port_t self = pthread_mach_thread_np(pthread_self());
        LogCapture capture;
        Pellix::SetThreadPriority(pthread_self(), priority.fPriority);
        EXPECT_EQ(DarwinTesting::recordedThreadPolicy(self, priority.fFlavor), priority.fValues);
        EXPECT_TRUE(capture.texts(LogSource::OSLog).empty());
    }).join();
}

TEST_P(ThreadPriorities, LogRefusedPolicies)
{
    const PriorityCase& priority = GetParam();
    std::thread([&] {
        mach_port_t self = pthread_mach_thread_np(pthread_self());
        LogCapture capture;
        DarwinTesting::failNextThreadPolicySet(self, KERN_FAILURE);
        Pellix::SetThreadPriority(pthread_self(), priority.fPriority);
        EXPECT_EQ(capture.texts(LogSource::OSLog), std::vector<std::string>{priority.fFailure});
        EXPECT_EQ(DarwinTesting::recordedThreadPolicy(self, priority.fFlavor), std::nullopt);
    }).join();
}

INSTANTIATE_TEST_SUITE_P(
    Threads, ThreadPriorities,
    testing::Values(
        PriorityCase{"Low", Thread::kLowPriority, THREAD_PRECEDENCE_POLICY, {-63}, "SetPriority low failed"},
        PriorityCase{
            "Normal", Thread::kNormalPriority, THREAD_STANDARD_POLICY, {}, "SetPriority normal failed"},
        PriorityCase{"High",
                     Thread::kHighPriority,
                     THREAD_TIME_CONSTRAINT_POLICY,
                     {2500000, 3000000, 4000000, 1},
                     "SetPriority high failed"}),
    [](const testing::TestParamInfo<PriorityCase>& info) { return info.param.fName; });

TEST(Threads, OtherPrioritiesChangeNothing)
{
    std::thread([] {
        mach_port_t self = pthread_mach_thread_np(pthread_self());
        LogCapture capture;
        Pellix::SetThreadPriority(pthread_self(), Thread::ThreadPriority(7));
        for (thread_policy_flavor_t flavor :
             {THREAD_STANDARD_POLICY, THREAD_TIME_CONSTRAINT_POLICY, THREAD_PRECEDENCE_POLICY}) {
            EXPECT_EQ(DarwinTesting::recordedThreadPolicy(self, flavor), std::nullopt) << flavor;
        }
        EXPECT_TRUE(capture.texts(LogSource::OSLog).empty());
    }).join();
}

TEST(Threads, AFailedReadOfTheTimeConstraintIsLogged)
{
    std::thread([] {
        mach_port_t self = pthread_mach_thread_np(pthread_self());
        LogCapture capture;
        DarwinTesting::failNextThreadPolicyGet(self, KERN_FAILURE);
        Pellix::SetThreadPriority(pthread_self(), Thread::kHighPriority);
        EXPECT_EQ(capture.texts(LogSource::OSLog), std::vector<std::string>{"SetPriority high failed"});
        EXPECT_EQ(DarwinTesting::recordedThreadPolicy(self, THREAD_TIME_CONSTRAINT_POLICY), std::nullopt);
    }).join();
}

TEST(Threads, ANewThreadGetsItsPriority)
{
    RecordingHandler handler;
    Thread thread(&handler, Thread::kHighPriority);
    ASSERT_TRUE(handler.Ran());
    EXPECT_EQ(DarwinTesting::recordedThreadPolicy(handler.fThread.load(), THREAD_TIME_CONSTRAINT_POLICY),
              (std::vector<integer_t>{2500000, 3000000, 4000000, 1}));
}

// A job that works until it is no longer asked to, counting its runs.
class CountingWork : public WorkThread
{
public:
    // `stopped`, when given, tells at destruction whether every job had returned.
    explicit CountingWork(std::atomic<bool>* stopped = nullptr)
        : WorkThread(Thread::kNormalPriority), fStopped(stopped)
    {}
    ~CountingWork() override
    {
        StopWork();
        if (fStopped) {
            fStopped->store(fEnded.load() == fStarted.load());
        }
    }

    void DoRun() override
    {
        fStarted.fetch_add(1);
        EXPECT_TRUE(eventually([this] { return GetState() != 3; }));
        fEnded.fetch_add(1);
    }
    void WorkCompleted() override {}

    std::atomic<int> fStarted{0};
    std::atomic<int> fEnded{0};

private:
    std::atomic<bool>* fStopped;
};

TEST(Threads, AWorkThreadRefusesASecondStartWhileWorking)
{
    CountingWork work;
    ASSERT_TRUE(work.StartWork());
    EXPECT_EQ(work.GetState(), 3);
    EXPECT_FALSE(work.StartWork());
    work.StopWork();
    EXPECT_EQ(work.GetState(), 1);
}

TEST(Threads, ACancelIsPickedUpByThePollWhichStopsTheWorkWithoutJoiningItself)
{
    ManualClock clock;
    CountingWork work;
    ASSERT_TRUE(work.StartWork());
    ASSERT_TRUE(eventually([&] { return work.fStarted.load() > 0; }));
    work.CancelWork();
    EXPECT_EQ(work.GetState(), 0);
    // The poll arms its run loop for 0.1 s from the start.
    ASSERT_TRUE(eventually([&] {
        return clock.nextDeadline() != DarwinClock::kNever && clock.nextDeadline() > DarwinClock::hostNow();
    }));
    clock.advance(100ms);
    ASSERT_TRUE(eventually([&] { return work.GetState() == 1; }));
    EXPECT_EQ(work.fEnded.load(), 1);

    // Idle and without a job thread, it starts again.
    ASSERT_TRUE(work.StartWork());
    ASSERT_TRUE(eventually([&] { return work.fStarted.load() == 2; }));
    work.StopWork();
    EXPECT_EQ(work.fEnded.load(), 2);
}

TEST(Threads, AWorkingWorkThreadCanBeDestroyed)
{
    std::atomic<bool> stopped{false};
    auto work = std::make_unique<CountingWork>(&stopped);
    ASSERT_TRUE(work->StartWork());
    ASSERT_TRUE(eventually([&] { return work->fStarted.load() == 1; }));
    work.reset();
    EXPECT_TRUE(stopped.load());
}

TEST(WorkThreadStress, StartsCancelsAndStopsFromTwoThreadsDeleteEachJobOnce)
{
    CountingWork work;
    std::thread starter([&] {
        for (int i = 0; i < 100; ++i) {
            work.StartWork();
            std::this_thread::sleep_for(1ms);
            work.CancelWork();
        }
    });
    std::thread stopper([&] {
        for (int i = 0; i < 100; ++i) {
            std::this_thread::sleep_for(1ms);
            work.StopWork();
            work.CancelWork();
        }
    });
    starter.join();
    stopper.join();
    work.StopWork();
    EXPECT_EQ(work.GetState(), 1);
    EXPECT_EQ(work.fStarted.load(), work.fEnded.load());
}

} // namespace
