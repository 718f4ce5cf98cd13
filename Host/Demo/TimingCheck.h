#pragma once

// The plug-in's zero timestamps against the truth of the simulated device, and the IO cycles'
// punctuality. A device frame lasts 1e9 (1 + bus deviation) / (rate (1 + drift)) ns of host time, so
// the error of a zero timestamp is its host time minus its sample time at that pace, up to a
// constant: the jitter is the spread of those errors around their mean, per segment. An OUT
// microframe that carried fewer frames than it mirrors delays every later output frame by the
// frames it left out.

#include <AudioServerHost.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace Demo {

struct ZeroTimeStampPoint
{
    double sampleTime;
    uint64_t hostTime;
    uint32_t segment;
};

// An OUT microframe that left the device short of frames: without streaming headers, the mirror of
// a dropped input packet, empty. `hostTime` is the ideal start of the microframe.
struct ShortOutput
{
    uint64_t hostTime;
    uint32_t frames;
};

// One IO cycle: when it ran against when it was due, and whether its output came too late.
struct CyclePoint
{
    uint64_t scheduled;
    int64_t wakeLatenessNs;
    bool late;
    // The segment, and the output sample time and frames the cycle wrote.
    uint32_t segment;
    int64_t outputTime;
    uint32_t frames;
};

struct TimingResult
{
    uint64_t zeroTimeStamps = 0;
    double jitterRmsUs = 0;
    double jitterMaxUs = 0;
    // The device's rate as the zero timestamps of the last segment's second half give it, and how
    // far that is from the simulated device's own rate (0 where the segment is too short for the
    // plug-in's filter to have settled by its second half).
    double estimatedRate = 0;
    double rateErrorPpm = 0;
    uint64_t cycles = 0;
    uint64_t lateCycles = 0;
    double wakeLatenessMaxUs = 0;
    // Per zero timestamp, its error from the segment's mean, for the plot.
    std::vector<std::pair<uint64_t, double>> errorsUs;
};

class TimingCheck
{
public:
    void startSegment() { ++fSegment; }
    // A cycle's timing, with the output sample time and frames it wrote.
    void add(const IOCycleTiming& timing, int64_t outputTime, uint32_t frames);

    // `nanosecondsPerFrame`: the true pace of a device frame in host time; `shortOutputs`, oldest
    // first, the OUT microframes that left frames out.
    TimingResult result(double nanosecondsPerFrame, const std::vector<ShortOutput>& shortOutputs = {}) const;
    const std::vector<CyclePoint>& cycles() const { return fCycles; }
    // The sample time the newest segment's zero timestamps give host time `hostTime`, or nothing
    // before two of them.
    std::optional<double> sampleTimeAt(uint64_t hostTime) const;

private:
    uint32_t fSegment = 0;
    std::vector<ZeroTimeStampPoint> fStamps;
    std::vector<CyclePoint> fCycles;
};

} // namespace Demo
