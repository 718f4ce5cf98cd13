#include "WaitFor.h"

#include <Darwin/Clock.h>
#include <DarwinTesting/ManualClock.h>
#include <DarwinTesting/ScopedTimebase.h>
#include <mach/mach_time.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

TEST(MachTime, TimebaseIsOneToOne)
{
    mach_timebase_info_data_t info{0, 0};
    ASSERT_EQ(mach_timebase_info(&info), KERN_SUCCESS);
    EXPECT_EQ(info.numer, 1u);
    EXPECT_EQ(info.denom, 1u);
}

TEST(MachTime, HostTimeNeverDecreasesOnAnyThread)
{
    std::vector<std::jthread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([] {
            uint64_t last = mach_absolute_time();
            for (int i = 0; i < 100000; ++i) {
                uint64_t now = mach_absolute_time();
                ASSERT_GE(now, last);
                last = now;
            }
        });
    }
}

TEST(MachTime, IsTheClocksHostTimeInNanoseconds)
{
    DarwinTesting::ManualClock clock;
    uint64_t start = mach_absolute_time();
    EXPECT_EQ(start, DarwinClock::hostNow());
    clock.advance(1500ms);
    EXPECT_EQ(mach_absolute_time() - start, 1500000000u);
}

// 125 / 3 is a 24 MHz counter: 24 ticks a microsecond, each 41.67 ns.
TEST(MachTime, AChosenTimebaseCountsItsTicksUntilItsScopeEnds)
{
    DarwinTesting::ManualClock clock;
    {
        DarwinTesting::ScopedTimebase timebase(125, 3);
        mach_timebase_info_data_t info{0, 0};
        ASSERT_EQ(mach_timebase_info(&info), KERN_SUCCESS);
        EXPECT_EQ(info.numer, 125u);
        EXPECT_EQ(info.denom, 3u);
        const uint64_t start = mach_absolute_time();
        clock.advance(1500ms);
        EXPECT_EQ(mach_absolute_time() - start, 36'000'000u);
        clock.advance(100ns);
        EXPECT_EQ(mach_absolute_time() - start, 36'000'002u) << "a part of a tick is not counted";
    }
    mach_timebase_info_data_t info{0, 0};
    ASSERT_EQ(mach_timebase_info(&info), KERN_SUCCESS);
    EXPECT_EQ(info.numer, 1u);
    EXPECT_EQ(info.denom, 1u);
    EXPECT_EQ(mach_absolute_time(), DarwinClock::hostNow());
}

TEST(MachTime, WaitUntilTakesTicksOfTheChosenTimebase)
{
    DarwinTesting::ManualClock clock;
    DarwinTesting::ScopedTimebase timebase(125, 3);
    const uint64_t start = DarwinClock::hostNow();
    std::atomic<bool> returned = false;
    std::thread waiter([&] {
        mach_wait_until(mach_absolute_time() + 24'000'000);
        returned = true;
    });
    waitFor([&] { return clock.nextDeadline() == start + 1'000'000'000; });
    clock.advanceTo(start + 999'999'999);
    EXPECT_FALSE(returned);
    clock.advanceTo(start + 1'000'000'000);
    waitFor([&] { return returned.load(); });
    waiter.join();
}

TEST(MachTime, WaitUntilAPastDeadlineReturnsAtOnce)
{
    DarwinTesting::ManualClock clock;
    EXPECT_EQ(mach_wait_until(mach_absolute_time()), KERN_SUCCESS);
    EXPECT_EQ(mach_wait_until(0), KERN_SUCCESS);
}

} // namespace
