#pragma once

// Which stretches of recorded silence a dropped packet explains. A packet dropped at a microframe
// shows up at the input sample time the zero timestamps give that microframe's host time, moved by
// the constant distance between the bus's timeline and the stream's, which the run learns as the
// distance most silences share with a drop. Silence no drop explains is either input read before it
// reached the plug-in's buffer while that buffer still held silence from before the played frames
// came back, or frames lost.

#include "LoopbackCheck.h"

#include <cstdint>
#include <vector>

namespace Demo {

struct Attribution
{
    uint64_t repairedStretches = 0;
    uint64_t repairedFrames = 0;
    // Silence read before the bus wrote it, where the buffer held silence one period earlier.
    uint64_t unwrittenFrames = 0;
    // Silence nothing explains: recorded frames replaced by it are lost.
    uint64_t unexplainedFrames = 0;
};

// `drops`: the input sample times the zero timestamps give the dropped packets' microframes.
Attribution AttributeSilences(const std::vector<SilentStretch>& silences, const std::vector<double>& drops);

} // namespace Demo
