#pragma once

// Which stretches of recorded silence a dropped packet explains. A packet dropped at a microframe
// shows up at the input sample time the zero timestamps give that microframe's host time, moved by
// the constant distance between the bus's timeline and the stream's, which the run learns as the
// distance most silences share with a drop. Silence no drop explains is either input read before it
// reached the plug-in's buffer while that buffer still held silence one period earlier, or frames
// lost. A dropped packet's frames that an IO cycle read before the repair reached the buffer come
// back one period old instead of as silence: late bus writes, counted with the drop. Output a late
// cycle wrote after the device had sent its frames comes back as silence too: the xrun's cost.

#include "LoopbackCheck.h"
#include "TimingCheck.h"

#include <cstdint>
#include <vector>

namespace Demo {

// A dropped packet: the input sample time the zero timestamps give its microframe, and its frames.
struct ExpectedDrop
{
    double time;
    int64_t frames;
};

struct Attribution
{
    uint64_t repairedStretches = 0;
    uint64_t repairedFrames = 0;
    // Dropped frames read before their repair reached the buffer.
    uint64_t readBeforeRepairFrames = 0;
    // Silence read before the bus wrote it, where the buffer held silence one period earlier.
    uint64_t unwrittenFrames = 0;
    // Silence in place of output that late cycles wrote too late.
    uint64_t xrunFrames = 0;
    // Silence nothing explains: recorded frames replaced by it are lost.
    uint64_t unexplainedFrames = 0;
};

// `cycles`: the IO cycles, with the output each wrote and whether it was late.
Attribution AttributeSilences(const LoopbackResult& loopback, std::vector<ExpectedDrop> drops,
                              const std::vector<CyclePoint>& cycles);

} // namespace Demo
