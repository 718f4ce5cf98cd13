#pragma once

// A scope timer that reports averaged durations of a code region through the log.

#include <cstdint>

class Profiling
{
public:
    // One per measured region, owned by the code that measures it; not shared between threads.
    struct ProfilerState
    {
        ProfilerState(const char* name, float reportInterval);

        char fName[128];
        double fTotal = 0;
        int32_t fCount = 0;
        float fReportInterval;
        // Wall-clock seconds.
        double fLastReport;
        double fMax = 0;
        double fMin = 1e7;
    };

    explicit Profiling(ProfilerState& state);
    // Adds the scope's duration, and reports and starts over once the interval has passed.
    virtual ~Profiling();
    Profiling(const Profiling&) = delete;
    Profiling& operator=(const Profiling&) = delete;

private:
    ProfilerState& fState;
    double fStart;
};
