#include <Darwin/Clock.h>
#include <DarwinTesting/ManualClock.h>
#include <mach/mach_time.h>

#include <gtest/gtest.h>

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

TEST(MachTime, WaitUntilAPastDeadlineReturnsAtOnce)
{
    DarwinTesting::ManualClock clock;
    EXPECT_EQ(mach_wait_until(mach_absolute_time()), KERN_SUCCESS);
    EXPECT_EQ(mach_wait_until(0), KERN_SUCCESS);
}

} // namespace
