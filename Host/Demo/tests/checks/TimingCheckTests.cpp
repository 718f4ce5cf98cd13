// The timing check's estimate of the device's rate, fed the zero timestamps the plug-in's own filter
// makes of a device whose frames run off the nominal pace.

#include <TimingCheck.h>

#include <ZeroTimeFilter.h>

#include <gtest/gtest.h>

#include <cmath>

namespace {

using Demo::TimingCheck;
using Demo::TimingResult;

constexpr uint32_t kRate = 48000;
constexpr uint32_t kPeriod = 16384;
constexpr uint64_t kStart = 7000000000;

struct Drift
{
    const char* name;
    // The device's frames and the bus's frame clock, each off nominal by this much.
    double devicePpm;
    double busPpm;
};

void PrintTo(const Drift& drift, std::ostream* out)
{
    *out << drift.name;
}

double NanosecondsPerFrame(const Drift& drift)
{
    return 1e9 * (1 + drift.busPpm * 1e-6) / (kRate * (1 + drift.devicePpm * 1e-6));
}

// One time handed to the filter off the device's pace, as a driver's prediction of a block's host
// time may be.
struct Disturbance
{
    uint32_t period = 0;
    int64_t nanoseconds = 0;
};

// `periods` zero timestamps, one a zero-time period apart, with the host times `hostTimeOf` gives
// (index, sample time), through the plug-in's filter as the streaming engine hands them over; each
// reaches the check with an IO cycle.
template <typename HostTimeOf>
TimingCheck Stamps(uint32_t periods, HostTimeOf hostTimeOf)
{
    ZeroTimeFilter filter;
    filter.Reset(kPeriod, kRate);
    TimingCheck check;
    check.startSegment();
    for (uint32_t index = 0; index < periods; ++index) {
        const double sampleTime = double(index) * kPeriod;
        const uint64_t hostTime = hostTimeOf(index, sampleTime);
        int64_t deviation = 0;
        filter.Filter(hostTime, kPeriod, kRate, deviation);
        IOCycleTiming cycle{};
        cycle.fScheduled = hostTime;
        cycle.fWoke = hostTime;
        cycle.fZeroSampleTime = sampleTime;
        cycle.fZeroHostTime = filter.LastZeroHostTime();
        check.add(cycle, int64_t(sampleTime), kPeriod);
    }
    return check;
}

// Zero timestamps on the device's true pace.
TimingResult Check(const Drift& drift, uint32_t periods, Disturbance disturbance = {})
{
    const double nanosecondsPerFrame = NanosecondsPerFrame(drift);
    const TimingCheck check = Stamps(periods, [&](uint32_t index, double sampleTime) {
        const int64_t off = index == disturbance.period ? disturbance.nanoseconds : 0;
        return kStart + uint64_t(std::llround(sampleTime * nanosecondsPerFrame)) + uint64_t(off);
    });
    return check.result(nanosecondsPerFrame);
}

uint32_t PeriodsIn(double seconds)
{
    return uint32_t(seconds * kRate / kPeriod);
}

const Drift kDrifts[] = {
    {"DeviceFast", 100, 0},    {"DeviceSlow", -100, 0},       {"BusClockFast", 0, 100},
    {"BusClockSlow", 0, -100}, {"DeviceSlightlyFast", 25, 0}, {"Both", 50, -50},
};

class RateFromZeroTimeStamps : public testing::TestWithParam<Drift>
{};

// Over a run long enough for the filter's swing to fade before its second half, the zero timestamps
// keep the device's pace.
TEST_P(RateFromZeroTimeStamps, MatchesTheDeviceOnceTheFilterSettled)
{
    const TimingResult result = Check(GetParam(), PeriodsIn(20));
    EXPECT_NEAR(result.estimatedRate, 1e9 / NanosecondsPerFrame(GetParam()), 1e-5 * kRate);
    EXPECT_LE(std::abs(result.rateErrorPpm), 2);
}

// A time far off the others, which the filter passes on unfiltered, early in the judged half where
// it would tilt a straight-line fit by several ppm.
TEST_P(RateFromZeroTimeStamps, HoldsThroughOneTimeFarOff)
{
    for (const int64_t off : {-330000, 330000, 900000}) {
        const TimingResult result = Check(GetParam(), PeriodsIn(20), {PeriodsIn(20) / 2 + 2, off});
        EXPECT_GT(result.estimatedRate, 0) << off;
        EXPECT_LE(std::abs(result.rateErrorPpm), 2) << off;
    }
}

// Over 10 s the filter's average still swings around the device's pace in the second half (by
// several ppm at 100 ppm of drift): no rate is judged there.
TEST_P(RateFromZeroTimeStamps, IsNotJudgedBeforeTheFilterSettled)
{
    const TimingResult result = Check(GetParam(), PeriodsIn(10));
    EXPECT_EQ(result.zeroTimeStamps, PeriodsIn(10));
    EXPECT_EQ(result.estimatedRate, 0);
    EXPECT_EQ(result.rateErrorPpm, 0);
}

std::string DriftName(const testing::TestParamInfo<Drift>& info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Drifts, RateFromZeroTimeStamps, testing::ValuesIn(kDrifts), DriftName);

// Without streaming headers every dropped input packet leaves an empty OUT microframe: here one in
// every `kShortEvery` microframes, on a device sending 6 frames a microframe at 48 kHz.
constexpr uint64_t kMicroframeNs = 125000;
constexpr uint32_t kFramesPerMicroframe = 6;
constexpr uint64_t kShortEvery = 997;
constexpr uint64_t kBlockMicroframes = 160;

bool IsShort(uint64_t microframe)
{
    return microframe % kShortEvery == kShortEvery - 1;
}

// Frames sent before `microframe`.
uint64_t FramesBefore(uint64_t microframe)
{
    const uint64_t shorts = (microframe + 1) / kShortEvery;
    return microframe * kFramesPerMicroframe - shorts * kFramesPerMicroframe;
}

// The zero host time of `sampleTime` as a driver's output blocks give it: the block's host time, then
// the block's frames spread evenly over it. `followsFramesSent` false: a pairing that ignores the
// frames left out and keeps the nominal pace.
uint64_t BlockHostTime(uint64_t sampleTime, bool followsFramesSent)
{
    if (!followsFramesSent) {
        return kStart + sampleTime * kMicroframeNs / kFramesPerMicroframe;
    }
    uint64_t block = 0;
    while (FramesBefore((block + 1) * kBlockMicroframes) <= sampleTime) {
        ++block;
    }
    const uint64_t start = FramesBefore(block * kBlockMicroframes);
    return kStart + block * kBlockMicroframes * kMicroframeNs +
           (sampleTime - start) * kMicroframeNs / kFramesPerMicroframe;
}

TimingResult CheckWithShortOutputs(bool followsFramesSent, bool toldOfShortOutputs)
{
    constexpr uint32_t kPeriods = 40;
    const TimingCheck check = Stamps(kPeriods, [&](uint32_t, double sampleTime) {
        return BlockHostTime(uint64_t(sampleTime), followsFramesSent);
    });
    std::vector<Demo::ShortOutput> shortOutputs;
    const uint64_t microframes = uint64_t(kPeriods) * kPeriod / kFramesPerMicroframe;
    for (uint64_t microframe = 0; toldOfShortOutputs && microframe < microframes; ++microframe) {
        if (IsShort(microframe)) {
            shortOutputs.push_back({kStart + microframe * kMicroframeNs, kFramesPerMicroframe});
        }
    }
    return check.result(1e9 / kRate, shortOutputs);
}

// Zero timestamps that count the frames actually sent follow each empty OUT microframe; the truth
// does too, within the block resolution of the driver's output blocks.
TEST(ZeroTimeStampsWithShortOutputs, FollowTheFramesSent)
{
    EXPECT_LE(CheckWithShortOutputs(true, true).jitterMaxUs, 1);
}

// The same stamps against a truth that ignored the frames left out stray by milliseconds; stamps that
// ignore them stray as far from the truth.
TEST(ZeroTimeStampsWithShortOutputs, StrayWhereOnlyOneSideCountsThem)
{
    EXPECT_GT(CheckWithShortOutputs(true, false).jitterMaxUs, 1000);
    EXPECT_GT(CheckWithShortOutputs(false, true).jitterMaxUs, 1000);
}

} // namespace
