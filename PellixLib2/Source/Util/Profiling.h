#pragma once

// Times a scope and reports averaged durations to the system log, at most once per interval:
//     static Profiling::ProfilerState sState("layout", 5.0f);
//     Profiling timing(sState);

namespace Pellix {

class Profiling
{
public:
    // What one profiled place has measured since its last report.
    class ProfilerState
    {
    public:
        // The name is not copied.
        ProfilerState(const char* name, float intervalSeconds);

    private:
        friend class Profiling;

        const char* fName;
        int fCount = 0;
        double fTotalSeconds = 0;
        float fIntervalSeconds;
        double fLastReport;
    };

    explicit Profiling(ProfilerState& state);
    // Adds the measurement; when the interval has passed since the last report, logs
    // "%24s %5.4f msec (avg. of %d times, total %5.4f msec)" if the default log takes it, and
    // starts counting afresh either way.
    virtual ~Profiling();
    Profiling(const Profiling&) = delete;
    Profiling& operator=(const Profiling&) = delete;

private:
    ProfilerState& fState;
    double fStart;
};

} // namespace Pellix
