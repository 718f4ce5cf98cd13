#pragma once

// Which stretches of recorded silence a dropped packet explains. A packet dropped at a microframe
// shows up at the input sample time the zero timestamps give that microframe's host time, moved by
// the constant distance between the bus's timeline and the stream's, which the run learns as the
// distance most silences share with a drop. Silence no drop explains is either input read before it
// reached the plug-in's buffer in its first period (the buffer still holds the zeros it started
// with), or frames lost.

#include "LoopbackCheck.h"

#include <cstdint>
#include <vector>

namespace Demo {

struct Attribution
{
    uint64_t repairedStretches = 0;
    uint64_t repairedFrames = 0;
    // Silence in the buffer's first period, before the stream had written it once.
    uint64_t unwrittenFrames = 0;
    // Silence nothing explains: recorded frames replaced by it are lost.
    uint64_t unexplainedFrames = 0;
};

// `drops`: the input sample times the zero timestamps give the dropped packets' microframes.
// `firstPeriodEnd`: the input sample time at which the plug-in's buffer has been written once.
Attribution AttributeSilences(const std::vector<SilentStretch>& silences, const std::vector<double>& drops,
                              int64_t firstPeriodEnd);

} // namespace Demo
