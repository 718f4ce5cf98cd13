#include "ZeroTimeFilter.h"

namespace {

constexpr uint64_t kAveragedPeriods = 10;
constexpr float kWindowNanoseconds = 100000.0f;

} // namespace

void ZeroTimeFilter::Reset(uint32_t period, uint32_t rate)
{
    fLast = 0;
    fAverage = uint64_t(period) * 1000000000ull / rate;
    fSum = kAveragedPeriods * fAverage;
}

bool ZeroTimeFilter::Filter(uint64_t hostTime, uint32_t period, uint32_t rate, int64_t& deviationMicroseconds)
{
    if (fLast == 0) {
        fLast = hostTime;
        return true;
    }
    const uint64_t measured = hostTime - fLast;
    const uint64_t ideal = uint64_t(double(float(period) / float(rate)) * 1e9);
    const float measuredFloat = float(measured);
    if (measuredFloat >= float(ideal) - kWindowNanoseconds &&
        measuredFloat <= float(ideal) + kWindowNanoseconds) {
        fSum = fSum + measured - fAverage;
        fAverage = fSum / kAveragedPeriods;
        fLast += fAverage;
        return true;
    }
    deviationMicroseconds = (int64_t(measured) - int64_t(ideal)) / 1000;
    fLast = hostTime;
    return false;
}
