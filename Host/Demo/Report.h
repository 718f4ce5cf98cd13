#pragma once

// What a run found, as the demo prints it, and the same numbers as "key=value" lines for tools.

#include "DemoRun.h"

#include <string>

namespace Demo {

// From the output sample time an application writes a frame at to the input sample time it reads
// it back at: both IO offsets (buffer and safety offset) and the latency between the streams.
int64_t RoundTripFrames(const RunResult& result);

std::string FormatReport(const RunResult& result);
std::string FormatSummary(const RunResult& result);

} // namespace Demo
