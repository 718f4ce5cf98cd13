#pragma once

// Turns the intervals between frames into a frame rate, from system ticks (Basics/SystemTime.h).
// Used by one thread at a time.

#include "TimestampedAverager.h"

#include <string>

namespace Pellix {

// Frames per second of a frame interval in nanoseconds; 0.0 for 0.
double IntervalToFps(unsigned long long intervalNs);

class FPSProfiler
{
public:
    // Stores the time since the previous frame, stamped with now; the first frame stores none.
    void pushTime();
    // The time of the last frame, 0 before the first.
    unsigned long long getLastTime() const { return fLastTime; }
    // Ticks per second over the whole-tick mean interval; 0.0 without intervals or with a mean
    // below one tick.
    double getAvgFps() const;
    // Logs "FPS (%s): %f\n" with the label and the average rate when a frame was pushed and
    // `intervalMs` have passed since the last log line, if the default log takes it.
    void maybeLog(std::string label, unsigned long long intervalMs);

    const TimestampedAverager<unsigned long long, 10>& intervals() const { return fIntervals; }

private:
    TimestampedAverager<unsigned long long, 10> fIntervals;
    unsigned long long fLastTime = 0;
    unsigned long long fLastLog = 0;
};

} // namespace Pellix
