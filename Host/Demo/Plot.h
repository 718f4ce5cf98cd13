#pragma once

// The run as a picture, 1200 x 800: "Signal", 20 ms of channel 0 as played and as recorded,
// overlaid at the measured latency, around the first repaired drop within the recorder's trace or
// else the trace's middle; "Timing", the zero timestamps' errors and each IO cycle's
// wake-up lateness over the run, against the +-100 µs window.

#include "Recorder.h"

#include <string>
#include <vector>

namespace Demo {

struct RunResult;

struct PlotInput
{
    const RunResult& run;
    Recorder::Trace trace;
    std::vector<CyclePoint> cycles;
};

// False when the file could not be written.
bool DrawPlot(const std::string& path, const PlotInput& input);

} // namespace Demo
