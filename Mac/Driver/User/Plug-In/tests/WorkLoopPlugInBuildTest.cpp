// The plug-in build's own rows of the work loop: thread-bound loops only, Run and Stop on the run
// loop, no gates, milliseconds divided, and destruction from another thread.

#include "WorkLoopTestSupport.h"

#include <CoreFoundationTesting/RunLoop.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <memory>
#include <type_traits>

using WorkLoopTesting::LoopThread;
using WorkLoopTesting::RunLog;
using WorkLoopTesting::RunOnePass;

namespace {

TEST(WorkLoopPlugInBuild, LoopsAreBoundToTheirThreadOnly)
{
    static_assert(std::is_default_constructible_v<::WorkLoop>);
    static_assert(!std::is_constructible_v<::WorkLoop, CFRunLoopRef>);
    DarwinTesting::ManualClock clock;
    WorkLoop loop;
    RunLog log;
    WorkItem item;
    log.Watch(item, &loop, "item");
    item.Queue();

    RunOnePass();

    ASSERT_EQ(log.Count(), 1u);
    EXPECT_EQ(log.Runs()[0].fThread, std::this_thread::get_id());
}

TEST(WorkLoopPlugInBuild, RunRunsTheRunLoopUntilStop)
{
    std::thread::id ranOn;
    bool returned = false;
    std::thread thread([&] {
        WorkLoop loop;
        RunLog log;
        WorkItem item;
        log.Watch(item, &loop, "item", [&] { loop.Stop(); });
        item.Queue();
        loop.Run();
        returned = true;
        ranOn = log.Runs().at(0).fThread;
    });
    std::thread::id threadId = thread.get_id();
    thread.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(ranOn, threadId);
}

TEST(WorkLoopPlugInBuild, ItemsRunWheneverTheTimerFires)
{
    DarwinTesting::ManualClock clock;
    WorkLoop loop;
    RunLog log;
    WorkLoopTimer timer;
    log.Watch(timer, "timer");
    loop.AddTimer(&timer, 10, false);
    loop.Stop();

    // Neither Run nor Stop gates the items: the run loop's own turns run them.
    CoreFoundationTesting::advanceAndRun(clock, std::chrono::milliseconds(10));
    EXPECT_EQ(log.Count(), 1u);
}

TEST(WorkLoopPlugInBuild, MillisecondsBecomeSecondsByDividing)
{
    WorkLoop loop;
    WorkLoopTimer timer;
    loop.AddTimer(&timer, 9, false);
    EXPECT_EQ(timer.fInterval, 9 / 1000.0);
    EXPECT_NE(timer.fInterval, 9 * 0.001);
    loop.RemoveItem(&timer);
}

TEST(WorkLoopPlugInBuild, DestructionFromAnotherThreadDoesNotWaitForTheLoopsThread)
{
    LoopThread thread;
    RunLog log;
    WorkLoopTimer timer;
    log.Watch(timer, "timer");
    std::unique_ptr<WorkLoop> loop;
    thread.RunOnThread([&] {
        loop = std::make_unique<WorkLoop>();
        loop->AddTimer(&timer, 0, true);
    });
    log.WaitForCount(3);

    // The timer is invalidated here; the loop's thread runs on without it.
    loop.reset();
    size_t ranBefore = log.Count();
    thread.RunOnThread([] {});
    thread.RunOnThread([] {});
    EXPECT_EQ(log.Count(), ranBefore);
}

} // namespace
