// Pellix::Timer on the manual clock, and under concurrent starts, stops and destruction.

#include "ThreadWatch.h"

#include "Util/Timer.h"

#include <Darwin/Clock.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using DarwinTesting::eventually;
using DarwinTesting::ManualClock;

namespace {

// Counts its ticks and records the clock at each; stops in its own destructor, as a subclass must.
class CountingTimer : public Pellix::Timer
{
public:
    ~CountingTimer() override
    {
        Stop();
        fGone.store(true);
    }

    void DoTimerCallback() override
    {
        EXPECT_FALSE(fGone.load()) << "a tick reached a stopped subclass";
        fTicks.fetch_add(1);
        fLastTick.store(DarwinClock::hostNow());
    }

    int Ticks() const { return fTicks.load(); }
    uint64_t LastTick() const { return fLastTick.load(); }

private:
    std::atomic<int> fTicks{0};
    std::atomic<uint64_t> fLastTick{0};
    std::atomic<bool> fGone{false};
};

// Whether the timer's thread arms its run loop for the next tick.
bool Armed(const ManualClock& clock)
{
    return eventually([&] {
        return clock.nextDeadline() != DarwinClock::kNever && clock.nextDeadline() > DarwinClock::hostNow();
    });
}

TEST(PellixTimer, TicksOncePerIntervalUntilStopped)
{
    ManualClock clock;
    CountingTimer timer;
    timer.SetInterval(0.25);
    timer.Start();
    EXPECT_TRUE(timer.Started());
    uint64_t start = DarwinClock::hostNow();
    ASSERT_TRUE(Armed(clock));

    clock.advance(249ms);
    EXPECT_EQ(timer.Ticks(), 0);
    clock.advance(1ms);
    EXPECT_EQ(timer.Ticks(), 1);
    ASSERT_TRUE(Armed(clock));
    clock.advance(250ms);
    EXPECT_EQ(timer.Ticks(), 2);
    EXPECT_EQ(timer.LastTick() - start, 500000000u);

    timer.Stop();
    EXPECT_FALSE(timer.Started());
    clock.advance(1s);
    EXPECT_EQ(timer.Ticks(), 2);
}

TEST(PellixTimer, TheIntervalTakesEffectAtTheNextStartAndASecondStartIsIgnored)
{
    ManualClock clock;
    CountingTimer timer;
    timer.SetInterval(0.25);
    timer.Start();
    timer.SetInterval(0.5);
    timer.Start();
    ASSERT_TRUE(Armed(clock));
    clock.advance(250ms);
    EXPECT_EQ(timer.Ticks(), 1);

    timer.Stop();
    timer.Start();
    ASSERT_TRUE(Armed(clock));
    clock.advance(250ms);
    EXPECT_EQ(timer.Ticks(), 1);
    ASSERT_TRUE(Armed(clock));
    clock.advance(250ms);
    EXPECT_EQ(timer.Ticks(), 2);
    timer.Stop();
}

// Tells when the thread of its ticks has ended.
class ThreadWatchingTimer : public CountingTimer
{
public:
    ~ThreadWatchingTimer() override { Stop(); }

    void DoTimerCallback() override
    {
        CountingTimer::DoTimerCallback();
        thread_local PellixTesting::ThreadEnd end;
        end.fEnded = &fThreadEnded;
    }

    std::atomic<bool> fThreadEnded{false};
};

TEST(PellixTimer, ATimerWithoutIntervalTicksWithoutStarvingItsThread)
{
    ThreadWatchingTimer timer;
    timer.Start();
    ASSERT_TRUE(eventually([&] { return timer.Ticks() >= 100; }));
    timer.Stop();
    EXPECT_FALSE(timer.Started());
    // Its thread has ended, so no tick comes after Stop.
    EXPECT_TRUE(timer.fThreadEnded.load());
}

// A tick that stops its own timer.
class SelfStoppingTimer : public CountingTimer
{
public:
    void DoTimerCallback() override
    {
        CountingTimer::DoTimerCallback();
        Stop();
        Start();
    }
};

TEST(PellixTimer, StopFromInsideATickEndsTheTimerWithoutJoiningItsThread)
{
    SelfStoppingTimer timer;
    timer.Start();
    ASSERT_TRUE(eventually([&] { return !timer.Started(); }));
    EXPECT_EQ(timer.Ticks(), 1);
    // The next start, from this thread, joins the stopped thread first.
    timer.Start();
    ASSERT_TRUE(eventually([&] { return timer.Ticks() >= 2; }));
    timer.Stop();
}

TEST(TimerStress, StartsStopsAndDestructionRaceNoTick)
{
    CountingTimer shared;
    shared.SetInterval(0.001);
    std::atomic<bool> done{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                shared.Start();
                std::this_thread::yield();
                shared.Stop();
            }
        });
    }
    threads.emplace_back([&] {
        for (int i = 0; i < 100; ++i) {
            CountingTimer ticking;
            ticking.Start();
            EXPECT_TRUE(eventually([&] { return ticking.Ticks() > 0; }));
        }
        done.store(true);
    });
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_TRUE(done.load());
    EXPECT_FALSE(shared.Started());
}

} // namespace
