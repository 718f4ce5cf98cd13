// The work-loop thread classes, in both builds: the start handshake, hooks on the new thread,
// restarts, and stops that come early or from the loop's own thread.

#include "WorkLoopTestSupport.h"

#include <gtest/gtest.h>

#include <stdexcept>

using WorkLoopTesting::RunLog;
using WorkLoopTesting::RunOnLoop;
using WorkLoopTesting::Signal;

namespace {

// Records its hooks, with the thread of each.
class HookedThread : public WorkLoopThread
{
public:
    ~HookedThread() override { Stop(); }

    void WorkLoopThreadStarted() override
    {
        Record("started");
        if (fStarted) {
            fStarted(*this);
        }
    }
    void WorkLoopThreadStopped() override { Record("stopped"); }

    std::vector<std::pair<std::string, std::thread::id>> Events()
    {
        std::lock_guard lock(fLock);
        return fEvents;
    }

    std::function<void(HookedThread&)> fStarted;

private:
    void Record(std::string event)
    {
        std::lock_guard lock(fLock);
        fEvents.emplace_back(std::move(event), std::this_thread::get_id());
    }

    std::mutex fLock;
    std::vector<std::pair<std::string, std::thread::id>> fEvents;
};

template <typename Thread>
class WORKLOOP_THREADS_SUITE : public testing::Test
{};

using ThreadClasses = testing::Types<WorkLoopThread, WorkLoopThread2>;
TYPED_TEST_SUITE(WORKLOOP_THREADS_SUITE, ThreadClasses);

TYPED_TEST(WORKLOOP_THREADS_SUITE, ATimerAddedRightAfterStartRunsOnTheNewThread)
{
    RunLog log;
    WorkLoopTimer timer;
    log.Watch(timer, "timer");
    TypeParam thread;
    thread.Start();
    thread.fWorkLoop->AddTimer(&timer, 0, false);

    log.WaitForCount(1);
    EXPECT_NE(log.Runs()[0].fThread, std::this_thread::get_id());
    thread.Stop();
}

TYPED_TEST(WORKLOOP_THREADS_SUITE, ASecondStartKeepsTheRunningThread)
{
    RunLog log;
    WorkLoopTimer first;
    WorkLoopTimer second;
    log.Watch(first, "first");
    log.Watch(second, "second");
    TypeParam thread;
    thread.Start();
    WorkLoop* loop = thread.fWorkLoop.get();
    loop->AddTimer(&first, 0, false);
    log.WaitForCount(1);

    thread.Start();
    EXPECT_EQ(thread.fWorkLoop.get(), loop);
    loop->AddTimer(&second, 0, false);
    log.WaitForCount(2);
    EXPECT_EQ(log.Runs()[1].fThread, log.Runs()[0].fThread);
    thread.Stop();
}

TYPED_TEST(WORKLOOP_THREADS_SUITE, ARestartRunsAFreshLoopWithoutTheOldItems)
{
    RunLog log;
    WorkLoopTimer old;
    log.Watch(old, "old");
    TypeParam thread;
    thread.Start();
    thread.fWorkLoop->AddTimer(&old, 0, true);
    log.WaitForCount(3);
    thread.Stop();
    size_t oldRuns = log.Count();

    thread.Start();
    RunOnLoop(*thread.fWorkLoop, [] {});
    RunOnLoop(*thread.fWorkLoop, [] {});
    EXPECT_EQ(log.Count(), oldRuns);
    thread.Stop();
}

TYPED_TEST(WORKLOOP_THREADS_SUITE, StopOrDestructionRightAfterStartNeverHangs)
{
    for (int i = 0; i < 1000; ++i) {
        TypeParam thread;
        thread.Start();
        if (i % 2 == 0) {
            thread.Stop();
            // The loop went with the thread that made it.
            ASSERT_EQ(thread.fWorkLoop, nullptr) << i;
        }
    }
}

TYPED_TEST(WORKLOOP_THREADS_SUITE, StopIsIgnoredWhenStoppedAndStartWorksAfterIt)
{
    RunLog log;
    WorkLoopTimer timer;
    log.Watch(timer, "timer");
    TypeParam thread;
    thread.Stop();
    thread.Start();
    thread.fWorkLoop->AddTimer(&timer, 0, false);
    log.WaitForCount(1);
    thread.Stop();
    thread.Stop();
    EXPECT_EQ(log.Count(), 1u);
}

TEST(WORKLOOP_THREADS_SUITE, HooksRunOnTheNewThreadAroundTheItems)
{
    RunLog log;
    WorkLoopTimer timer;
    HookedThread thread;
    thread.fStarted = [&](HookedThread& self) {
        log.Watch(timer, "item");
        self.fWorkLoop->AddTimer(&timer, 0, true);
    };
    thread.Start();
    log.WaitForCount(3);
    thread.Stop();

    auto events = thread.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].first, "started");
    EXPECT_EQ(events[1].first, "stopped");
    EXPECT_NE(events[0].second, std::this_thread::get_id());
    EXPECT_EQ(events[1].second, events[0].second);
    for (const RunLog::Run& run : log.Runs()) {
        EXPECT_EQ(run.fThread, events[0].second);
    }
    EXPECT_EQ(thread.fWorkLoop, nullptr);
}

TEST(WORKLOOP_THREADS_SUITE, AFailingHookEndsTheThreadQuietly)
{
    HookedThread thread;
    thread.fStarted = [](HookedThread&) { throw std::runtime_error("hook failed"); };
    thread.Start();
    thread.Stop();
    auto events = thread.Events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].first, "started");
    // Started again, it runs.
    thread.fStarted = nullptr;
    thread.Start();
    thread.Stop();
    EXPECT_EQ(thread.Events().size(), 3u);
}

TEST(WORKLOOP_THREADS_SUITE, AFailedSetUpReturnsFromStartWithTheFailure)
{
    WorkLoopThreadRunner runner;
    std::atomic<bool> ran{false};
    std::exception_ptr failure = runner.Start(
        [&] { runner.Serve([] { throw std::runtime_error("no loop"); }, [&] { ran.store(true); }, [] {}); });
    ASSERT_TRUE(failure);
    EXPECT_THROW(std::rethrow_exception(failure), std::runtime_error);
    EXPECT_FALSE(ran.load());

    EXPECT_FALSE(runner.Start([&] { runner.Serve([] {}, [&] { ran.store(true); }, [] {}); }));
    runner.Stop();
    EXPECT_TRUE(ran.load());
}

TEST(WORKLOOP_THREADS_SUITE, AStopFromTheLoopsOwnThreadIsJoinedByTheNextCall)
{
    RunLog log;
    WorkLoopTimer timer;
    std::atomic<bool> stopped{false};
    Signal stopCalled;
    WorkLoopThread2 thread;
    thread.Start();
    log.Watch(timer, "timer", [&] {
        thread.Stop();
        stopped.store(true);
        stopCalled.Notify();
    });
    thread.fWorkLoop->AddTimer(&timer, 0, true);
    stopCalled.WaitUntil([&] { return stopped.load(); });

    // Joins the thread that stopped itself, then runs a new one.
    thread.Start();
    log.Watch(timer, "again");
    thread.fWorkLoop->AddTimer(&timer, 0, false);
    log.WaitForCount(2);
    thread.Stop();
    EXPECT_EQ(log.TakeNames(), (std::vector<std::string>{"timer", "again"}));
}

} // namespace
