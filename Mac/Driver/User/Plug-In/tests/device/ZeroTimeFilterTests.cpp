#include "ZeroTimeFilter.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kPeriod = 16384;
constexpr uint32_t kRate = 48000;
constexpr uint64_t kIdealPeriod = 341333333; // 16384 frames at 48 kHz, in ns
constexpr uint64_t kStart = 5000000000;

TEST(ZeroTimeFilter, ResetStartsTheAverageAtTheIdealPeriod)
{
    const struct
    {
        uint32_t period;
        uint32_t rate;
        uint64_t average;
    } cases[] = {{16384, 44100, 371519274},
                 {16384, 48000, 341333333},
                 {32768, 96000, 341333333},
                 {65536, 192000, 341333333},
                 {65536, 176400, 371519274}};
    for (const auto& testCase : cases) {
        ZeroTimeFilter filter;
        filter.Reset(testCase.period, testCase.rate);
        EXPECT_EQ(filter.Average(), testCase.average) << testCase.rate;
        EXPECT_EQ(filter.Sum(), 10 * testCase.average) << testCase.rate;
        EXPECT_EQ(filter.LastZeroHostTime(), 0u);
    }
}

TEST(ZeroTimeFilter, AveragesTimesNearTheIdealAndTakesOthersRaw)
{
    ZeroTimeFilter filter;
    filter.Reset(kPeriod, kRate);
    int64_t deviation = 0;

    // The first time only sets the last zero time.
    EXPECT_TRUE(filter.Filter(kStart, kPeriod, kRate, deviation));
    EXPECT_EQ(filter.LastZeroHostTime(), kStart);
    EXPECT_EQ(filter.Average(), kIdealPeriod);

    // 50 us late: averaged over ten periods.
    const uint64_t measured = kIdealPeriod + 50000;
    EXPECT_TRUE(filter.Filter(kStart + measured, kPeriod, kRate, deviation));
    EXPECT_EQ(filter.Sum(), 10 * kIdealPeriod + 50000);
    EXPECT_EQ(filter.Average(), kIdealPeriod + 5000);
    EXPECT_EQ(filter.LastZeroHostTime(), kStart + kIdealPeriod + 5000);

    // 150 us late: taken as it stands, the average kept.
    const uint64_t late = filter.LastZeroHostTime() + kIdealPeriod + 150000;
    EXPECT_FALSE(filter.Filter(late, kPeriod, kRate, deviation));
    EXPECT_EQ(deviation, 150);
    EXPECT_EQ(filter.LastZeroHostTime(), late);
    EXPECT_EQ(filter.Average(), kIdealPeriod + 5000);

    // Early by as much, and a time before the last one, are taken raw too.
    const uint64_t early = late + kIdealPeriod - 150000;
    EXPECT_FALSE(filter.Filter(early, kPeriod, kRate, deviation));
    EXPECT_EQ(deviation, -149);
    EXPECT_FALSE(filter.Filter(early - 1000, kPeriod, kRate, deviation));
    EXPECT_EQ(filter.LastZeroHostTime(), early - 1000);
}

} // namespace
