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

TimingResult TimingCheck::result(double nanosecondsPerFrame) const
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
        // Errors relative to the segment's first stamp keep the numbers small.
        const ZeroTimeStampPoint& first = fStamps[begin];
        auto error = [&](const ZeroTimeStampPoint& stamp) {
            return double(int64_t(stamp.hostTime - first.hostTime)) -
                   (stamp.sampleTime - first.sampleTime) * nanosecondsPerFrame;
        };
        double mean = 0;
        for (size_t index = begin; index < end; ++index) {
            mean += error(fStamps[index]);
        }
        mean /= double(end - begin);
        for (size_t index = begin; index < end; ++index) {
            const double distance = (error(fStamps[index]) - mean) / 1000;
            sumSquares += distance * distance;
            result.jitterMaxUs = std::max(result.jitterMaxUs, std::abs(distance));
            result.errorsUs.emplace_back(fStamps[index].hostTime, distance);
        }
        // The rate over the segment's second half.
        const size_t half = begin + (end - begin) / 2;
        if (half - begin >= kSettlingPeriods) {
            if (const std::optional<double> slope = MedianSlope(&fStamps[half], &fStamps[end - 1] + 1)) {
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
