#include "Util/Profiling.h"

#include <CoreFoundation/CFDate.h>
#include <os/log.h>

namespace Pellix {

Profiling::ProfilerState::ProfilerState(const char* name, float intervalSeconds)
    : fName(name), fIntervalSeconds(intervalSeconds), fLastReport(CFAbsoluteTimeGetCurrent())
{}

Profiling::Profiling(ProfilerState& state) : fState(state), fStart(CFAbsoluteTimeGetCurrent()) {}

Profiling::~Profiling()
{
    double now = CFAbsoluteTimeGetCurrent();
    fState.fTotalSeconds += now - fStart;
    fState.fCount += 1;
    if (now - fState.fLastReport < fState.fIntervalSeconds) {
        return;
    }
    if (os_log_type_enabled(OS_LOG_DEFAULT, OS_LOG_TYPE_DEFAULT)) {
        double totalMilliseconds = fState.fTotalSeconds * 1000.0;
        os_log(OS_LOG_DEFAULT, "%24s %5.4f msec (avg. of %d times, total %5.4f msec)", fState.fName,
               totalMilliseconds / fState.fCount, fState.fCount, totalMilliseconds);
    }
    fState.fLastReport = now;
    fState.fCount = 0;
    fState.fTotalSeconds = 0;
}

} // namespace Pellix
