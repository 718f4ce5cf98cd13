#include "TimingCheck.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace Demo {

namespace {

// The plug-in's filter moves each zero time on by its running average of the measured periods, and
// a measured period carries the last zero time's own error: the average overshoots a drifting device
// and swings back around it over some 20 periods, fading by a twentieth each period. Its rate is only
// the device's once that swing has faded, so a segment's rate is judged over its second half only
// when that half starts this many periods in (8 to 9 s).
constexpr size_t kSettlingPeriods = 24;

// Host time per frame between the zero timestamps, as the median over every pair of them: a time
// the filter passed on unfiltered, far off the others, moves it no more than any other single time.
std::optional<double> MedianSlope(const ZeroTimeStampPoint* first, const ZeroTimeStampPoint* end)
{
    std::vector<double> slopes;
    for (const ZeroTimeStampPoint* from = first; from != end; ++from) {
        for (const ZeroTimeStampPoint* to = from + 1; to != end; ++to) {
            const double frames = to->sampleTime - from->sampleTime;
            if (frames > 0) {
                slopes.push_back(double(int64_t(to->hostTime - from->hostTime)) / frames);
            }
        }
    }
    if (slopes.empty()) {
        return std::nullopt;
    }
    const auto middle = slopes.begin() + std::ptrdiff_t(slopes.size() / 2);
    std::nth_element(slopes.begin(), middle, slopes.end());
    if (*middle <= 0) {
        return std::nullopt;
    }
    return *middle;
}

// The driver's output blocks last 160 microframes. The plug-in places a zero timestamp within its
// block by spreading the block's frames evenly over it, so it cannot tell where in the block a short
// microframe fell: a stamp whose block held one before the stamp's frame comes out early by up to
// the frames left out there, which the truth counts. Such a stamp is judged against the truth with
// or without those frames, whichever it is nearer, as is a stamp next to a short microframe.
constexpr double kOutputBlockNanoseconds = 20e6;
constexpr double kMicroframeNanoseconds = 125e3;

// The frames the short OUT microframes left out before `hostTime`: surely before the stamp's output
// block (`surely`), and near enough to fall either side of the stamp's frame (`maybe`).
struct FramesLeftOut
{
    uint64_t surely = 0;
    uint64_t maybe = 0;
};

FramesLeftOut LeftOutBefore(uint64_t hostTime, const std::vector<ShortOutput>& shortOutputs)
{
    FramesLeftOut leftOut;
    const double stamp = double(hostTime);
    for (const ShortOutput& output : shortOutputs) {
        const double start = double(output.hostTime);
        if (start + kOutputBlockNanoseconds + 2 * kMicroframeNanoseconds <= stamp) {
            leftOut.surely += output.frames;
        } else if (start < stamp + 2 * kMicroframeNanoseconds) {
            leftOut.maybe += output.frames;
        }
    }
    return leftOut;
}

double Median(std::vector<double> values)
{
    const auto middle = values.begin() + std::ptrdiff_t(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// The segment's stamps with their host times moved back by the frames left out before them, so
// that they follow one pace where the plug-in followed the device.
std::vector<ZeroTimeStampPoint> FollowingOnePace(const ZeroTimeStampPoint* first,
                                                 const ZeroTimeStampPoint* end, double nanosecondsPerFrame,
                                                 const std::vector<ShortOutput>& shortOutputs)
{
    if (shortOutputs.empty()) {
        return {first, end};
    }
    // Each stamp's error from the pace, relative to the first stamp, as a range: from the error
    // with every frame that may have been left out before it counted to that with only the sure ones.
    struct Range
    {
        double withMaybe;
        double withSurely;
    };
    std::vector<Range> ranges;
    std::vector<double> sure;
    std::vector<double> middles;
    for (const ZeroTimeStampPoint* stamp = first; stamp != end; ++stamp) {
        const FramesLeftOut leftOut = LeftOutBefore(stamp->hostTime, shortOutputs);
        const double error =
            double(int64_t(stamp->hostTime - first->hostTime)) -
            (stamp->sampleTime - first->sampleTime + double(leftOut.surely)) * nanosecondsPerFrame;
        const Range range{error - double(leftOut.maybe) * nanosecondsPerFrame, error};
        ranges.push_back(range);
        middles.push_back((range.withMaybe + range.withSurely) / 2);
        if (leftOut.maybe == 0) {
            sure.push_back(error);
        }
    }
    const double reference = Median(sure.empty() ? middles : sure);
    std::vector<ZeroTimeStampPoint> stamps(first, end);
    for (size_t index = 0; index < stamps.size(); ++index) {
        const double error = std::clamp(reference, ranges[index].withMaybe, ranges[index].withSurely);
        const double onPace = (stamps[index].sampleTime - first->sampleTime) * nanosecondsPerFrame;
        stamps[index].hostTime = first->hostTime + uint64_t(std::llround(onPace + error));
    }
    return stamps;
}

} // namespace

void TimingCheck::add(const IOCycleTiming& timing, int64_t outputTime, uint32_t frames)
{
    fCycles.push_back({timing.fScheduled, int64_t(timing.fWoke) - int64_t(timing.fScheduled), timing.Late(),
                       fSegment, outputTime, frames});
    const bool known = timing.fZeroHostTime != 0;
    const bool fresh = fStamps.empty() || fStamps.back().segment != fSegment ||
                       fStamps.back().hostTime != timing.fZeroHostTime;
    if (known && fresh) {
        fStamps.push_back({timing.fZeroSampleTime, timing.fZeroHostTime, fSegment});
    }
}

std::optional<double> TimingCheck::sampleTimeAt(uint64_t hostTime) const
{
    if (fStamps.size() < 2 || fStamps[fStamps.size() - 2].segment != fStamps.back().segment) {
        return std::nullopt;
    }
    const ZeroTimeStampPoint& first =
        fStamps.front().segment == fStamps.back().segment ? fStamps.front() : fStamps[fStamps.size() - 2];
    const ZeroTimeStampPoint& last = fStamps.back();
    const double framesPerTick =
        (last.sampleTime - first.sampleTime) / double(last.hostTime - first.hostTime);
    return last.sampleTime + double(int64_t(hostTime - last.hostTime)) * framesPerTick;
}

TimingResult TimingCheck::result(double nanosecondsPerFrame,
                                 const std::vector<ShortOutput>& shortOutputs) const
{
    TimingResult result;
    result.cycles = fCycles.size();
    for (const CyclePoint& cycle : fCycles) {
        result.lateCycles += cycle.late ? 1 : 0;
        result.wakeLatenessMaxUs = std::max(result.wakeLatenessMaxUs, double(cycle.wakeLatenessNs) / 1000);
    }
    result.zeroTimeStamps = fStamps.size();
    double sumSquares = 0;
    for (size_t begin = 0; begin < fStamps.size();) {
        size_t end = begin;
        while (end < fStamps.size() && fStamps[end].segment == fStamps[begin].segment) {
            ++end;
        }
        const std::vector<ZeroTimeStampPoint> stamps =
            FollowingOnePace(&fStamps[begin], &fStamps[end - 1] + 1, nanosecondsPerFrame, shortOutputs);
        // Errors relative to the segment's first stamp keep the numbers small.
        const ZeroTimeStampPoint& first = stamps.front();
        auto error = [&](const ZeroTimeStampPoint& stamp) {
            return double(int64_t(stamp.hostTime - first.hostTime)) -
                   (stamp.sampleTime - first.sampleTime) * nanosecondsPerFrame;
        };
        double mean = 0;
        for (const ZeroTimeStampPoint& stamp : stamps) {
            mean += error(stamp);
        }
        mean /= double(stamps.size());
        for (size_t index = 0; index < stamps.size(); ++index) {
            const double distance = (error(stamps[index]) - mean) / 1000;
            sumSquares += distance * distance;
            result.jitterMaxUs = std::max(result.jitterMaxUs, std::abs(distance));
            result.errorsUs.emplace_back(fStamps[begin + index].hostTime, distance);
        }
        // The rate over the segment's second half.
        const size_t half = stamps.size() / 2;
        if (half >= kSettlingPeriods) {
            if (const std::optional<double> slope =
                    MedianSlope(&stamps[half], stamps.data() + stamps.size())) {
                result.estimatedRate = 1e9 / *slope;
                result.rateErrorPpm = (nanosecondsPerFrame / *slope - 1) * 1e6;
            }
        }
        begin = end;
    }
    if (!fStamps.empty()) {
        result.jitterRmsUs = std::sqrt(sumSquares / double(fStamps.size()));
    }
    return result;
}

} // namespace Demo
