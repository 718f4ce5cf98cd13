#include "FPSProfiler.h"

#include "Basics/SystemTime.h"

#include <mach/mach_time.h>
#include <os/log.h>

#include <limits>
#include <numeric>

namespace Pellix {

double IntervalToFps(unsigned long long intervalNs)
{
    return intervalNs == 0 ? 0.0 : 1e9 / double(intervalNs);
}

void FPSProfiler::pushTime()
{
    unsigned long long now = mach_absolute_time();
    if (fLastTime != 0) {
        fIntervals.push(now - fLastTime, now);
    }
    fLastTime = now;
}

double FPSProfiler::getAvgFps() const
{
    const auto& intervals = fIntervals.values();
    unsigned long long count = intervals.size();
    unsigned long long sum = std::accumulate(intervals.begin(), intervals.end(), 0ull);
    if (count == 0 || sum < count) {
        return 0.0;
    }
    // Ticks per second rather than 10^9: a tick is a nanosecond only on some hosts.
    return GetSystemTicksPerSecond() / double(sum / count);
}

void FPSProfiler::maybeLog(std::string label, unsigned long long intervalMs)
{
    constexpr unsigned long long kLargest = std::numeric_limits<unsigned long long>::max();
    unsigned long long intervalNs = intervalMs > kLargest / 1000000 ? kLargest : intervalMs * 1000000;
    unsigned long long now = mach_absolute_time();
    if (fLastTime == 0 || now - fLastLog < NanosecondsToSystemTime(intervalNs)) {
        return;
    }
    if (os_log_type_enabled(OS_LOG_DEFAULT, OS_LOG_TYPE_DEFAULT)) {
        os_log(OS_LOG_DEFAULT, "FPS (%s): %f\n", label.c_str(), getAvgFps());
    }
    fLastLog = now;
}

} // namespace Pellix
