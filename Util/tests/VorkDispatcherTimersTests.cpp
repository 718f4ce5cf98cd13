#include "VorkDeadline.h"

#include <RunLoopDispatcher.h>

#include <CoreFoundation/CFDate.h>
#include <CoreFoundationTesting/RunLoop.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Dispatcher = vork::RunLoopDispatcher<std::function<void()>, 100>;
using Timer = Dispatcher::Timer;

// The test thread owns the dispatcher; time moves only when the test advances it.
class DispatcherTimers : public testing::Test
{
protected:
    void advance(std::chrono::nanoseconds by) { CoreFoundationTesting::advanceAndRun(fClock, by); }

    // Serves the loop, one wake delay at a time, until `done` is set.
    void serveUntil(const std::atomic<bool>& done)
    {
        ASSERT_TRUE(VorkTesting::eventually([&] {
            advance(100us);
            return done.load();
        }));
    }

    // Milliseconds since the test began, rounded to whole milliseconds.
    long now() const { return std::lround((CFAbsoluteTimeGetCurrent() - fStart) * 1000); }

    std::function<void()> record(std::string name)
    {
        return [this, name] { fFired.push_back(name + "@" + std::to_string(now())); };
    }

    DarwinTesting::ManualClock fClock;
    const CFAbsoluteTime fStart = CFAbsoluteTimeGetCurrent();
    std::vector<std::string> fFired;
    std::unique_ptr<Dispatcher> fDispatcher =
        std::make_unique<Dispatcher>([](const std::function<void()>& message) { message(); });
};

using Fired = std::vector<std::string>;

TEST_F(DispatcherTimers, BlockedPeriodicTimerFiresOnceLateThenKeepsItsPhase)
{
    fDispatcher->postPeriodic(1000ms, record("tick"));
    // The loop is not served while the clock moves on 3.5 s.
    fClock.advance(3500ms);
    CoreFoundationTesting::runUntilIdle();
    EXPECT_EQ(fFired, (Fired{"tick@3500"}));
    advance(500ms);
    EXPECT_EQ(fFired, (Fired{"tick@3500", "tick@4000"}));
    advance(1000ms);
    EXPECT_EQ(fFired, (Fired{"tick@3500", "tick@4000", "tick@5000"}));
}

TEST_F(DispatcherTimers, PeriodicTimerFiresOnceOnEachBoundary)
{
    fDispatcher->postPeriodic(1000ms, record("tick"));
    advance(1000ms);
    advance(1000ms);
    EXPECT_EQ(fFired, (Fired{"tick@1000", "tick@2000"}));
}

TEST_F(DispatcherTimers, TimedPostFiresOnceEvenWhenItsPointerIsDropped)
{
    fDispatcher->postTimed(10ms, record("once"));
    advance(10ms);
    advance(100ms);
    EXPECT_EQ(fFired, (Fired{"once@10"}));
}

TEST_F(DispatcherTimers, ForeignStopReturnsOnceTheOwnerRemovedTheTimer)
{
    auto timer = fDispatcher->postPeriodic(10ms, record("tick"));
    std::atomic<bool> returned{false};
    std::thread stopper([&] {
        fDispatcher->stopTimer(timer);
        returned = true;
    });
    EXPECT_FALSE(returned);
    serveUntil(returned);
    stopper.join();
    const std::size_t firedBeforeReturn = fFired.size();
    advance(100ms);
    EXPECT_EQ(fFired.size(), firedBeforeReturn);
}

TEST_F(DispatcherTimers, TimerStoppedFromItsOwnMessageDoesNotFireAgain)
{
    std::shared_ptr<Timer> timer;
    timer = fDispatcher->postPeriodic(10ms, [&] {
        record("tick")();
        fDispatcher->stopTimer(timer);
    });
    advance(100ms);
    EXPECT_EQ(fFired, (Fired{"tick@10"}));
}

TEST_F(DispatcherTimers, StoppingUnlistedTimerDoesNothing)
{
    fDispatcher->postPeriodic(10ms, record("listed"));
    auto unlisted = std::make_shared<Timer>(Timer{record("unlisted"), 10ms, true});
    fDispatcher->stopTimer(unlisted);
    std::atomic<bool> returned{false};
    std::thread stopper([&] {
        fDispatcher->stopTimer(unlisted);
        returned = true;
    });
    serveUntil(returned);
    stopper.join();
    const std::size_t firedBefore = fFired.size();
    advance(10ms);
    ASSERT_EQ(fFired.size(), firedBefore + 1);
    for (const auto& fired : fFired) {
        EXPECT_EQ(fired.substr(0, 7), "listed@");
    }
}

TEST_F(DispatcherTimers, StartingTwiceKeepsOneEntryAndItsPeriod)
{
    auto timer = fDispatcher->postPeriodic(100ms, record("tick"));
    advance(50ms);
    fDispatcher->startTimer(timer);
    advance(150ms);
    EXPECT_EQ(fFired, (Fired{"tick@100", "tick@200"}));
}

TEST_F(DispatcherTimers, TimersDueTogetherFireInConsecutiveServices)
{
    fDispatcher->postTimed(10ms, record("a"));
    fDispatcher->postTimed(10ms, record("b"));
    advance(10ms);
    ASSERT_EQ(fFired.size(), 2u);
    EXPECT_NE(fFired[0], fFired[1]);
    EXPECT_EQ(fFired[0].substr(1), "@10");
    EXPECT_EQ(fFired[1].substr(1), "@10");
}

TEST_F(DispatcherTimers, ThrowingTimerMessageKeepsThePeriodicSchedule)
{
    fDispatcher->postPeriodic(100ms, [&] {
        record("tick")();
        throw std::runtime_error("failed");
    });
    fDispatcher->postTimed(50ms, [&] {
        record("once")();
        throw std::runtime_error("failed");
    });
    advance(300ms);
    EXPECT_EQ(fFired, (Fired{"once@50", "tick@100", "tick@200", "tick@300"}));
}

TEST_F(DispatcherTimers, TimerMessageThatStartsAndStopsOthersLeavesListConsistent)
{
    auto stopped = fDispatcher->postPeriodic(150ms, record("stopped"));
    auto started = std::make_shared<Timer>(Timer{record("started"), 50ms, false});
    fDispatcher->postPeriodic(100ms, [&] {
        record("tick")();
        fDispatcher->stopTimer(stopped);
        fDispatcher->startTimer(started);
    });
    advance(300ms);
    EXPECT_EQ(fFired, (Fired{"tick@100", "started@150", "tick@200", "started@250", "tick@300"}));
}

TEST_F(DispatcherTimers, TimerRestartedFromItsOwnMessageRunsAgain)
{
    std::shared_ptr<Timer> timer;
    timer = fDispatcher->postTimed(10ms, [&] {
        record("once")();
        if (fFired.size() == 1) {
            fDispatcher->stopTimer(timer);
            fDispatcher->startTimer(timer);
        }
    });
    advance(100ms);
    EXPECT_EQ(fFired, (Fired{"once@10", "once@20"}));
}

TEST_F(DispatcherTimers, NoneFiresAfterTheDispatcherIsDestroyed)
{
    fDispatcher->postPeriodic(10ms, record("tick"));
    fDispatcher->postTimed(20ms, record("once"));
    advance(10ms);
    fDispatcher.reset();
    advance(100ms);
    EXPECT_EQ(fFired, (Fired{"tick@10"}));
}

} // namespace
