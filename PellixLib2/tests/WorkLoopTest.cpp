// The library build's own rows of the work loop: loops on explicit run loops, moving between run
// loops, tasks handed to the loop's thread, and destruction from other threads.

#include "ThreadWatch.h"
#include "WorkLoopTestSupport.h"

#include <CoreFoundationTesting/RunLoop.h>
#include <Darwin/Clock.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

using namespace std::chrono_literals;
using DarwinTesting::eventually;
using WorkLoopTesting::LoopThread;
using WorkLoopTesting::RunLog;
using WorkLoopTesting::RunOnePass;

namespace {

using Names = std::vector<std::string>;

TEST(WorkLoop, RunTaskSyncOnTheLoopsThreadRunsTheTaskWithoutTurningTheLoop)
{
    WorkLoop loop;
    bool turned = false;
    CFRunLoopPerformBlock(CFRunLoopGetCurrent(), kCFRunLoopCommonModes, [&] { turned = true; });
    bool ran = false;

    loop.runTaskSync([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_FALSE(turned);
    EXPECT_THROW(loop.runTaskSync([] { throw std::runtime_error("task failed"); }), std::runtime_error);

    CoreFoundationTesting::runUntilIdle();
    EXPECT_TRUE(turned);
}

TEST(WorkLoop, RunTaskSyncFromAnotherThreadWaitsForTheLoopsThreadAndRethrows)
{
    LoopThread thread;
    WorkLoop loop(thread.Loop());
    loop.Run();
    std::thread::id ranOn;

    loop.runTaskSync([&] { ranOn = std::this_thread::get_id(); });
    EXPECT_EQ(ranOn, thread.Id());
    EXPECT_THROW(loop.runTaskSync([] { throw std::runtime_error("task failed"); }), std::runtime_error);

    // The failed task has given back its count: moving the loop does not wait for it.
    EXPECT_TRUE(loop.setRunLoop(nullptr));
}

TEST(WorkLoop, RunTaskSyncWithoutARunLoopReturnsWithoutRunningTheTask)
{
    WorkLoop loop(nullptr);
    bool ran = false;
    loop.runTaskSync([&] { ran = true; });
    EXPECT_FALSE(ran);
}

TEST(WorkLoop, RunTaskSyncReturnsWithoutRunningTheTaskWhenTheLoopGoesFirst)
{
    DarwinTesting::ManualClock clock;
    LoopThread thread;
    auto loop = std::make_unique<WorkLoop>(thread.Loop());
    // A timer an hour ahead: the loop's thread sleeps until then.
    WorkLoopTimer later;
    loop->Run();
    loop->AddTimer(&later, 3600000, false);
    ASSERT_TRUE(eventually([&] { return clock.nextDeadline() != DarwinClock::kNever; }));
    // With the gate closed, the task waits until the loop goes.
    loop->Stop();

    std::atomic<bool> ran{false};
    std::atomic<bool> returned{false};
    std::thread caller([&ran, &returned, posting = loop.get()] {
        posting->runTaskSync([&] { ran.store(true); });
        returned.store(true);
    });
    // Listing the task wakes the loop's thread, whose pass finds nothing it may run and leaves the
    // timer unarmed. The caller is then inside runTaskSync, past its use of the WorkLoop.
    ASSERT_TRUE(eventually([&] { return clock.nextDeadline() == DarwinClock::kNever; }));
    EXPECT_FALSE(returned.load());

    loop.reset();
    caller.join();
    EXPECT_TRUE(returned.load());
    EXPECT_FALSE(ran.load());
}

TEST(WorkLoop, AnExplicitLoopRunsItemsOnlyBetweenRunAndStop)
{
    DarwinTesting::ManualClock clock;
    WorkLoop loop(CFRunLoopGetCurrent());
    RunLog log;
    WorkItem early;
    WorkItem late;
    log.Watch(early, &loop, "early");
    log.Watch(late, &loop, "late");
    loop.AddWorkItem(&early);
    CoreFoundationTesting::runUntilIdle();
    EXPECT_TRUE(log.TakeNames().empty());

    loop.Run();
    CoreFoundationTesting::runUntilIdle();
    EXPECT_EQ(log.TakeNames(), (Names{"early"}));

    loop.Stop();
    loop.AddWorkItem(&late);
    CoreFoundationTesting::runUntilIdle();
    EXPECT_TRUE(log.TakeNames().empty());
}

TEST(WorkLoop, AsyncTasksOfADestroyedLoopNeverRunAndAreFreed)
{
    bool ran = false;
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    {
        WorkLoop loop(CFRunLoopGetCurrent());
        loop.Run();
        loop.runTaskAsync([&ran, token] { ran = true; });
        token.reset();
    }
    CoreFoundationTesting::runUntilIdle();
    EXPECT_FALSE(ran);
    EXPECT_TRUE(watch.expired());
}

TEST(WorkLoop, AsyncTasksOutliveTheWorkLoopTheyWerePostedThrough)
{
    DarwinTesting::ManualClock clock;
    WorkLoop keeper;
    std::vector<int> ran;
    {
        WorkLoop poster;
        poster.runTaskAsync([&] { ran.push_back(1); });
        poster.runTaskAsync([&] { throw std::runtime_error("task failed"); });
        poster.runTaskAsync([&] { ran.push_back(3); });
    }
    CoreFoundationTesting::runUntilIdle();
    EXPECT_EQ(ran, (std::vector<int>{3, 1}));
}

TEST(WorkLoop, AsyncTasksWaitForARunLoop)
{
    WorkLoop loop(nullptr);
    loop.Run();
    bool ran = false;
    loop.runTaskAsync([&] { ran = true; });
    CoreFoundationTesting::runUntilIdle();
    EXPECT_FALSE(ran);

    ASSERT_TRUE(loop.setRunLoop(CFRunLoopGetCurrent()));
    CoreFoundationTesting::runUntilIdle();
    EXPECT_TRUE(ran);
}

TEST(WorkLoop, MovingBetweenRunLoopsKeepsTheItemsAndTheirTimes)
{
    DarwinTesting::ManualClock clock;
    WorkLoop loop(CFRunLoopGetCurrent());
    loop.Run();
    RunLog log;
    WorkLoopTimer late;
    WorkLoopTimer early;
    log.Watch(late, "late");
    log.Watch(early, "early");
    CFAbsoluteTime start = CFAbsoluteTimeGetCurrent();
    // The later item is listed first.
    loop.AddTimer(&late, 60000, false);
    loop.AddTimer(&early, 10, false);

    ASSERT_TRUE(loop.setRunLoop(nullptr));
    CoreFoundationTesting::advanceAndRun(clock, 5ms);
    EXPECT_EQ(log.Count(), 0u);
    ASSERT_TRUE(loop.setRunLoop(CFRunLoopGetCurrent()));
    CoreFoundationTesting::advanceAndRun(clock, 5ms);
    CoreFoundationTesting::advanceAndRun(clock, 60s);

    std::vector<RunLog::Run> runs = log.Runs();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].fName, "early");
    EXPECT_NEAR(runs[0].fTime - start, 0.010, 1e-5);
    EXPECT_EQ(runs[1].fName, "late");
    EXPECT_NEAR(runs[1].fTime - start, 60.0, 1e-5);
}

TEST(WorkLoop, AThreadBoundLoopRefusesAnotherRunLoop)
{
    DarwinTesting::ManualClock clock;
    WorkLoop loop;
    RunLog log;
    WorkItem item;
    log.Watch(item, &loop, "item");
    item.Queue();

    EXPECT_FALSE(loop.setRunLoop(nullptr));
    RunOnePass();
    EXPECT_EQ(log.TakeNames(), (Names{"item"}));
}

TEST(WorkLoop, DestroyingALoopOnAnotherThreadsRunningLoopEndsItsCallbacks)
{
    LoopThread thread;
    RunLog log;
    WorkLoopTimer spin;
    log.Watch(spin, "spin");
    auto loop = std::make_unique<WorkLoop>(thread.Loop());
    loop->Run();
    loop->AddTimer(&spin, 0, true);
    log.WaitForCount(10);

    loop.reset();
    size_t ranBefore = log.Count();
    thread.RunOnThread([] {});
    thread.RunOnThread([] {});

    EXPECT_EQ(log.Count(), ranBefore);
}

TEST(WorkLoop, DestroyingALoopWhoseRunLoopThreadHasEndedReturns)
{
    LoopThread thread;
    WorkLoopTimer timer;
    auto loop = std::make_unique<WorkLoop>(thread.Loop());
    loop->Run();
    loop->AddTimer(&timer, 1000, true);
    thread.Stop();
    CFIndex held = CFGetRetainCount(thread.Loop());

    loop.reset();
    // It has let go of the dead run loop.
    EXPECT_EQ(CFGetRetainCount(thread.Loop()), held - 1);
}

TEST(WorkLoop, MillisecondsBecomeSecondsByMultiplying)
{
    WorkLoop loop;
    WorkLoopTimer timer;
    loop.AddTimer(&timer, 9, false);
    EXPECT_EQ(timer.fInterval, 9 * 0.001);
    EXPECT_NE(timer.fInterval, 9 / 1000.0);
    loop.RemoveItem(&timer);
}

TEST(WorkLoop, CppWorkItemsRunTheirFunction)
{
    DarwinTesting::ManualClock clock;
    WorkLoop loop;
    Pellix::CppWorkItem item;
    Pellix::CppWorkItem empty;
    int runs = 0;
    item.Init(&loop, Pellix::CppWorkItem::DoFunc, &item);
    item.fFunc = [&] { return ++runs > 0; };
    empty.Init(&loop, Pellix::CppWorkItem::DoFunc, &empty);
    empty.Queue();
    item.Queue();

    RunOnePass();
    EXPECT_EQ(runs, 1);
}

} // namespace
