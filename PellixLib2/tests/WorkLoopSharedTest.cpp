// The work loop's scheduling, in both builds: ordering, late and 0 ms repeating items, re-arming,
// changes to the list from callbacks, the per-thread loop and waiting for a run.

#include "ThreadWatch.h"
#include "WorkLoopTestSupport.h"

#include <CoreFoundationTesting/RunLoop.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <stdexcept>

using namespace std::chrono_literals;
using WorkLoopTesting::RunLog;
using WorkLoopTesting::RunOnePass;
using WorkLoopTesting::RunOnLoop;
using WorkLoopTesting::Signal;

namespace {

using Names = std::vector<std::string>;

TEST(WORKLOOP_SUITE, OneShotItemsAddedAtOneReadingRunInOnePassLatestFirst)
{
    DarwinTesting::ManualClock clock;
    WorkLoop loop;
    RunLog log;
    WorkItem a;
    WorkItem b;
    log.Watch(a, &loop, "A");
    log.Watch(b, &loop, "B");
    loop.AddWorkItem(&a);
    loop.AddWorkItem(&b);

    RunOnePass();

    EXPECT_EQ(log.TakeNames(), (Names{"B", "A"}));
    RunOnePass();
    EXPECT_TRUE(log.TakeNames().empty());
}

TEST(WORKLOOP_SUITE, ALateRepeatingTimerRunsOnceAndGoesOnFromThen)
{
    DarwinTesting::ManualClock clock;
    WorkLoop loop;
    RunLog log;
    WorkLoopTimer timer;
    log.Watch(timer, "tick");
    loop.AddTimer(&timer, 100, true);
    CFAbsoluteTime start = CFAbsoluteTimeGetCurrent();

    // Nothing serves the loop while the clock moves on.
    clock.advance(1s);
    CoreFoundationTesting::runUntilIdle();
    ASSERT_EQ(log.Count(), 1u);
    CoreFoundationTesting::advanceAndRun(clock, 250ms);

    std::vector<RunLog::Run> runs = log.Runs();
    ASSERT_EQ(runs.size(), 3u);
    for (size_t i = 0; i < runs.size(); ++i) {
        EXPECT_NEAR(runs[i].fTime - start, 1.0 + 0.1 * double(i), 1e-5) << i;
    }
    loop.RemoveItem(&timer);
}

TEST(WORKLOOP_SUITE, AZeroIntervalItemRunsOncePerTurnUntilRemovedFromAnotherThread)
{
    std::atomic<int> runs{0};
    std::atomic<int> runsWithoutTurn{0};
    std::atomic<bool> turned{false};
    Signal ran;
    WorkLoopTimer timer;
    struct Counters
    {
        std::atomic<int>& fRuns;
        std::atomic<int>& fRunsWithoutTurn;
        std::atomic<bool>& fTurned;
        Signal& fRan;
    } counters{runs, runsWithoutTurn, turned, ran};
    timer.Init(
        [](WorkLoopItem*, void* userData) {
            auto* counters = static_cast<Counters*>(userData);
            // A block queued now runs at the loop's next turn, before the next timer pass.
            if (counters->fRuns.load() > 0 && !counters->fTurned.load()) {
                ++counters->fRunsWithoutTurn;
            }
            counters->fTurned.store(false);
            std::atomic<bool>* turned = &counters->fTurned;
            CFRunLoopPerformBlock(CFRunLoopGetCurrent(), kCFRunLoopCommonModes,
                                  [turned] { turned->store(true); });
            ++counters->fRuns;
            counters->fRan.Notify();
            return true;
        },
        &counters);
    WorkLoopThread2 thread;
    thread.Start();
    thread.fWorkLoop->AddTimer(&timer, 0, true);
    ran.WaitUntil([&] { return runs.load() >= 50; });

    thread.fWorkLoop->RemoveItem(&timer);
    timer.WaitForRunToComplete();
    int removedAt = runs.load();
    RunOnLoop(*thread.fWorkLoop, [] {});
    RunOnLoop(*thread.fWorkLoop, [] {});

    EXPECT_EQ(runs.load(), removedAt);
    EXPECT_EQ(runsWithoutTurn.load(), 0);
    thread.Stop();
}

TEST(WORKLOOP_SUITE, AddTimerOnAListedTimerRearmsItFromTheCall)
{
    DarwinTesting::ManualClock clock;
    WorkLoop loop;
    RunLog log;
    WorkLoopTimer timer;
    log.Watch(timer, "tick");
    CFAbsoluteTime start = CFAbsoluteTimeGetCurrent();
    loop.AddTimer(&timer, 100, false);
    CoreFoundationTesting::advanceAndRun(clock, 60ms);
    loop.AddTimer(&timer, 100, false);

    CoreFoundationTesting::advanceAndRun(clock, 99ms);
    EXPECT_EQ(log.Count(), 0u);
    CoreFoundationTesting::advanceAndRun(clock, 1ms);
    ASSERT_EQ(log.Count(), 1u);
    EXPECT_NEAR(log.Runs()[0].fTime - start, 0.160, 1e-5);
}

TEST(WORKLOOP_SUITE, AddWorkItemOnAListedItemChangesNothing)
{
    DarwinTesting::ManualClock clock;
    WorkLoop loop;
    RunLog log;
    WorkItem item;
    log.Watch(item, &loop, "item");
    loop.AddWorkItem(&item);
    double listedAt = item.fNextFireTime;
    clock.advance(10ms);
    loop.AddWorkItem(&item);

    EXPECT_EQ(item.fNextFireTime, listedAt);
    CoreFoundationTesting::runUntilIdle();
    EXPECT_EQ(log.Count(), 1u);
}

TEST(WORKLOOP_SUITE, AnItemRemovedByAnEarlierCallbackOfThePassDoesNotRun)
{
    DarwinTesting::ManualClock clock;
    WorkLoop loop;
    RunLog log;
    WorkItem first;
    WorkItem second;
    log.Watch(first, &loop, "first");
    log.Watch(second, &loop, "second", [&] { loop.RemoveItem(&first); });
    loop.AddWorkItem(&first);
    loop.AddWorkItem(&second);

    RunOnePass();
    RunOnePass();

    EXPECT_EQ(log.TakeNames(), (Names{"second"}));
}

TEST(WORKLOOP_SUITE, CallbacksThatChangeTheListLeaveEachPassConsistent)
{
    DarwinTesting::ManualClock clock;
    WorkLoop loop;
    RunLog log;
    WorkItem a;
    WorkItem b;
    WorkItem c;
    WorkLoopTimer timer;
    bool firstRun = true;
    log.Watch(c, &loop, "C");
    // B lists itself again and adds C; A takes C out and lists it again; the timer re-arms itself.
    log.Watch(b, &loop, "B", [&] {
        if (firstRun) {
            loop.RemoveItem(&b);
            loop.AddWorkItem(&b);
            loop.AddWorkItem(&c);
        }
    });
    log.Watch(a, &loop, "A", [&] {
        if (firstRun) {
            loop.RemoveItem(&c);
            loop.AddWorkItem(&c);
            firstRun = false;
        }
    });
    log.Watch(timer, "T", [&] {
        loop.RemoveItem(&timer);
        loop.AddTimer(&timer, 0, false);
    });
    loop.AddTimer(&timer, 0, false);
    loop.AddWorkItem(&a);
    loop.AddWorkItem(&b);

    RunOnePass();
    EXPECT_EQ(log.TakeNames(), (Names{"B", "A", "T"}));
    RunOnePass();
    EXPECT_EQ(log.TakeNames(), (Names{"T", "C", "B"}));
    loop.RemoveItem(&timer);
    RunOnePass();
    EXPECT_TRUE(log.TakeNames().empty());
}

TEST(WORKLOOP_SUITE, TheLoopsOfOneThreadShareTheirItems)
{
    DarwinTesting::ManualClock clock;
    WorkLoop first;
    WorkLoop second;
    RunLog log;
    WorkItem kept;
    WorkItem removed;
    WorkItem other;
    log.Watch(kept, &first, "kept");
    log.Watch(removed, &first, "removed");
    log.Watch(other, &second, "other");
    first.AddWorkItem(&kept);
    first.AddWorkItem(&removed);
    second.AddWorkItem(&other);
    second.RemoveItem(&removed);

    RunOnePass();

    EXPECT_EQ(log.TakeNames(), (Names{"other", "kept"}));
}

TEST(WORKLOOP_SUITE, ExceptionsOfCallbacksAreDiscardedAndThePassGoesOn)
{
    DarwinTesting::ManualClock clock;
    WorkLoop loop;
    RunLog log;
    WorkItem quiet;
    WorkItem throwing;
    log.Watch(quiet, &loop, "quiet");
    log.Watch(throwing, &loop, "throwing", [] { throw std::runtime_error("callback failed"); });
    loop.AddWorkItem(&quiet);
    loop.AddWorkItem(&throwing);
    loop.AddWorkItem(nullptr);
    loop.AddTimer(nullptr, 0, true);
    loop.RemoveItem(nullptr);

    RunOnePass();

    EXPECT_EQ(log.TakeNames(), (Names{"throwing", "quiet"}));
}

TEST(WORKLOOP_SUITE, WaitForRunToCompleteWaitsForTheCallbackButNotInsideIt)
{
    std::atomic<bool> inside{false};
    std::atomic<bool> release{false};
    std::atomic<bool> waited{false};
    Signal changed;
    RunLog log;
    WorkLoopThread2 thread;
    thread.Start();
    // Goes before the thread, whose loop it refers to.
    WorkItem item;
    log.Watch(item, thread.fWorkLoop.get(), "item", [&] {
        // From inside its own callback the wait returns at once.
        item.WaitForRunToComplete();
        inside.store(true);
        changed.Notify();
        changed.WaitUntil([&] { return release.load(); });
    });
    item.Queue();
    changed.WaitUntil([&] { return inside.load(); });

    std::atomic<pid_t> waiterId{0};
    std::thread waiter([&] {
        waiterId.store(PellixTesting::KernelThreadId());
        item.WaitForRunToComplete();
        waited.store(true);
    });
    ASSERT_TRUE(DarwinTesting::eventually([&] { return waiterId.load() != 0; }));
    // Asleep in its wait, unless the wait returned with the callback still running.
    ASSERT_TRUE(
        DarwinTesting::eventually([&] { return waited.load() || PellixTesting::IsAsleep(waiterId.load()); }));
    EXPECT_FALSE(waited.load());
    release.store(true);
    changed.Notify();
    waiter.join();
    EXPECT_TRUE(waited.load());
}

} // namespace
