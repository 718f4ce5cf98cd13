#include "Profiling.h"

#include "Log.h"

#include <algorithm>
#include <cstdio>
#include <sys/time.h>

namespace {

double wallClockSeconds()
{
    timeval now;
    gettimeofday(&now, nullptr);
    return double(now.tv_sec) + double(now.tv_usec) * 1e-6;
}

} // namespace

Profiling::ProfilerState::ProfilerState(const char* name, float reportInterval)
    : fReportInterval(reportInterval), fLastReport(wallClockSeconds())
{
    std::snprintf(fName, sizeof fName, "%s", name);
}

Profiling::Profiling(ProfilerState& state) : fState(state), fStart(wallClockSeconds()) {}

Profiling::~Profiling()
{
    const double now = wallClockSeconds();
    const double duration = now - fStart;
    fState.fTotal += duration;
    ++fState.fCount;
    fState.fMax = std::max(fState.fMax, duration);
    fState.fMin = std::min(fState.fMin, duration);
    if (now - fState.fLastReport < fState.fReportInterval) {
        return;
    }
    TIDE_LOG(Log::Info, "%24s (s) max %5.4F min %5.4F (avg. %5.4F of %d times, total %5.4F)", fState.fName,
             fState.fMax, fState.fMin, fState.fTotal / fState.fCount, fState.fCount, fState.fTotal);
    fState.fLastReport = now;
    fState.fCount = 0;
    fState.fTotal = 0;
    fState.fMax = 0;
    fState.fMin = 1e7;
}
