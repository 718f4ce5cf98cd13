#include <DarwinTesting/ManualClock.h>
#include <dispatch/dispatch.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <future>
#include <limits>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

using namespace std::chrono_literals;

namespace {

dispatch_time_t now()
{
    return dispatch_time(DISPATCH_TIME_NOW, 0);
}

int64_t nanoseconds(std::chrono::nanoseconds duration)
{
    return duration.count();
}

// The runs of dispatch_after blocks: which one, and the clock it read.
class RunLog
{
public:
    void add(int which)
    {
        std::lock_guard<std::mutex> lock(fLock);
        fRuns.emplace_back(which, now());
    }

    std::vector<std::pair<int, dispatch_time_t>> runs()
    {
        std::lock_guard<std::mutex> lock(fLock);
        return fRuns;
    }

private:
    std::mutex fLock;
    std::vector<std::pair<int, dispatch_time_t>> fRuns;
};

class DispatchAfterManualTest : public testing::Test
{
protected:
    ~DispatchAfterManualTest() override { dispatch_release(fQueue); }

    DarwinTesting::ManualClock fClock;
    dispatch_time_t fStart = now();
    dispatch_queue_t fQueue = dispatch_queue_create("com.vork.tests.after", DISPATCH_QUEUE_SERIAL);
    RunLog fLog;
};

TEST_F(DispatchAfterManualTest, BlocksRunInDeadlineOrderEachWhenTheClockReachesIt)
{
    // Two at 1 s: blocks due at one instant run in submission order.
    const std::chrono::nanoseconds delays[] = {3s, 1s, 2s, 1s};
    for (int which = 0; which < 4; ++which) {
        dispatch_after(dispatch_time(fStart, nanoseconds(delays[which])), fQueue,
                       [this, which] { fLog.add(which); });
    }

    fClock.advance(1s - 1ns);
    EXPECT_TRUE(fLog.runs().empty());

    fClock.advance(10s - (1s - 1ns));
    const std::vector<std::pair<int, dispatch_time_t>> expected = {{1, fStart + NSEC_PER_SEC},
                                                                   {3, fStart + NSEC_PER_SEC},
                                                                   {2, fStart + 2 * NSEC_PER_SEC},
                                                                   {0, fStart + 3 * NSEC_PER_SEC}};
    EXPECT_EQ(fLog.runs(), expected);
}

TEST_F(DispatchAfterManualTest, FunctionFormRunsOnceTheAdvancePassesItsDeadlineAndNotBefore)
{
    dispatch_after_f(dispatch_time(fStart, nanoseconds(250ms)), fQueue, &fLog,
                     [](void* context) { static_cast<RunLog*>(context)->add(0); });

    fClock.advance(250ms - 1ns);
    EXPECT_TRUE(fLog.runs().empty());

    fClock.advance(1ns);
    const std::vector<std::pair<int, dispatch_time_t>> expected = {{0, fStart + 250 * NSEC_PER_MSEC}};
    EXPECT_EQ(fLog.runs(), expected);
}

TEST_F(DispatchAfterManualTest, TimeAlreadyReachedRunsWithoutAnAdvance)
{
    std::promise<dispatch_time_t> ranAt;
    dispatch_after(DISPATCH_TIME_NOW, fQueue, [&ranAt] { ranAt.set_value(now()); });
    EXPECT_EQ(ranAt.get_future().get(), fStart);
}

TEST_F(DispatchAfterManualTest, ForeverNeverRunsAndLeavesNothingPending)
{
    dispatch_after(DISPATCH_TIME_FOREVER, fQueue, [this] { fLog.add(0); });
    dispatch_after(dispatch_time(DISPATCH_TIME_FOREVER - 1, 10), fQueue, [this] { fLog.add(1); });

    fClock.advance(24h * 365 * 100);
    dispatch_sync(fQueue, [] {});

    EXPECT_TRUE(fLog.runs().empty());
}

TEST(DispatchAfterRealClock, RunsOnceItsDeadlineHasPassedAndNeverBefore)
{
    dispatch_queue_t queue = dispatch_queue_create("com.vork.tests.after.real", DISPATCH_QUEUE_SERIAL);
    const dispatch_time_t deadline = dispatch_time(DISPATCH_TIME_NOW, nanoseconds(20ms));
    std::promise<dispatch_time_t> ranAt;
    dispatch_after(deadline, queue, [&ranAt] { ranAt.set_value(now()); });

    EXPECT_GE(ranAt.get_future().get(), deadline);
    dispatch_release(queue);
}

struct TimeCase
{
    const char* name;
    dispatch_time_t when;
    int64_t delta;
    dispatch_time_t expected;
};

void PrintTo(const TimeCase& value, std::ostream* out)
{
    *out << value.name;
}

class DispatchTimeTest : public testing::TestWithParam<TimeCase>
{};

TEST_P(DispatchTimeTest, AddsTheDeltaSaturatingAtForeverAndStayingAPastTime)
{
    EXPECT_EQ(dispatch_time(GetParam().when, GetParam().delta), GetParam().expected);
}

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

INSTANTIATE_TEST_SUITE_P(
    Table, DispatchTimeTest,
    testing::Values(TimeCase{"Zero", 1000, 0, 1000},
                    TimeCase{"OneSecond", 1000, int64_t(NSEC_PER_SEC), 1000 + NSEC_PER_SEC},
                    TimeCase{"Backwards", 1000, -10, 990},
                    TimeCase{"ForeverStaysForever", DISPATCH_TIME_FOREVER, 5, DISPATCH_TIME_FOREVER},
                    TimeCase{"ForeverBackwardsStaysForever", DISPATCH_TIME_FOREVER, -5,
                             DISPATCH_TIME_FOREVER},
                    TimeCase{"SaturatesNearForever", DISPATCH_TIME_FOREVER - 10, 100, DISPATCH_TIME_FOREVER},
                    TimeCase{"SaturatesTheLargestDelta", uint64_t(kMax) + 2, kMax, DISPATCH_TIME_FOREVER},
                    // Earlier than the clock's start: still a past time, never DISPATCH_TIME_NOW.
                    TimeCase{"BeforeTheStart", 5, -10, 1}, TimeCase{"TheMostNegativeDelta", 5, kMin, 1}),
    testing::PrintToStringParamName());

TEST(DispatchTimeManualClock, NowIsTheManualReadingPlusTheDelta)
{
    DarwinTesting::ManualClock clock;
    const dispatch_time_t start = now();
    clock.advance(1500ms);
    EXPECT_EQ(now(), start + 1500 * NSEC_PER_MSEC);
    EXPECT_EQ(dispatch_time(DISPATCH_TIME_NOW, int64_t(2 * NSEC_PER_USEC)),
              start + 1500 * NSEC_PER_MSEC + 2000);
}

} // namespace
