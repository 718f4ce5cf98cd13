// The scope profiler, the time-stamped averager and the frame-rate profiler, on the manual clock.

#include "Util/Profiling.h"
#include "Util/FPSProfiler.h"
#include "Util/TimestampedAverager.h"

#include <DarwinTesting/LogCapture.h>
#include <DarwinTesting/ManualClock.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using DarwinTesting::DefaultLogDisabled;
using DarwinTesting::LogCapture;
using DarwinTesting::LogSource;
using DarwinTesting::ManualClock;

namespace {

using Deque = std::deque<unsigned long long>;

std::string Formatted(const char* format, double value)
{
    char text[128];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

TEST(Profiling, TheAveragerKeepsTheLastTenSamples)
{
    Pellix::TimestampedAverager<unsigned long long, 10> averager;
    for (unsigned long long i = 1; i <= 12; ++i) {
        averager.push(i * 100, i);
    }
    EXPECT_EQ(averager.values(), (Deque{300, 400, 500, 600, 700, 800, 900, 1000, 1100, 1200}));
    EXPECT_EQ(averager.timestamps(), (Deque{3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
}

TEST(Profiling, ATimeRangeLeavesOutItsEnds)
{
    Pellix::TimestampedAverager<unsigned long long, 10> averager;
    EXPECT_TRUE(averager.extractTimeRange(0, 100).empty());
    for (unsigned long long stamp : {10, 20, 30, 40}) {
        averager.push(stamp * 2, stamp);
    }
    EXPECT_EQ(averager.extractTimeRange(10, 40), (Deque{40, 60}));
    EXPECT_EQ(averager.extractTimeRange(9, 41), (Deque{20, 40, 60, 80}));
    EXPECT_TRUE(averager.extractTimeRange(20, 30).empty());
    EXPECT_TRUE(averager.extractTimeRange(40, 10).empty());
    EXPECT_EQ(averager.values().size(), 4u);
}

TEST(Profiling, TheFirstFrameStoresNoInterval)
{
    ManualClock clock;
    Pellix::FPSProfiler profiler;
    EXPECT_EQ(profiler.getLastTime(), 0u);
    profiler.pushTime();
    EXPECT_TRUE(profiler.intervals().values().empty());
    EXPECT_NE(profiler.getLastTime(), 0u);
    clock.advance(16ms);
    profiler.pushTime();
    EXPECT_EQ(profiler.intervals().values(), Deque{16000000});
    EXPECT_EQ(profiler.intervals().timestamps(), Deque{profiler.getLastTime()});
}

TEST(Profiling, TheAverageRateIsOverTheWholeTickMeanInterval)
{
    ManualClock clock;
    Pellix::FPSProfiler profiler;
    EXPECT_EQ(profiler.getAvgFps(), 0.0);
    profiler.pushTime();
    clock.advance(16ms);
    profiler.pushTime();
    clock.advance(17ms);
    profiler.pushTime();
    EXPECT_DOUBLE_EQ(profiler.getAvgFps(), 1e9 / 16500000.0);

    Pellix::FPSProfiler stalled;
    stalled.pushTime();
    stalled.pushTime();
    stalled.pushTime();
    EXPECT_EQ(stalled.getAvgFps(), 0.0);
    EXPECT_EQ(Pellix::IntervalToFps(0), 0.0);
    EXPECT_EQ(Pellix::IntervalToFps(20000000), 50.0);
}

TEST(Profiling, TheRateIsLoggedOncePerInterval)
{
    ManualClock clock;
    LogCapture capture;
    Pellix::FPSProfiler profiler;
    profiler.maybeLog("view", 1000);
    EXPECT_TRUE(capture.texts(LogSource::OSLog).empty());

    profiler.pushTime();
    clock.advance(20ms);
    profiler.pushTime();
    profiler.maybeLog("view", 1000);
    std::vector<std::string> expected{"FPS (view): " + Formatted("%f", 50.0) + "\n"};
    EXPECT_EQ(capture.texts(LogSource::OSLog), expected);

    clock.advance(999ms);
    profiler.maybeLog("view", 1000);
    EXPECT_EQ(capture.texts(LogSource::OSLog).size(), 1u);
    {
        // Quiet, but the interval starts afresh.
        DefaultLogDisabled disabled;
        clock.advance(1ms);
        profiler.maybeLog("view", 1000);
    }
    clock.advance(999ms);
    profiler.maybeLog("view", 1000);
    EXPECT_EQ(capture.texts(LogSource::OSLog).size(), 1u);
    clock.advance(1ms);
    profiler.maybeLog("view", 1000);
    EXPECT_EQ(capture.texts(LogSource::OSLog).size(), 2u);
}

TEST(Profiling, AStateWithoutIntervalReportsEveryRunAndStartsAfresh)
{
    ManualClock clock;
    LogCapture capture;
    Pellix::Profiling::ProfilerState state("layout", 0.0f);
    {
        Pellix::Profiling timing(state);
        clock.advance(2ms);
    }
    {
        DefaultLogDisabled disabled;
        Pellix::Profiling timing(state);
        clock.advance(8ms);
    }
    {
        Pellix::Profiling timing(state);
        clock.advance(4ms);
    }
    std::vector<std::string> lines = capture.texts(LogSource::OSLog);
    ASSERT_EQ(lines.size(), 2u);
    // The quiet run was not added to the next report. Absolute time resolves about 0.1 us, so the
    // milliseconds are compared within that.
    for (auto [line, milliseconds] : {std::pair{lines[0], 2.0}, std::pair{lines[1], 4.0}}) {
        EXPECT_EQ(line.rfind(std::string(18, ' ') + "layout ", 0), 0u) << line;
        char name[32];
        double average = 0;
        int count = 0;
        double total = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%31s %lf msec (avg. of %d times, total %lf msec)", name,
                              &average, &count, &total),
                  4)
            << line;
        EXPECT_NEAR(average, milliseconds, 1e-3);
        EXPECT_EQ(count, 1);
        EXPECT_NEAR(total, milliseconds, 1e-3);
    }
}

} // namespace
